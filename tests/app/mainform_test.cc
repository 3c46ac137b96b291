// The main window without a server: its widgets, the message list, the
// dialogs, the table guard of the five buttons, Exit and Info.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "records/records.h"
#include "tests/support/gui_support.h"
#include "views/views.h"

namespace {

class MainWindowTest : public GuiTest {};

const int DEFAULT = -1;  // a blank cell: the toolkit's default, not checked

struct Widget {
  int objclass, type, x, y, w, h;
  const char *label;  // null: not checked
  int lsize, lstyle, align;
  FL_CALLBACKPTR callback;
};

TEST_F(MainWindowTest, HasTheWidgetsInOrderPlaceAndStyle) {
  MainForm *mf = GuiMainForm();
  const Widget expected[] = {
      {FL_BOX, FL_NO_BOX, 0, 0, 435, 315, "", DEFAULT, DEFAULT, DEFAULT, nullptr},
      {FL_BOX, FL_UP_BOX, 0, 0, 435, 315, "", DEFAULT, DEFAULT, DEFAULT, nullptr},
      {FL_FRAME, FL_ENGRAVED_FRAME, 10, 230, 415, 75, "", DEFAULT, DEFAULT, DEFAULT, nullptr},
      {FL_FRAME, FL_ENGRAVED_FRAME, 10, 50, 415, 55, "", DEFAULT, DEFAULT, DEFAULT, nullptr},
      // The toolkit keeps a centred label without its "inside" bit.
      {FL_TEXT, FL_NORMAL_TEXT, 150, 15, 110, 25, "Korvid", FL_LARGE_SIZE, FL_EMBOSSED_STYLE,
       FL_ALIGN_CENTER, nullptr},
      {FL_TEXT, FL_NORMAL_TEXT, 275, 15, 150, 20, nullptr, DEFAULT, DEFAULT,
       FL_ALIGN_RIGHT | FL_ALIGN_INSIDE, nullptr},
      {FL_BROWSER, FL_NORMAL_BROWSER, 10, 125, 415, 100, "Messages", 12, FL_BOLD_STYLE,
       FL_ALIGN_TOP, nullptr},
      {FL_BEGIN_GROUP, 0, DEFAULT, DEFAULT, DEFAULT, DEFAULT, nullptr, DEFAULT, DEFAULT, DEFAULT,
       nullptr},
      {FL_BUTTON, FL_NORMAL_BUTTON, 125, 55, 80, 20, "Search", 12, DEFAULT, DEFAULT, SearchForm},
      {FL_BUTTON, FL_NORMAL_BUTTON, 325, 55, 80, 20, "Insert", 12, DEFAULT, DEFAULT, InsertForm},
      {FL_BUTTON, FL_NORMAL_BUTTON, 25, 80, 80, 20, "Show All", 12, DEFAULT, DEFAULT,
       ShowAllRecords},
      {FL_BUTTON, FL_NORMAL_BUTTON, 225, 55, 80, 20, "Modify", 12, DEFAULT, DEFAULT,
       AskPrimaryKey},
      {FL_BUTTON, FL_NORMAL_BUTTON, 25, 55, 80, 20, "Exit", 12, DEFAULT, DEFAULT, ExitProgram},
      {FL_BUTTON, FL_NORMAL_BUTTON, 125, 80, 80, 20, "Field Info", 12, DEFAULT, DEFAULT,
       FieldInfo},
      {FL_BUTTON, FL_NORMAL_BUTTON, 225, 80, 80, 20, "SQL Query", 12, DEFAULT, DEFAULT,
       FreeQuery},
      {FL_BUTTON, FL_NORMAL_BUTTON, 325, 80, 80, 20, "Info", 12, DEFAULT, DEFAULT, ShowAbout},
      {FL_END_GROUP, 0, DEFAULT, DEFAULT, DEFAULT, DEFAULT, nullptr, DEFAULT, DEFAULT, DEFAULT,
       nullptr},
      {FL_BEGIN_GROUP, 0, DEFAULT, DEFAULT, DEFAULT, DEFAULT, nullptr, DEFAULT, DEFAULT, DEFAULT,
       nullptr},
      {FL_INPUT, FL_NORMAL_INPUT, 20, 265, 120, 25, "Sqlserver", 12, FL_BOLD_STYLE, FL_ALIGN_TOP,
       ServerInput},
      {FL_CHOICE, FL_NORMAL_CHOICE2, 290, 250, 120, 25, "Select table", 12, FL_BOLD_STYLE,
       FL_ALIGN_TOP, ChooseTable},
      {FL_CHOICE, FL_NORMAL_CHOICE2, 160, 250, 120, 25, "Select database", 12, FL_BOLD_STYLE,
       FL_ALIGN_TOP, ChooseDatabase},
      {FL_TEXT, FL_NORMAL_TEXT, 145, 280, 105, 20, "Number of records :", DEFAULT, DEFAULT,
       FL_ALIGN_RIGHT | FL_ALIGN_INSIDE, nullptr},
      {FL_TEXT, FL_NORMAL_TEXT, 285, 280, 95, 20, "Number of fields :", DEFAULT, DEFAULT,
       FL_ALIGN_RIGHT | FL_ALIGN_INSIDE, nullptr},
      {FL_BOX, FL_BORDER_BOX, 250, 280, 30, 20, nullptr, DEFAULT, DEFAULT, DEFAULT, nullptr},
      {FL_BOX, FL_BORDER_BOX, 380, 280, 30, 20, nullptr, DEFAULT, DEFAULT, DEFAULT, nullptr},
      {FL_END_GROUP, 0, DEFAULT, DEFAULT, DEFAULT, DEFAULT, nullptr, DEFAULT, DEFAULT, DEFAULT,
       nullptr},
      {FL_PIXMAP, FL_NORMAL_PIXMAP, 10, 10, 90, 35, "", DEFAULT, DEFAULT, DEFAULT, nullptr},
  };
  size_t n = 0;
  for (FL_OBJECT *o = mf->form->first; o; o = o->next) {
    if (o->parent) continue;  // the browser's own scrollbars
    ASSERT_LT(n, sizeof expected / sizeof expected[0]) << "extra object " << o->objclass;
    const Widget &w = expected[n];
    SCOPED_TRACE("object " + std::to_string(n + 1) + " " + (o->label ? o->label : ""));
    EXPECT_EQ(o->objclass, w.objclass);
    EXPECT_EQ(o->objclass == FL_BEGIN_GROUP || o->objclass == FL_END_GROUP ? 0 : o->type, w.type);
    if (w.x != DEFAULT) {
      EXPECT_EQ(o->x, w.x);
      EXPECT_EQ(o->y, w.y);
      EXPECT_EQ(o->w, w.w);
      EXPECT_EQ(o->h, w.h);
    }
    if (w.label) {
      EXPECT_EQ(GuiLabel(o), w.label);
    }
    if (w.lsize != DEFAULT) {
      EXPECT_EQ(o->lsize, w.lsize);
    }
    if (w.lstyle != DEFAULT) {
      EXPECT_EQ(o->lstyle, w.lstyle);
    }
    if (w.align != DEFAULT) {
      EXPECT_EQ(o->align, w.align);
    }
    EXPECT_EQ(o->object_callback, w.callback);
    if (w.callback) {
      EXPECT_EQ(o->argument, reinterpret_cast<long>(mf));
    }
    n++;
  }
  EXPECT_EQ(n, sizeof expected / sizeof expected[0]);
  EXPECT_EQ(mf->form->w, 435);
  EXPECT_EQ(mf->form->h, 315);
  EXPECT_EQ(mf->form->u_vdata, mf);
  EXPECT_EQ(mf->commands->objclass, FL_BEGIN_GROUP);
  EXPECT_EQ(mf->selection->objclass, FL_BEGIN_GROUP);
  EXPECT_STREQ(mf->records_count->label, "");
  EXPECT_EQ(mf->records_count->x, 250);
  EXPECT_EQ(mf->fields_count->x, 380);
  EXPECT_EQ(mf->logo->objclass, FL_PIXMAP);
}

// The message list keeps its newest lines: 25 stay, the 26th line drops
// the 11 oldest.
TEST_F(MainWindowTest, MessageListKeepsItsNewestLines) {
  MainForm *mf = GuiMainForm();
  struct {
    int appended;
    int kept;
  } cases[] = {{1, 1}, {25, 25}, {26, 15}, {27, 16}, {36, 25}, {37, 15}};
  for (auto c : cases) {
    fl_clear_browser(mf->messages);
    for (int i = 1; i <= c.appended; i++) LogMessage(mf, "line %d", i);
    std::vector<std::string> lines = BrowserLines(mf->messages);
    ASSERT_EQ(static_cast<int>(lines.size()), c.kept) << c.appended << " appended";
    EXPECT_EQ(lines.back(), "line " + std::to_string(c.appended));
    EXPECT_EQ(lines.front(), "line " + std::to_string(c.appended - c.kept + 1));
  }
  // One text with many lines is still trimmed to at most 25.
  fl_clear_browser(mf->messages);
  std::string many;
  for (int i = 1; i <= 40; i++) many += "row " + std::to_string(i) + (i < 40 ? "\n" : "");
  LogMessage(mf, "%s", many.c_str());
  std::vector<std::string> lines = BrowserLines(mf->messages);
  EXPECT_LE(lines.size(), 25u);
  EXPECT_EQ(lines.back(), "row 40");
}

TEST_F(MainWindowTest, MessageLinesAreShownAsWritten) {
  MainForm *mf = GuiMainForm();
  fl_clear_browser(mf->messages);
  LogMessage(mf, "%s", "@line that starts with an at sign");
  LogMessage(mf, "100%% done: %s", "x|y");
  std::vector<std::string> lines = BrowserLines(mf->messages);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "@line that starts with an at sign");
  EXPECT_EQ(lines[1], "100% done: x|y");
}

// A statement of 2047 characters is logged whole after "Executing: ";
// longer text is cut for display, not written past the buffer.
TEST_F(MainWindowTest, LongestStatementFitsAndLongerTextIsCut) {
  MainForm *mf = GuiMainForm();
  fl_clear_browser(mf->messages);
  std::string longest = "SELECT * FROM t WHERE a = '" + std::string(SHOWN_STATEMENT_SIZE - 1 - 28, 'x') + "'";
  ASSERT_EQ(longest.size(), static_cast<size_t>(SHOWN_STATEMENT_SIZE - 1));
  LogMessage(mf, "Executing: %s", longest.c_str());
  std::string twice = longest + longest;
  LogMessage(mf, "Executing: %s", twice.c_str());
  std::vector<std::string> lines = BrowserLines(mf->messages);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Executing: " + longest);
  EXPECT_EQ(lines[1], ("Executing: " + twice).substr(0, lines[0].size()));

  GuiAnswerAlert();
  ShowAlert("%s", twice.c_str());
  EXPECT_EQ(GuiLastDialog().texts[0].size(), lines[0].size());
}

// Without a connection the middle line says how to connect again.
TEST_F(MainWindowTest, AlertShowsTheLibraryErrorAsThirdLine) {
  int kept = sock;
  const struct {
    int sock;
    const char *text;
  } cases[] = {
      {1000, "Cannot fetch fieldnames for nope\n\nUnknown table \"nope\""},
      {-1, "Cannot fetch fieldnames for nope\nPress Return in the Sqlserver field to connect again\n"
           "Unknown table \"nope\""},
  };
  for (const auto &c : cases) {
    sock = c.sock;  // only looked at, never used
    strcpy(msqlErrMsg, "Unknown table \"nope\"");
    GuiAnswerAlert();
    ShowAlert("Cannot fetch fieldnames for %s", "nope");
    GuiDialog alert = GuiLastDialog();
    EXPECT_EQ(alert.kind, GUI_ALERT);
    EXPECT_EQ(GuiDialogText(alert), c.text);
    EXPECT_EQ(alert.number, 1);  // centred
  }
  sock = kept;

  GuiAnswerMessage();
  ShowMessage("%d Records found", 3);
  EXPECT_EQ(GuiDialogText(GuiLastDialog()), "\n3 Records found\n");
}

// Search, Insert, Modify, Show All and Field Info refuse to work while the
// table choice shows "None selected", whatever Info is left behind.
TEST_F(MainWindowTest, ButtonsNeedingATableSayToSelectOne) {
  MainForm *mf = GuiMainForm();
  ResetChoice(mf->table_choice);
  Info *saved = mf->info;
  Info stale = {const_cast<char *>("old"), 2, 2, 0, nullptr, mf, nullptr, nullptr, nullptr};
  for (Info *info : {static_cast<Info *>(nullptr), &stale}) {
    mf->info = info;
    for (const char *label : {"Search", "Insert", "Modify", "Show All", "Field Info"}) {
      SCOPED_TRACE(label);
      GuiResetDialogs();
      GuiAnswerMessage();
      GuiClick(GuiFindObject(mf->form, label));
      ASSERT_EQ(GuiDialogsShown().size(), 1u);
      EXPECT_EQ(GuiDialogText(GuiDialogsShown()[0]), "Select a table first !\n\n");
    }
  }
  mf->info = saved;
}

TEST_F(MainWindowTest, TableGuardLooksAtChoiceInfoAndFields) {
  MainForm *mf = GuiMainForm();
  Info *saved = mf->info;
  InfoField field = {const_cast<char *>("a"), const_cast<char *>("t"), INT_TYPE, 11, 0};
  Info with_fields = {const_cast<char *>("t"), 1, 1, 0, &field, mf, nullptr, nullptr, nullptr};
  Info without_fields = {const_cast<char *>("t"), 0, 0, 0, nullptr, mf, nullptr, nullptr, nullptr};
  ResetChoice(mf->table_choice);
  fl_addto_choice(mf->table_choice, "t");
  struct {
    int item;
    Info *info;
    int result;
  } cases[] = {{1, &with_fields, -1}, {2, nullptr, -1}, {2, &without_fields, -1},
               {2, &with_fields, 0}};
  for (auto c : cases) {
    fl_set_choice(mf->table_choice, c.item);
    mf->info = c.info;
    GuiResetDialogs();
    if (c.result < 0) GuiAnswerMessage();
    EXPECT_EQ(CheckTableSelected(mf), c.result) << "item " << c.item;
    EXPECT_EQ(GuiDialogsShown().size(), c.result < 0 ? 1u : 0u);
  }
  mf->info = saved;
  ResetChoice(mf->table_choice);
}

TEST_F(MainWindowTest, ExitAnsweredNoGoesOn) {
  MainForm *mf = GuiMainForm();
  GuiAnswerQuestion(0);
  GuiClick(GuiFindObject(mf->form, "Exit"));
  GuiDialog question = GuiLastDialog();
  EXPECT_EQ(question.kind, GUI_QUESTION);
  EXPECT_EQ(question.texts[0], "Do you want to quit ?");
  EXPECT_EQ(question.number, 1);  // Yes is the default
  EXPECT_TRUE(fl_form_is_visible(mf->form));
}

TEST_F(MainWindowTest, ExitAnsweredYesEndsWithStatusZero) {
  MainForm *mf = GuiMainForm();
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        GuiAnswerQuestion(1);
        GuiClick(GuiFindObject(mf->form, "Exit"));
        // Not reached when the program ends as it should.
        _exit(3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(MainWindowTest, InfoShowsTheAboutText) {
  MainForm *mf = GuiMainForm();
  GuiAnswerMessage();
  GuiClick(GuiFindObject(mf->form, "Info"));
  GuiDialog about = GuiLastDialog();
  ASSERT_EQ(about.texts.size(), 3u);
  EXPECT_EQ(about.texts[0],
            "Korvid: a powerful MiniSQL/MySQL frontend build using the Xforms library");
  EXPECT_NE(about.texts[1], "");
}

// Every count the server can give is shown whole: a wide one takes room
// from the text beside its box, and the text stays whole too.
TEST_F(MainWindowTest, CountsAreShownWhole) {
  MainForm *mf = GuiMainForm();
  const struct {
    int fields, records;
    const char *shown;
    bool box_as_built;
  } cases[] = {
      {7, 123, "123", true},
      {40, 300000, "300000", false},
      {3, 99999999, "99999999", false},
      {1, 2147483647, "2147483647", false},
      {0, 0, "0", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.shown);
    ShowCounts(c.fields, c.records, mf);
    EXPECT_EQ(GuiLabel(mf->fields_count), std::to_string(c.fields));
    EXPECT_EQ(GuiLabel(mf->records_count), c.shown);
    EXPECT_EQ(GuiLabelFaults(mf->form), "");
    EXPECT_EQ(mf->records_count->x + mf->records_count->w, 280);
    EXPECT_EQ(mf->records_label->x + mf->records_label->w, mf->records_count->x);
    if (c.box_as_built) {
      EXPECT_EQ(mf->records_count->x, 250);
      EXPECT_EQ(mf->records_count->lsize, FL_DEFAULT_SIZE);
      EXPECT_EQ(mf->records_label->lsize, FL_DEFAULT_SIZE);
    }
    if (c.records == 300000) {
      EXPECT_NE(GuiScreenshot(mf->form, "count-300000"), "");
    }
  }
}

// Choice items are the names exactly as the server sends them, also with
// the toolkit's item separator or format characters in them.
TEST_F(MainWindowTest, ChoiceItemsAreNamesAsGiven) {
  MainForm *mf = GuiMainForm();
  const char *names[] = {"a|b", "|lead", "trail|", "50%d", "%%", "x\\y", "plain"};
  ResetChoice(mf->table_choice);
  for (const char *name : names) EXPECT_EQ(AddChoiceItem(mf->table_choice, name), 0) << name;
  std::vector<std::string> expected = {"None selected"};
  expected.insert(expected.end(), std::begin(names), std::end(names));
  EXPECT_EQ(GuiChoiceItems(mf->table_choice), expected);
  EXPECT_EQ(fl_get_choice(mf->table_choice), 1);
  for (int i = 0; i < 7; i++) {
    SetChoiceText(mf->table_choice, names[i]);
    EXPECT_EQ(fl_get_choice(mf->table_choice), i + 2) << names[i];
  }
  // A name that is not there leaves the current item alone.
  SetChoiceText(mf->table_choice, "a");
  EXPECT_EQ(fl_get_choice(mf->table_choice), 8);
}

std::vector<Window> RootChildren(void) {
  Display *display = fl_get_display();
  XSync(display, False);
  Window root, parent, *children = nullptr;
  unsigned int count = 0;
  std::vector<Window> windows;
  if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
    windows.assign(children, children + count);
  if (children) XFree(children);
  return windows;
}

// The choice's pop-up shows every name whole: each entry is as wide as its
// name, not as the placeholder it was added with or the pop-up's title.
TEST_F(MainWindowTest, ChoicePopupShowsEveryNameWhole) {
  MainForm *mf = GuiMainForm();
  const char *names[] = {"pgbench_accounts", "a|table|with|bars|in|its|name", "x"};
  ResetChoice(mf->table_choice);
  for (const char *name : names) ASSERT_EQ(AddChoiceItem(mf->table_choice, name), 0) << name;
  std::vector<Window> before = RootChildren();
  int popup = ChoicePopup(mf->table_choice);
  fl_showpup(popup);
  GuiFlush();
  Window shown = 0;
  for (Window w : RootChildren()) {
    XWindowAttributes a;
    if (std::find(before.begin(), before.end(), w) == before.end() &&
        XGetWindowAttributes(fl_get_display(), w, &a) && a.map_state == IsViewable)
      shown = w;
  }
  ASSERT_NE(shown, 0u) << "no pop-up window";
  XWindowAttributes attributes;
  XGetWindowAttributes(fl_get_display(), shown, &attributes);
  std::string shot = GuiShotDir() + "/choice-popup.png";
  EXPECT_EQ(system(("import -display " + GuiDisplay() + " -window root " + shot).c_str()), 0);
  for (int i = 1; i <= 4; i++) {
    const char *text = fl_getpup_text(popup, i);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, GuiChoiceItems(mf->table_choice)[i - 1].c_str());
    // Measured in the widest face a pop-up is drawn in.
    int width = fl_get_string_width(FL_BOLDITALIC_STYLE, FL_NORMAL_SIZE, text, static_cast<int>(strlen(text)));
    EXPECT_GE(static_cast<int>(attributes.width), width) << text;
  }
  fl_hidepup(popup);
  fl_freepup(popup);
  ResetChoice(mf->table_choice);
}

// The choice holds at most its limit of items; names beyond it are refused.
TEST_F(MainWindowTest, ChoiceHoldsAtMostItsLimit) {
  MainForm *mf = GuiMainForm();
  ResetChoice(mf->table_choice);
  int added = 0;
  for (int i = 0; i < FL_CHOICE_MAXITEMS + 5; i++)
    if (AddChoiceItem(mf->table_choice, ("db" + std::to_string(i)).c_str()) == 0) added++;
  EXPECT_EQ(added, FL_CHOICE_MAXITEMS - 1);
  std::vector<std::string> items = GuiChoiceItems(mf->table_choice);
  ASSERT_EQ(items.size(), static_cast<size_t>(FL_CHOICE_MAXITEMS));
  EXPECT_EQ(items.back(), "db" + std::to_string(FL_CHOICE_MAXITEMS - 2));
  ResetChoice(mf->table_choice);
  EXPECT_EQ(GuiChoiceItems(mf->table_choice), std::vector<std::string>{"None selected"});
  EXPECT_EQ(fl_get_choice(mf->table_choice), 1);
}

TEST_F(MainWindowTest, NoToolkitWarnings) { EXPECT_EQ(GuiToolkitWarnings(), ""); }

}  // namespace
