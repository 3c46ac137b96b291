// The record forms in-process against korvid-server: what they show, what
// they ask, and what the server stores afterwards.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/services/charset.h"
#include "msql/testing.h"
#include "records/records.h"
#include "tests/support/gui_support.h"
#include "tests/support/xvfb.h"
#include "views/views.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define KORVID_LEAK_CHECK 1
#endif

namespace {

// Each test works in a database of its own, named after its table, so that
// nothing it changes reaches another test.
std::string db;

// Runs statements on a connection of the test's own.
void Sql(const std::vector<std::string> &statements) {
  for (const std::string &s : statements) GuiServerRows(db.c_str(), s.c_str());
}

std::vector<std::string> Rows(const std::string &statement) {
  return GuiServerRows(db.c_str(), statement.c_str());
}

RecordForm *RecordOf(FL_FORM *form) { return static_cast<RecordForm *>(form->u_vdata); }

std::vector<FL_FORM *> RecordWindows(void) { return GuiVisibleForms("Record"); }

// The record form that `action` opened, or null when it opened none.
RecordForm *Opened(const std::function<void()> &action) {
  std::vector<FL_FORM *> before = RecordWindows();
  action();
  RecordForm *found = nullptr;
  for (FL_FORM *f : RecordWindows())
    if (std::find(before.begin(), before.end(), f) == before.end()) {
      EXPECT_EQ(found, nullptr) << "more than one record form opened";
      found = RecordOf(f);
    }
  return found;
}

bool IsOpen(const RecordForm *record) {
  for (FL_FORM *f : RecordWindows())
    if (RecordOf(f) == record) return true;
  return false;
}

std::string Input(const RecordForm *record, int i) { return fl_get_input(record->inputs[i]); }

void SetInputs(RecordForm *record, const std::vector<const char *> &texts) {
  ASSERT_EQ(texts.size(), static_cast<size_t>(record->info->nfields));
  for (size_t i = 0; i < texts.size(); i++) fl_set_input(record->inputs[i], texts[i]);
}

FL_OBJECT *Button(RecordForm *record, const char *label) {
  FL_OBJECT *b = GuiFindObject(record->form, label);
  EXPECT_NE(b, nullptr) << "no button " << label;
  return b;
}

std::string Title(const RecordForm *record) { return fl_get_object_label(record->title); }


// Loads the statements as the database `table` and chooses its table `table`
// in the main window. A table without a unique index brings the message that
// its first field is used as the key.
MainForm *Load(const char *table, const std::vector<std::string> &statements,
               bool has_unique_index = true) {
  db = table;
  std::string script;
  for (const std::string &s : statements) script += s + ";\n";
  if (!GuiLoadDatabase(table, script)) return nullptr;
  if (!has_unique_index) GuiAnswerMessage();
  MainForm *mf = GuiConnectSample(table, table);
  if (mf == nullptr || mf->info == nullptr) {
    ADD_FAILURE() << "table " << table << " could not be chosen";
    return nullptr;
  }
  return mf;
}

// A table of people keyed by id: (1, Ann, 30), (2, Bob, NULL), (3, Cid, 50).
MainForm *LoadPeople(const char *table) {
  std::string t = table;
  return Load(table, {"CREATE TABLE " + t + " (id int, name char(20), age int)",
                      "CREATE UNIQUE INDEX " + t + "_key ON " + t + " (id)",
                      "INSERT INTO " + t + " VALUES (1, 'Ann', 30)",
                      "INSERT INTO " + t + " VALUES (2, 'Bob', NULL)",
                      "INSERT INTO " + t + " VALUES (3, 'Cid', 50)"});
}

// Presses the main window's Modify and answers the key dialog with key
// (null: cancel); `not_found` also answers the message that no (unique)
// record was found.
RecordForm *LookUp(MainForm *mf, const char *key, bool not_found = false) {
  GuiAnswerInput(key);
  if (not_found) GuiAnswerMessage();
  return Opened([&] { GuiClick(GuiFindObject(mf->form, "Modify")); });
}

// Types n characters into an input as the keyboard would (key events sent
// to its window) and returns how many it took.
int Typed(FL_OBJECT *input, int n) {
  Display *display = fl_get_display();
  Window window = input->form->window;
  fl_set_input(input, "");
  fl_set_focus_object(input->form, input);
  for (int i = 0; i < n; i++) {
    XEvent event = {};
    event.xkey.display = display;
    event.xkey.window = window;
    event.xkey.root = DefaultRootWindow(display);
    event.xkey.same_screen = True;
    event.xkey.keycode = XKeysymToKeycode(display, XK_7);
    event.xkey.type = KeyPress;
    XSendEvent(display, window, True, KeyPressMask, &event);
    event.xkey.type = KeyRelease;
    XSendEvent(display, window, True, KeyReleaseMask, &event);
  }
  GuiFlush();
  GuiFlush();
  int taken = static_cast<int>(strlen(fl_get_input(input)));
  fl_set_input(input, "");
  return taken;
}

class RecordFormTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
  }
  void TearDown() override {
    // Windows left open by a failed test must not confuse the next one.
    for (FL_FORM *f : RecordWindows()) fl_call_object_callback(RecordOf(f)->close);
    GuiTest::TearDown();
  }
};

// ---- The window ------------------------------------------------------------

TEST_F(RecordFormTest, GeometryButtonsAndKeyMarkingFollowTheMode) {
  MainForm *mf = LoadPeople("geo");
  ASSERT_NE(mf, nullptr);
  Info *info = mf->info;
  ASSERT_NE(info, nullptr);
  ASSERT_EQ(info->nfields, 3);

  struct Mode {
    const char *title;
    int mode;
    std::vector<std::pair<std::string, int>> buttons;  // label, x; Close first
  } modes[] = {
      {"Modify Record", REC_MODIFY + REC_DELETE, {{"Close", 20}, {"Modify", 100}, {"Delete", 180}}},
      {"Insert Record", REC_INSERT, {{"Close", 20}, {"Insert", 100}}},
      {"Search Form (Wildcards % or _ )", REC_SEARCH, {{"Close", 20}, {"Search", 100}}},
      {"Show Record", REC_BROWSE + REC_NEXT,
       {{"Close", 20}, {"Change", 100}, {"Previous", 180}, {"Next", 260}}},
  };
  for (const Mode &m : modes) {
    SCOPED_TRACE(m.title);
    RecordForm *r = OpenRecordForm(info, m.title, m.mode);
    EXPECT_EQ(r->form->w, 400);
    EXPECT_EQ(r->form->h, 195);
    EXPECT_STREQ(r->form->label, "Record");
    EXPECT_EQ(Title(r), m.title);

    std::vector<std::pair<std::string, int>> buttons;
    for (FL_OBJECT *o = r->form->first; o; o = o->next)
      if (o->objclass == FL_BUTTON) {
        FL_Coord x, y, w, h;
        fl_get_object_geometry(o, &x, &y, &w, &h);
        EXPECT_EQ(y, 35);
        EXPECT_EQ(w, 70);
        EXPECT_EQ(h, 20);
        buttons.emplace_back(GuiLabel(o), x);
        bool touch = o == r->previous || o == r->next;
        EXPECT_EQ(o->type, touch ? FL_TOUCH_BUTTON : FL_NORMAL_BUTTON) << o->label;
      }
    EXPECT_EQ(buttons, m.buttons);
    EXPECT_EQ(r->previous != nullptr, (m.mode & REC_BROWSE) != 0);
    EXPECT_EQ(r->next != nullptr, (m.mode & REC_NEXT) != 0);

    const int top[] = {80, 115, 150};
    const int maxchars[] = {11, 20, 11};
    for (int i = 0; i < 3; i++) {
      FL_Coord x, y, w, h;
      fl_get_object_geometry(r->inputs[i], &x, &y, &w, &h);
      EXPECT_EQ(x, 90);
      EXPECT_EQ(y, top[i]);
      EXPECT_EQ(w, 300);
      EXPECT_EQ(h, 25);
      EXPECT_EQ(GuiLabel(r->inputs[i]), info->fields[i].name);
      EXPECT_EQ(Typed(r->inputs[i], 30), maxchars[i]);
      FL_COLOR text, cursor;
      fl_get_input_color(r->inputs[i], &text, &cursor);
      EXPECT_EQ(r->inputs[i]->lcol, i == 0 ? FL_RED : FL_BLACK);
      if (i == 0) {
        EXPECT_EQ(text, FL_RED);
        EXPECT_EQ(cursor, FL_BLUE);
      }
    }
    EXPECT_EQ(r->info->res, nullptr);
    GuiClick(r->close);
  }
}

TEST_F(RecordFormTest, FreeTextTakesValuesLongerThanItsLength) {
  // A Free text's length is the one declared (mSQL stores longer values
  // beyond it) or, for an SQLite file, that of the longest value yet.
  MainForm *mf = Load("longer", {"CREATE TABLE longer (k int, code char(5), note text(6))",
                                 "CREATE UNIQUE INDEX longer_k ON longer (k)"});
  ASSERT_NE(mf, nullptr);
  RecordForm *r = Opened([&] { GuiClick(GuiFindObject(mf->form, "Insert")); });
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Typed(r->inputs[0], 30), 11);
  EXPECT_EQ(Typed(r->inputs[1], 30), 5);
  EXPECT_EQ(Typed(r->inputs[2], 30), 30);
  GuiClick(r->close);
}

// The window grows with its fields while it fits the screen; taller, its
// inputs scroll inside a window as high as the screen allows.
TEST_F(RecordFormTest, HeightGrowsWithTheFieldsUpToTheScreen) {
  auto columns = [](int n) {
    std::string text;
    for (int i = 0; i < n; i++) text += (i ? ", f" : "f") + std::to_string(i) + " int";
    return text;
  };
  struct Case {
    const char *table;
    std::string create;
    int width, height;
    bool scrolled;
  } cases[] = {{"tall", "CREATE TABLE tall (" + columns(20) + ")", 400, 790, false},
               {"lone", "CREATE TABLE lone (k char(8))", 400, 125, false},
               {"toolong", "CREATE TABLE toolong (" + columns(40) + ")", 420, fl_scrh - 80, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.table);
    MainForm *mf = Load(c.table, {c.create}, false);
    ASSERT_NE(mf, nullptr);
    RecordForm *r = OpenRecordForm(mf->info, "Insert Record", REC_INSERT);
    EXPECT_EQ(r->form->w, c.width);
    EXPECT_EQ(r->form->h, c.height);
    EXPECT_EQ(r->scroller != nullptr, c.scrolled);
    // The last input shown ends 20 pixels above the window's bottom edge or
    // less; scrolled, the window is as high as it can be for that.
    FL_OBJECT *last = nullptr;
    for (int i = 0; i < mf->info->nfields; i++)
      if (r->inputs[i]->visible) last = r->inputs[i];
    ASSERT_NE(last, nullptr);
    EXPECT_LE(last->y + last->h, c.height - 20);
    EXPECT_GT(last->y + last->h, c.height - 20 - 35);
    GuiClick(r->close);
  }
}

// Where an input is on the screen: its top-left corner in root coordinates.
std::pair<int, int> OnScreen(FL_OBJECT *input) {
  int x = 0, y = 0;
  Window child;
  XTranslateCoordinates(fl_get_display(), input->form->window, DefaultRootWindow(fl_get_display()), input->x,
                        input->y, &x, &y, &child);
  return {x, y};
}

// A form of 40 fields is taller than the screen: its last field is reached
// by scrolling with the mouse wheel, as a user does, and what is typed into
// it is stored.
TEST_F(RecordFormTest, EveryFieldOfAFormTallerThanTheScreenIsReached) {
  std::string columns;
  for (int i = 1; i <= 40; i++) columns += (i > 1 ? ", c" : "c") + std::to_string(i) + " char(10)";
  MainForm *mf = Load("forty", {"CREATE TABLE forty (" + columns + ")", "CREATE UNIQUE INDEX forty_c1 ON forty (c1)"});
  ASSERT_NE(mf, nullptr);
  RecordForm *r = Opened([&] { GuiClick(GuiFindObject(mf->form, "Insert")); });
  ASSERT_NE(r, nullptr);
  GuiFlush();
  // Seen is what lies on the screen and inside the window.
  int x0, window_top;
  Window child;
  XTranslateCoordinates(fl_get_display(), r->form->window, DefaultRootWindow(fl_get_display()), 0, 0, &x0,
                        &window_top, &child);
  int screen_height = std::min(DisplayHeight(fl_get_display(), DefaultScreen(fl_get_display())),
                               window_top + r->form->h);
  FL_OBJECT *last = r->inputs[39];
  std::string window = std::to_string(r->form->window);
  bool ok = false;
  // Clicks into the scroll bar below its slider, each a page further down,
  // until the last field is on the screen.
  std::string below = std::to_string(r->form->w - 10) + " " + std::to_string(r->form->h - 30);
  for (int page = 0; page < 40 && OnScreen(last).second + last->h > screen_height; page++) {
    Xdotool("mousemove --window " + window + " " + below + " click 1", &ok);
    ASSERT_TRUE(ok) << "xdotool cannot click";
    GuiFlush();
  }
  std::pair<int, int> place = OnScreen(last);
  ASSERT_LE(place.second + last->h, screen_height) << "the last field stays out of sight";
  ASSERT_GE(place.second, OnScreen(r->inputs[0]).second - 35 * 39);
  Xdotool("mousemove " + std::to_string(place.first + 20) + " " + std::to_string(place.second + 12) +
              " click 1",
          &ok);
  GuiFlush();
  Xdotool("type --delay 20 last", &ok);
  GuiFlush();
  EXPECT_EQ(Input(r, 39), "last");
  fl_set_input(r->inputs[0], "first");
  EXPECT_NE(GuiScreenshot(r->form, "forty-fields-scrolled"), "");
  GuiConfirm(r->form, "Insert");
  EXPECT_EQ(Rows("SELECT c1, c39, c40 FROM forty"), std::vector<std::string>{"first||last"});
  GuiClick(r->close);
}

// A field's name is shown whole, the inputs moved right for it; a name too
// long even for that is cut at its end with a mark, whole in the tooltip.
TEST_F(RecordFormTest, FieldNamesAreShownWholeOrCutAtTheirEnd) {
  std::string longest = "a_field_name_much_too_long_for_any_label_room_at_all";
  MainForm *mf = Load("names", {"CREATE TABLE names (alpha_2_code char(2), common_name char(20), "
                                "inverted_name char(20), " + longest + " int)",
                                "CREATE UNIQUE INDEX names_a ON names (alpha_2_code)"});
  ASSERT_NE(mf, nullptr);
  RecordForm *r = Opened([&] { GuiClick(GuiFindObject(mf->form, "Insert")); });
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(GuiLabelFaults(r->form), "");
  const char *whole[] = {"alpha_2_code", "common_name", "inverted_name"};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(GuiLabel(r->inputs[i]), whole[i]);
    EXPECT_EQ(r->inputs[i]->tooltip, nullptr);
  }
  std::string cut = GuiLabel(r->inputs[3]);
  ASSERT_GT(cut.size(), 1u);
  EXPECT_EQ(cut.back(), '\xbb');
  EXPECT_EQ(longest.compare(0, cut.size() - 1, cut, 0, cut.size() - 1), 0) << cut;
  ASSERT_NE(r->inputs[3]->tooltip, nullptr);
  EXPECT_EQ(r->inputs[3]->tooltip, longest);
  // Every input beside its label, all at one place, the window wide enough.
  for (int i = 0; i < 4; i++) EXPECT_EQ(r->inputs[i]->x, r->inputs[0]->x);
  EXPECT_EQ(r->form->w, r->inputs[0]->x + 310);
  EXPECT_NE(GuiScreenshot(r->form, "long-field-names"), "");
  GuiClick(r->close);
}

// ---- Lookup, update, delete -------------------------------------------------

TEST_F(RecordFormTest, ModifyWritesTheEditedValuesBack) {
  MainForm *mf = LoadPeople("modified");
  ASSERT_NE(mf, nullptr);
  RecordForm *r = LookUp(mf, "2");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Title(r), "Modify Record");
  EXPECT_EQ(Input(r, 0), "2");
  EXPECT_EQ(Input(r, 1), "Bob");
  EXPECT_EQ(Input(r, 2), "");  // NULL leaves the input empty
  EXPECT_FALSE(fl_object_is_active(r->inputs[0]));
  EXPECT_TRUE(fl_object_is_active(r->inputs[1]));
  EXPECT_EQ(r->info->res, nullptr);  // the form holds no result

  SetInputs(r, {"2", "Bo'b \\ x", "44"});
  GuiConfirm(r->form, "Modify");
  EXPECT_EQ(GuiLastDialog().texts, std::vector<std::string>{"Update this record in modified.modified ?"});
  EXPECT_EQ(GuiLastDialog().number, 1);
  EXPECT_EQ(GuiLastMessage(), "Record updated");
  EXPECT_EQ(Rows("SELECT * FROM modified ORDER BY id"),
            (std::vector<std::string>{"1|Ann|30", "2|Bo'b \\ x|44", "3|Cid|50"}));
  EXPECT_TRUE(IsOpen(r));  // the form stays with its inputs
  EXPECT_EQ(Input(r, 1), "Bo'b \\ x");

  // No sends nothing.
  SetInputs(r, {"2", "Nobody", "1"});
  GuiAnswerQuestion(0);
  GuiClick(Button(r, "Modify"));
  EXPECT_EQ(Rows("SELECT name FROM modified WHERE id = 2"), std::vector<std::string>{"Bo'b \\ x"});
  EXPECT_NE(GuiLastMessage().rfind("Executing: ", 0), 0u) << GuiLastMessage();
}

TEST_F(RecordFormTest, TheKeyMayBeAnyFieldOfTheTable) {
  struct Case {
    const char *table;
    std::vector<std::string> script;
    int key;
    std::vector<const char *> edited;
    const char *update;
    const char *stored;
  } cases[] = {
      {"kfirst",
       {"CREATE TABLE kfirst (k int, a char(10), b int)", "CREATE UNIQUE INDEX kfirst_i ON kfirst (k)",
        "INSERT INTO kfirst VALUES (5, 'x', 1)"},
       0, {"5", "y", "2"}, "Executing: UPDATE kfirst SET a='y',b=2 WHERE k = 5", "5|y|2"},
      {"kmiddle",
       {"CREATE TABLE kmiddle (a char(10), k int, b int)", "CREATE UNIQUE INDEX kmiddle_i ON kmiddle (k)",
        "INSERT INTO kmiddle VALUES ('x', 5, 1)"},
       1, {"y", "5", "2"}, "Executing: UPDATE kmiddle SET a='y',b=2 WHERE k = 5", "y|5|2"},
      {"klast",
       {"CREATE TABLE klast (a char(10), b int, k int)", "CREATE UNIQUE INDEX klast_i ON klast (k)",
        "INSERT INTO klast VALUES ('x', 1, 5)"},
       2, {"y", "2", "5"}, "Executing: UPDATE klast SET a='y',b=2 WHERE k = 5", "y|2|5"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.table);
    MainForm *mf = Load(c.table, c.script);
    ASSERT_NE(mf, nullptr);
    ASSERT_EQ(mf->info->pkey, c.key);
    RecordForm *r = LookUp(mf, "5");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->inputs[c.key]->lcol, FL_RED);
    EXPECT_FALSE(fl_object_is_active(r->inputs[c.key]));
    SetInputs(r, c.edited);
    GuiConfirm(r->form, "Modify");
    EXPECT_TRUE(GuiLogged(c.update));
    EXPECT_EQ(Rows(std::string("SELECT * FROM ") + c.table), std::vector<std::string>{c.stored});
    GuiClick(r->close);
  }
}

TEST_F(RecordFormTest, ATableOfOnlyTheKeyCannotBeUpdated) {
  MainForm *mf = Load("onlykey", {"CREATE TABLE onlykey (k char(8))",
                                   "CREATE UNIQUE INDEX onlykey_i ON onlykey (k)",
                                   "INSERT INTO onlykey VALUES ('a')"});
  ASSERT_NE(mf, nullptr);
  RecordForm *r = LookUp(mf, "a");
  ASSERT_NE(r, nullptr);
  GuiAnswerQuestion(1);
  GuiAnswerAlert();
  GuiClick(Button(r, "Modify"));
  EXPECT_EQ(GuiLastMessage(), "Executing: UPDATE onlykey SET  WHERE k = 'a'");  // no success line
  EXPECT_EQ(GuiLastDialog().kind, GUI_ALERT);
  EXPECT_EQ(GuiLastDialog().texts[0], "Query failed");
  EXPECT_TRUE(IsOpen(r));
}

TEST_F(RecordFormTest, DeleteAskedNoKeepsTheRecordAndYesClosesTheForm) {
  MainForm *mf = LoadPeople("remove");
  ASSERT_NE(mf, nullptr);
  RecordForm *r = LookUp(mf, "1");
  ASSERT_NE(r, nullptr);
  size_t messages = GuiMessages().size();
  GuiAnswerQuestion(0);
  GuiClick(Button(r, "Delete"));
  EXPECT_EQ(GuiLastDialog().texts, std::vector<std::string>{"Delete this record from remove.remove ?"});
  EXPECT_EQ(GuiMessages().size(), messages);  // nothing sent
  EXPECT_TRUE(IsOpen(r));
  EXPECT_EQ(Rows("SELECT id FROM remove WHERE id = 1"), std::vector<std::string>{"1"});

  GuiConfirm(r->form, "Delete");
  EXPECT_FALSE(IsOpen(r));
  EXPECT_TRUE(GuiLogged("Executing: DELETE FROM remove  WHERE id = 1"));
  EXPECT_EQ(GuiLastMessage(), "Record deleted");
  EXPECT_EQ(Rows("SELECT id FROM remove ORDER BY id"), (std::vector<std::string>{"2", "3"}));
}

TEST_F(RecordFormTest, AChangeReachesTheRecordFoundEvenWhenItsKeyCannotBeShown) {
  // Latin-1 has no Cyrillic: the key input shows "??????", the name of
  // another record.
  MainForm *mf = Load("cyrillic", {"CREATE TABLE cyrillic (k char(20), v int)",
                                   "CREATE UNIQUE INDEX cyrillic_i ON cyrillic (k)",
                                   "INSERT INTO cyrillic VALUES ('\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0', 1)",
                                   "INSERT INTO cyrillic VALUES ('??????" "', 2)"});
  ASSERT_NE(mf, nullptr);
  // Opened as a list's Modify does, with the key as the server has it.
  GuiAnswerMessage();  // the key is named as not shown exactly
  RecordForm *r = Opened([&] { ModifyRecord("\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0", mf->info); });
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(GuiLastDialog().texts[1], "Not shown exactly, kept as stored unless edited: k");
  ASSERT_EQ(Input(r, 0), "??????");
  SetInputs(r, {"??????", "5"});
  GuiConfirm(r->form, "Modify");
  EXPECT_EQ(Rows("SELECT * FROM cyrillic ORDER BY v"),
            (std::vector<std::string>{"??????|2", "\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0|5"}));
  GuiConfirm(r->form, "Delete");
  EXPECT_EQ(Rows("SELECT * FROM cyrillic"), std::vector<std::string>{"??????|2"});
}

// The input drops tabs and newlines, and broken UTF-8 shows as '?'; a NULL
// shows as an empty input. Whatever the user leaves as it was filled is written back as
// the server sent it; only edited inputs are written as typed.
TEST_F(RecordFormTest, ModifyWritesUntouchedFieldsBackAsFound) {
  MainForm *mf = Load("fidelity", {"CREATE TABLE fidelity (k int, tab char(20), nl text(20), "
                                   "utf char(20), latin char(20), num int, note char(20))",
                                   "CREATE UNIQUE INDEX fidelity_i ON fidelity (k)"});
  ASSERT_NE(mf, nullptr);
  const std::string found = "a\tb|x\ny|Jos\xc3\xa9|Jos\xe9|NULL|NULL";
  struct Case {
    std::vector<std::pair<int, const char *>> edits;  // input, new text
    std::string stored;
  } cases[] = {
      {{}, found},
      // A NULL input typed into and emptied again is left empty: still NULL.
      {{{6, "typed"}, {6, ""}}, found},
      // Typed in Latin-1, stored in UTF-8.
      {{{3, "Jose"}, {6, "n\xe9"}, {5, "4"}}, "a\tb|x\ny|Jose|Jos\xe9|4|n\xc3\xa9"},
      // Replaced whole, the dropped tab and newline go with what was replaced.
      {{{1, ""}, {2, "abc"}}, "|abc|Jos\xc3\xa9|Jos\xe9|NULL|NULL"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.stored);
    Sql({"DELETE FROM fidelity",
         "INSERT INTO fidelity VALUES (1, 'a\tb', 'x\ny', 'Jos\xc3\xa9', 'Jos\xe9', NULL, NULL)"});
    GuiAnswerInput("1");
    GuiAnswerMessage();
    RecordForm *r = Opened([&] { GuiClick(GuiFindObject(mf->form, "Modify")); });
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(GuiLastDialog().texts[1],
              "Not shown exactly, kept as stored unless edited: tab, nl, latin");
    EXPECT_EQ(Input(r, 1), "ab");
    EXPECT_EQ(Input(r, 3), "Jos\xe9");
    EXPECT_EQ(Input(r, 4), "Jos?");
    for (const auto &edit : c.edits) fl_set_input(r->inputs[edit.first], edit.second);
    GuiConfirm(r->form, "Modify");
    EXPECT_EQ(GuiLastMessage(), "Record updated");
    EXPECT_EQ(Rows("SELECT * FROM fidelity"), std::vector<std::string>{"1|" + c.stored});
    GuiClick(r->close);
  }
  // Every non-key field in order, the key in the WHERE; the message list
  // shows the statement in Latin-1.
  EXPECT_TRUE(GuiLogged("Executing: UPDATE fidelity SET tab='',nl='abc',utf='Jos\xe9',"
                     "latin='Jos?',num=NULL,note=NULL WHERE k = 1"));

  // A record the inputs show exactly brings no message.
  Sql({"DELETE FROM fidelity", "INSERT INTO fidelity VALUES (2, 'plain', NULL, '', 'x', 3, 'y')"});
  GuiAnswerInput("2");
  RecordForm *r = Opened([&] { GuiClick(GuiFindObject(mf->form, "Modify")); });
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(GuiLastDialog().kind, GUI_INPUT);
}

TEST_F(RecordFormTest, LookupNeedsExactlyOneRow) {
  MainForm *mf = Load("twice", {"CREATE TABLE twice (k int, v char(10))", "INSERT INTO twice VALUES (1, 'a')",
                                 "INSERT INTO twice VALUES (1, 'b')", "INSERT INTO twice VALUES (2, 'c')"},
                       false);
  ASSERT_NE(mf, nullptr);
  for (const char *key : {"1", "9"}) {
    EXPECT_EQ(LookUp(mf, key, true), nullptr) << key;
    EXPECT_EQ(GuiLastDialog().kind, GUI_MESSAGE);
    EXPECT_EQ(GuiLastDialog().texts[1], "No (unique) record found");
    EXPECT_TRUE(GuiLogged(std::string("Executing: SELECT * FROM twice  WHERE k = ") + key));
  }
  RecordForm *r = LookUp(mf, "2");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Input(r, 1), "c");
}

TEST_F(RecordFormTest, ACancelledKeyDialogLooksUpThePreviousKey) {
  MainForm *mf = LoadPeople("cancel");
  ASSERT_NE(mf, nullptr);
  RecordForm *first = LookUp(mf, "3");
  ASSERT_NE(first, nullptr);
  GuiClick(first->close);

  RecordForm *again = LookUp(mf, nullptr);
  ASSERT_NE(again, nullptr);
  GuiDialog asked = GuiDialogsShown()[GuiDialogsShown().size() - 1];
  EXPECT_EQ(asked.kind, GUI_INPUT);
  EXPECT_EQ(asked.texts, (std::vector<std::string>{"Enter Primary Key", "3"}));
  EXPECT_EQ(Input(again, 0), "3");
  EXPECT_EQ(Input(again, 1), "Cid");
}

TEST_F(RecordFormTest, AKeyLongerThanItsFieldIsLookedUpWhole) {
  std::string key(40, 'k');
  MainForm *mf = Load("longkey", {"CREATE TABLE longkey (k char(4), v int)",
                                  "CREATE UNIQUE INDEX longkey_i ON longkey (k)",
                                  "INSERT INTO longkey VALUES ('kkkk', 1)"});
  ASSERT_NE(mf, nullptr);
  EXPECT_EQ(LookUp(mf, key.c_str(), true), nullptr);
  EXPECT_TRUE(GuiLogged("Executing: SELECT * FROM longkey  WHERE k = '" + key + "'"));
}

// The server changes no row when the record was deleted or its key changed
// behind the form's back: that is said, and the form stays for another try.
TEST_F(RecordFormTest, AChangeThatReachesNoRecordSaysSoAndKeepsTheForm) {
  MainForm *mf = LoadPeople("vanished");
  ASSERT_NE(mf, nullptr);
  RecordForm *r = LookUp(mf, "2");
  ASSERT_NE(r, nullptr);
  Sql({"DELETE FROM vanished WHERE id = 2"});
  SetInputs(r, {"2", "Bobby", "9"});
  for (const char *button : {"Modify", "Delete"}) {
    SCOPED_TRACE(button);
    GuiAnswerQuestion(1);
    GuiAnswerAlert();
    GuiClick(Button(r, button));
    EXPECT_EQ(GuiLastDialog().kind, GUI_ALERT);
    EXPECT_EQ(GuiLastDialog().texts[0],
              "No record was changed: it is no longer stored as it was found");
    EXPECT_EQ(GuiLastMessage().rfind("Executing: ", 0), 0u) << GuiLastMessage();
    EXPECT_TRUE(IsOpen(r));
    EXPECT_EQ(Input(r, 1), "Bobby");
  }
  EXPECT_EQ(Rows("SELECT id FROM vanished ORDER BY id"), (std::vector<std::string>{"1", "3"}));
}

// A select whose rows cannot be taken (here: out of memory in the library)
// is said with the library's reason, not taken for a select that found
// nothing. The last allocation of each action is the one that takes the
// result (the count's, the one that reads the field descriptions), so it is
// counted once and made to fail the second time.
TEST_F(RecordFormTest, ARowSetThatCannotBeTakenIsNotTakenForNoRecords) {
  MainForm *mf = LoadPeople("untaken");
  ASSERT_NE(mf, nullptr);
  RecordForm *search = nullptr;
  struct Case {
    const char *name;
    std::function<void()> prepare;  // queues what the action asks
    std::function<void()> action;
    std::function<void()> undo;  // closes what a successful action opened
  } cases[] = {
      {"lookup", [] { GuiAnswerInput("2"); },
       [&] { GuiClick(GuiFindObject(mf->form, "Modify")); },
       [] { for (FL_FORM *f : RecordWindows()) fl_call_object_callback(RecordOf(f)->close); }},
      {"search",
       [&] { search = OpenRecordForm(mf->info, "Search Form (Wildcards % or _ )", REC_SEARCH); },
       [&] { GuiClick(Button(search, "Search")); },
       [] { for (FL_FORM *f : RecordWindows()) fl_call_object_callback(RecordOf(f)->close); }},
      {"count", [] {}, [&] { GuiChoose(mf->table_choice, "untaken"); }, [] {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare();
    msqlAllocFailForTests(0, false);
    c.action();
    long allocations = msqlAllocCountForTests();
    c.undo();
    EXPECT_EQ(GuiLabel(mf->records_count), "3");

    c.prepare();
    GuiAnswerAlert();
    msqlAllocFailForTests(allocations, false);
    c.action();
    msqlAllocFailForTests(0, false);
    ASSERT_EQ(GuiLastDialog().texts.size(), 3u);
    EXPECT_EQ(GuiLastDialog().kind, GUI_ALERT);
    // The count keeps no rows to take: its reading fails as the query.
    std::string name = c.name;
    EXPECT_EQ(GuiLastDialog().texts[0], name == "count" ? "Query failed" : "Cannot read the records found");
    EXPECT_EQ(GuiLastDialog().texts[2], "Out of memory");
    if (name == "count") {
      EXPECT_EQ(GuiLabel(mf->records_count), "0");
    } else if (name == "lookup") {
      EXPECT_TRUE(RecordWindows().empty());
    } else {
      EXPECT_EQ(RecordWindows().size(), 1u);  // the search form, for another try
      GuiClick(search->close);
    }
  }
}

// A count that does not fit its statement is refused with the alert the
// other statements bring, and the count shows 0.
TEST_F(RecordFormTest, ACountStatementTooLongIsRefused) {
  MainForm *mf = LoadPeople("counted");
  ASSERT_NE(mf, nullptr);
  std::string name(STATEMENT_SIZE, 't');
  Info info = *mf->info;
  info.table = &name[0];
  size_t messages = GuiMessages().size();
  GuiAnswerAlert();
  EXPECT_EQ(CountRecords(&info), 0);
  ASSERT_FALSE(GuiDialogsShown().empty());
  EXPECT_EQ(GuiLastDialog().kind, GUI_ALERT);
  EXPECT_EQ(GuiLastDialog().texts[0], "Statement too long: nothing was sent");
  EXPECT_EQ(GuiMessages().size(), messages);
}

// ---- Which database a change reaches ----------------------------------------------

RecordForm *SearchFor(MainForm *mf, const std::vector<const char *> &patterns);

// Two databases with a table of the same name and a record of the same key.
MainForm *LoadTwoPeople(void) {
  for (const char *name : {"db1", "db2"}) {
    std::string n = name;
    std::string script =
        "CREATE TABLE people (id int, name char(20), age int);\n"
        "CREATE UNIQUE INDEX people_key ON people (id);\n"
        "INSERT INTO people VALUES (7, '" + n + " seven', 1);\n"
        "INSERT INTO people VALUES (8, '" + n + " eight', 2);\n" +
        "CREATE TABLE only" + n + " (k int);\n" +
        "CREATE UNIQUE INDEX only" + n + "_k ON only" + n + " (k);\n";
    if (!GuiLoadDatabase(name, script)) return nullptr;
  }
  db = "db1";
  return GuiConnectSample("db1", "people");
}

std::vector<std::string> Stored(const char *database) {
  return GuiFileRows(database, "SELECT * FROM people ORDER BY id");
}

void ChooseInMain(MainForm *mf, const char *database) {
  GuiChoose(mf->database_choice, database);
  GuiChoose(mf->table_choice, "people");
}

// A form keeps to the database it was opened on while the main window moves
// to another one with a same-named table; the main window stays on its own.
TEST_F(RecordFormTest, ChangesReachTheDatabaseTheFormWasOpenedOn) {
  MainForm *mf = LoadTwoPeople();
  ASSERT_NE(mf, nullptr);
  RecordForm *modify = LookUp(mf, "7");
  ASSERT_NE(modify, nullptr);
  RecordForm *insert = Opened([&] { GuiClick(GuiFindObject(mf->form, "Insert")); });
  ASSERT_NE(insert, nullptr);
  RecordForm *search = SearchFor(mf, {"", "", ""});
  ASSERT_NE(search, nullptr);
  ChooseInMain(mf, "db2");
  const std::vector<std::string> db2 = {"7|db2 seven|1", "8|db2 eight|2"};

  SetInputs(modify, {"7", "changed", "70"});
  GuiConfirm(modify->form, "Modify");
  EXPECT_EQ(GuiLastDialog().texts, std::vector<std::string>{"Update this record in db1.people ?"});
  EXPECT_EQ(GuiLastMessage(), "Record updated");
  EXPECT_EQ(Stored("db1"), (std::vector<std::string>{"7|changed|70", "8|db1 eight|2"}));
  EXPECT_EQ(Stored("db2"), db2);

  // The main window's own lookup still goes to db2.
  RecordForm *mine = LookUp(mf, "7");
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(Input(mine, 1), "db2 seven");
  GuiClick(mine->close);

  SetInputs(insert, {"9", "nine", "9"});
  GuiConfirm(insert->form, "Insert");
  EXPECT_EQ(GuiLastDialog().texts, std::vector<std::string>{"Insert this record into db1.people ?"});
  EXPECT_EQ(Stored("db1"), (std::vector<std::string>{"7|changed|70", "8|db1 eight|2", "9|nine|9"}));
  EXPECT_EQ(Stored("db2"), db2);

  // Search, then Change on the record shown: both look in db1.
  RecordForm *show = Opened([&] { GuiClick(Button(search, "Search")); });
  ASSERT_NE(show, nullptr);
  EXPECT_EQ(show->info->res->numRows, 3);
  EXPECT_EQ(Input(show, 1), "changed");
  GuiClick(show->next);
  RecordForm *changed = Opened([&] { GuiClick(Button(show, "Change")); });
  ASSERT_NE(changed, nullptr);
  EXPECT_EQ(Input(changed, 1), "db1 eight");
  GuiConfirm(changed->form, "Delete");
  EXPECT_EQ(GuiLastDialog().texts, std::vector<std::string>{"Delete this record from db1.people ?"});

  GuiConfirm(modify->form, "Delete");
  EXPECT_EQ(Stored("db1"), std::vector<std::string>{"9|nine|9"});
  EXPECT_EQ(Stored("db2"), db2);

  // The main window is still on db2: its count and its lookups say so.
  GuiChoose(mf->table_choice, "people");
  EXPECT_EQ(GuiLabel(mf->records_count), "2");
  mine = LookUp(mf, "8");
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(Input(mine, 1), "db2 eight");
  EXPECT_EQ(GuiChoiceText(mf->database_choice), "db2");
  // So is the connection itself, where the main window reads a field list.
  GuiChoose(mf->table_choice, "onlydb2");
  ASSERT_NE(mf->info, nullptr);
  EXPECT_EQ(mf->info->nfields, 1);
}

// After "Sqlserver" has moved the connection to another server, or lost it,
// a form of the old one sends nothing and says why.
TEST_F(RecordFormTest, AFormOfAServerNoLongerConnectedSendsNothing) {
  MainForm *mf = LoadTwoPeople();
  ASSERT_NE(mf, nullptr);
  RecordForm *modify = LookUp(mf, "7");
  ASSERT_NE(modify, nullptr);
  RecordForm *insert = Opened([&] { GuiClick(GuiFindObject(mf->form, "Insert")); });
  ASSERT_NE(insert, nullptr);
  const char *refused = "Server (local) is not connected any more: nothing was sent to db1.people";

  // The same server's TCP port is another host as far as the window knows.
  GuiTypeInput(mf->server, "127.0.0.1");
  ASSERT_GE(sock, 0);
  ChooseInMain(mf, "db1");
  size_t messages = GuiMessages().size();
  for (const char *button : {"Modify", "Delete"}) {
    GuiAnswerAlert();
    GuiClick(Button(modify, button));
    EXPECT_EQ(GuiLastDialog().kind, GUI_ALERT) << button;
    EXPECT_EQ(GuiLastDialog().texts[0], refused);
  }
  SetInputs(insert, {"9", "nine", "9"});
  GuiAnswerAlert();
  GuiClick(Button(insert, "Insert"));
  EXPECT_EQ(GuiLastDialog().texts[0], refused);
  EXPECT_EQ(GuiMessages().size(), messages);  // nothing executed
  EXPECT_TRUE(IsOpen(modify));

  GuiAnswerAlert();
  GuiTypeInput(mf->server, "no-such-host.invalid");
  ASSERT_LT(sock, 0);
  GuiAnswerAlert();
  GuiClick(Button(insert, "Insert"));
  EXPECT_EQ(GuiLastDialog().texts[0], refused);
  EXPECT_EQ(Stored("db1"), (std::vector<std::string>{"7|db1 seven|1", "8|db1 eight|2"}));
  GuiTypeInput(mf->server, "");
}

// ---- Insert ---------------------------------------------------------------------

TEST_F(RecordFormTest, InsertWritesEmptyAndQuotedValues) {
  MainForm *mf = LoadPeople("inserts");
  ASSERT_NE(mf, nullptr);
  RecordForm *r = Opened([&] { GuiClick(GuiFindObject(mf->form, "Insert")); });
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Title(r), "Insert Record");
  for (int i = 0; i < 3; i++) EXPECT_EQ(Input(r, i), "");

  struct Case {
    std::vector<const char *> inputs;
    const char *stored;
  } cases[] = {
      {{"10", "", ""}, "10||NULL"},
      {{"11", "O'Brien", "7"}, "11|O'Brien|7"},
      {{"12", "back\\slash'", "8"}, "12|back\\slash'|8"},
  };
  for (const Case &c : cases) {
    SetInputs(r, c.inputs);
    GuiConfirm(r->form, "Insert");
    EXPECT_EQ(GuiLastDialog().texts, std::vector<std::string>{"Insert this record into inserts.inserts ?"});
    EXPECT_EQ(GuiLastMessage(), "Record inserted");
    EXPECT_EQ(Rows(std::string("SELECT * FROM inserts WHERE id = ") + c.inputs[0]),
              std::vector<std::string>{c.stored});
    EXPECT_TRUE(IsOpen(r));
    EXPECT_EQ(Input(r, 1), c.inputs[1]);  // kept for the next record
  }
  EXPECT_EQ(r->info->res, nullptr);

  // No sends nothing; a refused insert logs no success.
  SetInputs(r, {"13", "x", "1"});
  GuiAnswerQuestion(0);
  GuiClick(Button(r, "Insert"));
  EXPECT_TRUE(Rows("SELECT * FROM inserts WHERE id = 13").empty());
  SetInputs(r, {"1", "dup", "1"});
  GuiAnswerQuestion(1);
  GuiAnswerAlert();
  GuiClick(Button(r, "Insert"));
  EXPECT_EQ(GuiLastDialog().texts[0], "Query failed");
  EXPECT_NE(GuiLastMessage(), "Record inserted");
}

// A record with a value of 2,000 characters is modified like any other, and
// a statement goes out whole up to the longest one request carries; one byte
// more is refused and nothing is sent. Checked in the database file.
TEST_F(RecordFormTest, AStatementTooLongIsRefusedAndNothingSent) {
  std::string essay;  // 2,000 characters, UTF-8 letters among them
  for (int i = 0; i < 180; i++) essay += "Kosovo \xc3\xa9t\xc3\xa9 ";
  essay += std::string(20, 'x');
  MainForm *mf = Load("bulky", {"CREATE TABLE bulky (k int, short char(10), note text(10))",
                                "CREATE UNIQUE INDEX bulky_i ON bulky (k)",
                                "INSERT INTO bulky VALUES (1, 'a', '" + essay + "')"});
  ASSERT_NE(mf, nullptr);
  RecordForm *m = LookUp(mf, "1");
  ASSERT_NE(m, nullptr);
  fl_set_input(m->inputs[1], "b");
  GuiConfirm(m->form, "Modify");
  EXPECT_EQ(GuiLastMessage(), "Record updated");
  EXPECT_EQ(GuiFileRows("bulky", "SELECT short, note FROM bulky WHERE k = 1"),
            std::vector<std::string>{"b|" + essay});
  GuiClick(m->close);

  RecordForm *r = Opened([&] { GuiClick(GuiFindObject(mf->form, "Insert")); });
  ASSERT_NE(r, nullptr);
  std::string head = "INSERT INTO bulky VALUES (2,'x','";
  std::string longest(MSQL_STATEMENT_MAX - head.size() - 2, 'z');
  for (int past = 1; past >= 0; past--) {
    SCOPED_TRACE(past);
    std::string value = longest + std::string(past, 'z');
    SetInputs(r, {"2", "x", value.c_str()});
    size_t messages = GuiMessages().size();
    if (past) {
      GuiAnswerAlert();
      GuiClick(Button(r, "Insert"));
      EXPECT_EQ(GuiLastDialog().kind, GUI_ALERT);
      EXPECT_EQ(GuiLastDialog().texts[0], "Statement too long: nothing was sent");
      EXPECT_EQ(GuiMessages().size(), messages);
      EXPECT_TRUE(GuiFileRows("bulky", "SELECT k FROM bulky WHERE k = 2").empty());
    } else {
      GuiConfirm(r->form, "Insert");
      EXPECT_EQ(GuiLastMessage(), "Record inserted");
      // The message list shows the statement's start only.
      std::string logged = GuiMessages()[GuiMessages().size() - 2];
      EXPECT_EQ(logged, ("Executing: " + head + value + "')").substr(0, 11 + SHOWN_STATEMENT_SIZE - 1));
      EXPECT_EQ(GuiFileRows("bulky", "SELECT length(note), note = '" + value + "' FROM bulky WHERE k = 2"),
                std::vector<std::string>{std::to_string(value.size()) + "|1"});
    }
  }
}

// ---- Search ------------------------------------------------------------------

RecordForm *SearchFor(MainForm *mf, const std::vector<const char *> &patterns) {
  RecordForm *search = Opened([&] { GuiClick(GuiFindObject(mf->form, "Search")); });
  EXPECT_NE(search, nullptr);
  if (search == nullptr) return nullptr;
  EXPECT_EQ(Title(search), "Search Form (Wildcards % or _ )");
  SetInputs(search, patterns);
  return search;
}

MainForm *LoadSearchTable(const char *table) {
  std::string t = table;
  return Load(table, {"CREATE TABLE " + t + " (id int, name char(20), city char(10))",
       "CREATE UNIQUE INDEX " + t + "_i ON " + t + " (id)",
       "INSERT INTO " + t + " VALUES (1, 'Alma', 'Oslo')",
       "INSERT INTO " + t + " VALUES (2, 'Anders', NULL)",
       "INSERT INTO " + t + " VALUES (3, 'Bert', 'Rome')",
       "INSERT INTO " + t + " VALUES (4, 'Alva', 'Oslo')"});
}

TEST_F(RecordFormTest, SearchBuildsLikeConditionsAndShowsTheFoundSet) {
  MainForm *mf = LoadSearchTable("finds");
  ASSERT_NE(mf, nullptr);
  struct Case {
    std::vector<const char *> patterns;
    const char *statement;
    int found;
    const char *first_name;
  } cases[] = {
      {{"", "", ""}, "SELECT * FROM finds ", 4, "Alma"},
      {{"", "A%", ""}, "SELECT * FROM finds  WHERE name LIKE 'A%'", 3, "Alma"},
      {{"", "A%", "Oslo"}, "SELECT * FROM finds  WHERE name LIKE 'A%' AND city LIKE 'Oslo'", 2, "Alma"},
      {{"3", "", ""}, "SELECT * FROM finds  WHERE id LIKE 3", 1, "Bert"},
      {{"", "Al_a", ""}, "SELECT * FROM finds  WHERE name LIKE 'Al_a'", 2, "Alma"},
      {{"", "Bert", ""}, "SELECT * FROM finds  WHERE name LIKE 'Bert'", 1, "Bert"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.statement);
    RecordForm *search = SearchFor(mf, c.patterns);
    ASSERT_NE(search, nullptr);
    RecordForm *show = Opened([&] { GuiClick(Button(search, "Search")); });
    ASSERT_NE(show, nullptr);
    EXPECT_FALSE(IsOpen(search));
    EXPECT_TRUE(GuiLogged(std::string("Executing: ") + c.statement));
    EXPECT_EQ(GuiLastMessage(), std::to_string(c.found) + " Records found");
    EXPECT_EQ(Title(show), "Show Record");
    EXPECT_EQ(show->current, 0);
    EXPECT_EQ(Input(show, 1), c.first_name);
    ASSERT_NE(show->info->res, nullptr);
    EXPECT_EQ(show->info->res->numRows, c.found);
    for (int i = 0; i < 3; i++) {
      EXPECT_FALSE(fl_object_is_active(show->inputs[i]));
      EXPECT_EQ(show->inputs[i]->boxtype, FL_UP_BOX);
    }
    GuiClick(show->close);
  }
}

TEST_F(RecordFormTest, ASearchFindingNothingKeepsTheSearchForm) {
  MainForm *mf = LoadSearchTable("nomatch");
  ASSERT_NE(mf, nullptr);
  RecordForm *search = SearchFor(mf, {"", "Z%", ""});
  ASSERT_NE(search, nullptr);
  for (int attempt = 0; attempt < 2; attempt++) {  // the second drops the first's result
    GuiAnswerMessage();
    EXPECT_EQ(Opened([&] { GuiClick(Button(search, "Search")); }), nullptr);
    EXPECT_EQ(GuiLastMessage(), "0 Records found");
    EXPECT_EQ(GuiLastDialog().texts[1], "No matching records found");
    EXPECT_TRUE(IsOpen(search));
    EXPECT_EQ(Input(search, 1), "Z%");
    EXPECT_NE(search->info->res, nullptr);  // the empty result, until Close
  }
  // A refused query keeps the form and its patterns as well.
  SetInputs(search, {"1", "", "x"});
  Sql({"DROP TABLE nomatch"});
  GuiAnswerAlert();
  GuiClick(Button(search, "Search"));
  EXPECT_EQ(GuiLastDialog().texts[0], "Query failed");
  EXPECT_TRUE(IsOpen(search));
  EXPECT_EQ(Input(search, 0), "1");
  EXPECT_EQ(Input(search, 2), "x");
}

// ---- Numbers -------------------------------------------------------------------

// A table with a field of every number type, keyed by id.
MainForm *LoadNumbers(const char *table) {
  std::string t = table;
  return Load(table, {"CREATE TABLE " + t + " (id int, u uint, r real, m money, name char(10))",
                      "CREATE UNIQUE INDEX " + t + "_i ON " + t + " (id)",
                      "INSERT INTO " + t + " VALUES (4, 4, 4.5, 4.5, 'four')",
                      "INSERT INTO " + t + " VALUES (41, 41, 41.25, 41.25, 'forty-one')",
                      "INSERT INTO " + t + " VALUES (45, 450, 0.5, 45, 'x')",
                      "INSERT INTO " + t + " VALUES (99, 99, 99, 99, 'last')"});
}

const char kNumbersStored[] = "SELECT * FROM %s ORDER BY id";

std::vector<std::string> NumberRows(void) {
  char statement[100];
  snprintf(statement, sizeof statement, kNumbersStored, db.c_str());
  return Rows(statement);
}

// What cannot be read as a number of its field's type is refused by name
// before anything is sent, from Modify as from Insert; what can is stored.
TEST_F(RecordFormTest, TypedNumbersAreCheckedBeforeAnythingIsSent) {
  MainForm *mf = LoadNumbers("typed");
  ASSERT_NE(mf, nullptr);
  const std::vector<std::string> stored = NumberRows();
  ASSERT_EQ(stored.size(), 4u);
  struct Case {
    int field;  // 1 u, 2 r, 3 m
    const char *typed;
    const char *alert;
  } refused[] = {
      {2, "1,id=99", "The value of r is not a number: nothing was sent"},
      {1, "1,id=99", "The value of u is not an unsigned integer: nothing was sent"},
      {1, "a", "The value of u is not an unsigned integer: nothing was sent"},
      {1, "-1", "The value of u is not an unsigned integer: nothing was sent"},
      {1, "99999999999999999999", "The value of u is out of range for an unsigned integer: nothing was sent"},
      {2, "1,5", "The value of r is not a number: nothing was sent"},
      {2, "1e999", "The value of r is out of range for a real number: nothing was sent"},
      {3, "1.005", "The value of m is not an amount of money (at most two decimals): nothing was sent"},
      {3, "0 OR 1=1", "The value of m is not an amount of money (at most two decimals): nothing was sent"},
  };
  RecordForm *modify = LookUp(mf, "41");
  ASSERT_NE(modify, nullptr);
  RecordForm *insert = Opened([&] { GuiClick(GuiFindObject(mf->form, "Insert")); });
  ASSERT_NE(insert, nullptr);
  for (const Case &c : refused) {
    SCOPED_TRACE(std::string(c.typed) + " in field " + std::to_string(c.field));
    size_t messages = GuiMessages().size();
    SetInputs(modify, {"41", "41", "41.25", "41.25", "forty-one"});
    fl_set_input(modify->inputs[c.field], c.typed);
    GuiAnswerAlert();
    GuiClick(Button(modify, "Modify"));
    EXPECT_EQ(GuiLastDialog().kind, GUI_ALERT);
    EXPECT_EQ(GuiLastDialog().texts, (std::vector<std::string>{c.alert, "", ""}));
    EXPECT_TRUE(IsOpen(modify));
    EXPECT_EQ(Input(modify, c.field), c.typed);

    SetInputs(insert, {"7", "7", "7", "7", "seven"});
    fl_set_input(insert->inputs[c.field], c.typed);
    GuiAnswerAlert();
    GuiClick(Button(insert, "Insert"));
    EXPECT_EQ(GuiLastDialog().texts, (std::vector<std::string>{c.alert, "", ""}));
    EXPECT_EQ(GuiMessages().size(), messages);  // nothing was sent
    EXPECT_EQ(NumberRows(), stored);
  }
  // The insert's own key is checked as well.
  SetInputs(insert, {"8 OR 1=1", "", "", "", ""});
  GuiAnswerAlert();
  GuiClick(Button(insert, "Insert"));
  EXPECT_EQ(GuiLastDialog().texts[0], "The value of id is not an integer: nothing was sent");
  EXPECT_EQ(NumberRows(), stored);

  // Blanks around a number and a plus sign are no part of it; blank is NULL.
  SetInputs(modify, {"41", " +7 ", "-2.5e1", "  ", "changed"});
  GuiConfirm(modify->form, "Modify");
  EXPECT_TRUE(GuiLogged("Executing: UPDATE typed SET u=7,r=-2.5e1,m=NULL,name='changed' WHERE id = 41"));
  EXPECT_EQ(Rows("SELECT id, m FROM typed WHERE u = 7 AND r = -25 AND name = 'changed'"),
            std::vector<std::string>{"41|NULL"});
  SetInputs(insert, {"-8", "0", ".5", "-12.5", "eight"});
  GuiConfirm(insert->form, "Insert");
  EXPECT_EQ(GuiLastMessage(), "Record inserted");
  EXPECT_EQ(Rows("SELECT id FROM typed WHERE u = 0 AND r = 0.5 AND m = -12.5 AND name = 'eight'"),
            std::vector<std::string>{"-8"});
}

// The key typed for a lookup is a number of the key field's type, or it
// is refused by name and nothing is looked up; the form opens on none.
TEST_F(RecordFormTest, AKeyTypedForANumberFieldMustBeANumber) {
  MainForm *mf = LoadNumbers("keyed");
  ASSERT_NE(mf, nullptr);
  const std::vector<std::string> stored = NumberRows();
  for (const char *key : {"0 OR 1=1", "1,2", "a", "4_", "4%"}) {
    SCOPED_TRACE(key);
    size_t messages = GuiMessages().size();
    GuiAnswerInput(key);
    GuiAnswerAlert();
    EXPECT_EQ(Opened([&] { GuiClick(GuiFindObject(mf->form, "Modify")); }), nullptr);
    EXPECT_EQ(GuiLastDialog().texts[0], "The value of id is not an integer: nothing was sent");
    EXPECT_EQ(GuiMessages().size(), messages);
  }
  // A Delete goes by the key as found.
  RecordForm *r = LookUp(mf, " 45 ");
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(GuiLogged("Executing: SELECT * FROM keyed  WHERE id = 45"));
  GuiConfirm(r->form, "Delete");
  EXPECT_TRUE(GuiLogged("Executing: DELETE FROM keyed  WHERE id = 45"));
  std::vector<std::string> left = stored;
  left.erase(left.begin() + 2);
  EXPECT_EQ(NumberRows(), left);
}

// A pattern with % or _ in a number field matches the value as text; one
// without is a number, or refused by name. Never a server's syntax error.
TEST_F(RecordFormTest, NumberPatternsMatchAsTextOrAreRefused) {
  MainForm *mf = LoadNumbers("numfind");
  ASSERT_NE(mf, nullptr);
  struct Case {
    std::vector<const char *> patterns;
    const char *statement;  // null: refused
    std::vector<std::string> names;  // found; or the alert when refused
  } cases[] = {
      {{"4_", "", "", "", ""}, "SELECT * FROM numfind  WHERE id LIKE '4_'", {"forty-one", "x"}},
      {{"", "4%", "", "", ""}, "SELECT * FROM numfind  WHERE u LIKE '4%'", {"forty-one", "four", "x"}},
      {{"", "", "%.5", "", ""}, "SELECT * FROM numfind  WHERE r LIKE '%.5'", {"four", "x"}},
      {{"", "", "", "%.25", ""}, "SELECT * FROM numfind  WHERE m LIKE '%.25'", {"forty-one"}},
      {{" 99 ", "", "", "", ""}, "SELECT * FROM numfind  WHERE id LIKE 99", {"last"}},
      {{"", "", "", "", "f%"}, "SELECT * FROM numfind  WHERE name LIKE 'f%'", {"forty-one", "four"}},
      {{"4 OR 1=1", "", "", "", ""},
       nullptr,
       {"The pattern for id is not an integer (a pattern with % or _ is matched as text): nothing was sent"}},
      {{"", "", "1,5", "", ""},
       nullptr,
       {"The pattern for r is not a number (a pattern with % or _ is matched as text): nothing was sent"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.statement ? c.statement : c.names[0]);
    RecordForm *search = SearchFor(mf, c.patterns);
    ASSERT_NE(search, nullptr);
    size_t messages = GuiMessages().size();
    if (c.statement == nullptr) {
      GuiAnswerAlert();
      EXPECT_EQ(Opened([&] { GuiClick(Button(search, "Search")); }), nullptr);
      EXPECT_EQ(GuiLastDialog().texts, (std::vector<std::string>{c.names[0], "", ""}));
      EXPECT_EQ(GuiMessages().size(), messages);
      EXPECT_TRUE(IsOpen(search));
      GuiClick(search->close);
      continue;
    }
    RecordForm *show = Opened([&] { GuiClick(Button(search, "Search")); });
    ASSERT_NE(show, nullptr);
    EXPECT_TRUE(GuiLogged(std::string("Executing: ") + c.statement));
    std::vector<std::string> names;
    for (int i = 0; i < show->info->res->numRows; i++) {
      names.push_back(Input(show, 4));
      if (i + 1 < show->info->res->numRows) GuiClick(show->next);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, c.names);
    GuiClick(show->close);
  }
}

TEST_F(RecordFormTest, StepsGreyAtEitherEndAndRecover) {
  MainForm *mf = LoadSearchTable("steps");
  ASSERT_NE(mf, nullptr);
  RecordForm *search = SearchFor(mf, {"", "", ""});
  ASSERT_NE(search, nullptr);
  RecordForm *show = Opened([&] { GuiClick(Button(search, "Search")); });
  ASSERT_NE(show, nullptr);
  auto city = [&] { return Input(show, 2); };

  // Previous on the first row greys Previous and keeps the row.
  GuiClick(show->previous);
  EXPECT_EQ(show->previous->lcol, FL_INACTIVE);
  EXPECT_EQ(show->current, 0);
  EXPECT_EQ(Input(show, 1), "Alma");
  EXPECT_TRUE(fl_object_is_active(show->previous));

  // Next turns Previous black again; a NULL city keeps the earlier text.
  GuiClick(show->next);
  EXPECT_EQ(show->current, 1);
  EXPECT_EQ(show->previous->lcol, FL_BLACK);
  EXPECT_EQ(Input(show, 1), "Anders");
  EXPECT_EQ(city(), "Oslo");

  GuiClick(show->next);
  GuiClick(show->next);
  EXPECT_EQ(show->current, 3);
  EXPECT_EQ(Input(show, 1), "Alva");
  for (int press = 0; press < 2; press++) {  // pressing a greyed button again changes nothing
    GuiClick(show->next);
    EXPECT_EQ(show->next->lcol, FL_INACTIVE);
    EXPECT_EQ(show->current, 3);
    EXPECT_EQ(Input(show, 1), "Alva");
  }
  GuiClick(show->previous);
  EXPECT_EQ(show->next->lcol, FL_BLACK);
  EXPECT_EQ(show->current, 2);
  EXPECT_EQ(Input(show, 1), "Bert");
  EXPECT_EQ(city(), "Rome");
}

TEST_F(RecordFormTest, OneMatchGreysNextAtOnce) {
  MainForm *mf = LoadSearchTable("onematch");
  ASSERT_NE(mf, nullptr);
  RecordForm *search = SearchFor(mf, {"", "B%", ""});
  ASSERT_NE(search, nullptr);
  RecordForm *show = Opened([&] { GuiClick(Button(search, "Search")); });
  ASSERT_NE(show, nullptr);
  EXPECT_EQ(show->next->lcol, FL_BLACK);
  GuiClick(show->next);
  EXPECT_EQ(show->next->lcol, FL_INACTIVE);
  EXPECT_EQ(show->current, 0);
  EXPECT_EQ(Input(show, 1), "Bert");
}

TEST_F(RecordFormTest, ChangeOpensTheShownRecordForModification) {
  MainForm *mf = LoadSearchTable("changes");
  ASSERT_NE(mf, nullptr);
  RecordForm *search = SearchFor(mf, {"", "A%", ""});
  ASSERT_NE(search, nullptr);
  RecordForm *show = Opened([&] { GuiClick(Button(search, "Search")); });
  ASSERT_NE(show, nullptr);
  GuiClick(show->next);  // Anders, id 2

  RecordForm *modify = Opened([&] { GuiClick(Button(show, "Change")); });
  ASSERT_NE(modify, nullptr);
  EXPECT_TRUE(GuiLogged("Executing: SELECT * FROM changes  WHERE id = 2"));
  EXPECT_EQ(Title(modify), "Modify Record");
  EXPECT_EQ(Input(modify, 0), "2");
  EXPECT_EQ(Input(modify, 1), "Anders");
  EXPECT_EQ(Input(modify, 2), "");  // NULL in the record itself
  EXPECT_FALSE(fl_object_is_active(modify->inputs[0]));
  // The show form stays as it was.
  EXPECT_TRUE(IsOpen(show));
  EXPECT_EQ(show->current, 1);

  SetInputs(modify, {"2", "Anders", "Bergen"});
  GuiConfirm(modify->form, "Modify");
  EXPECT_EQ(Rows("SELECT city FROM changes WHERE id = 2"), std::vector<std::string>{"Bergen"});

  // A record deleted meanwhile cannot be opened.
  Sql({"DELETE FROM changes WHERE id = 2"});
  GuiAnswerMessage();
  EXPECT_EQ(Opened([&] { GuiClick(Button(show, "Change")); }), nullptr);
  EXPECT_EQ(GuiLastDialog().texts[1], "No (unique) record found");
}

// The table is dropped and made again with fewer fields behind the windows'
// backs: every way in that reads a row of it says the table has changed and
// reads nothing (the sanitizer build would see any read past a row).
TEST_F(RecordFormTest, ATableMadeAgainWithOtherFieldsIsNotReadPast) {
  MainForm *mf = LoadSearchTable("remade");
  ASSERT_NE(mf, nullptr);
  RecordForm *search = SearchFor(mf, {"", "", ""});
  ASSERT_NE(search, nullptr);
  RecordForm *show = Opened([&] { GuiClick(Button(search, "Search")); });
  ASSERT_NE(show, nullptr);
  RecordForm *again = SearchFor(mf, {"", "", ""});
  ASSERT_NE(again, nullptr);
  // Through SQL Query, as a user would.
  for (const char *statement :
       {"DROP TABLE remade", "CREATE TABLE remade (id int, name char(20))",
        "CREATE UNIQUE INDEX remade_i ON remade (id)", "INSERT INTO remade VALUES (1, 'Alma')",
        "INSERT INTO remade VALUES (2, 'Anders')"}) {
    GuiAnswerChoice(1);
    GuiAnswerInput(statement);
    GuiClick(GuiFindObject(mf->form, "SQL Query"));
  }
  ASSERT_EQ(GuiLastMessage(), "Executing: INSERT INTO remade VALUES (2, 'Anders')");
  const std::string changed = "The table remade.remade has changed: choose it again";

  struct Case {
    const char *name;
    std::function<void()> action;
  } cases[] = {
      {"Change", [&] {
         GuiAnswerAlert();
         GuiClick(Button(show, "Change"));
       }},
      {"Modify", [&] {
         GuiAnswerInput("1");
         GuiAnswerAlert();
         GuiClick(GuiFindObject(mf->form, "Modify"));
       }},
      {"Search", [&] {
         GuiAnswerAlert();
         GuiClick(Button(again, "Search"));
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Opened(c.action), nullptr);
    ASSERT_EQ(GuiLastDialog().texts.size(), 3u);
    EXPECT_EQ(GuiLastDialog().kind, GUI_ALERT);
    EXPECT_EQ(GuiLastDialog().texts[0], changed);
  }
  EXPECT_TRUE(IsOpen(again));
  EXPECT_TRUE(IsOpen(show));

  // Chosen again, the table reads as it is now.
  GuiChoose(mf->table_choice, "remade");
  RecordForm *r = LookUp(mf, "2");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Input(r, 1), "Anders");
}

TEST_F(RecordFormTest, ChangeOnARecordWithoutAKeyValueOpensNothing) {
  MainForm *mf = Load("nullkey", {"CREATE TABLE nullkey (k int, v char(5))",
                                  "INSERT INTO nullkey VALUES (NULL, 'a')"},
                      false);
  ASSERT_NE(mf, nullptr);
  RecordForm *search = SearchFor(mf, {"", ""});
  ASSERT_NE(search, nullptr);
  RecordForm *show = Opened([&] { GuiClick(Button(search, "Search")); });
  ASSERT_NE(show, nullptr);
  GuiAnswerMessage();
  EXPECT_EQ(Opened([&] { GuiClick(Button(show, "Change")); }), nullptr);
  EXPECT_EQ(GuiLastDialog().texts[1], "No (unique) record found");
  EXPECT_TRUE(IsOpen(show));
}

TEST_F(RecordFormTest, ClosingAShowFormFreesItsFoundSet) {
  MainForm *mf = LoadSearchTable("freed");
  ASSERT_NE(mf, nullptr);
  for (int round = 0; round < 3; round++) {
    RecordForm *search = SearchFor(mf, {"", "", ""});
    ASSERT_NE(search, nullptr);
    RecordForm *show = Opened([&] { GuiClick(Button(search, "Search")); });
    ASSERT_NE(show, nullptr);
    GuiClick(show->close);
    // A search form holding an empty result frees it on Close as well.
    search = SearchFor(mf, {"", "nobody", ""});
    GuiAnswerMessage();
    GuiClick(Button(search, "Search"));
    ASSERT_NE(search->info->res, nullptr);
    GuiClick(search->close);
  }
  EXPECT_TRUE(RecordWindows().empty());
#ifdef KORVID_LEAK_CHECK
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

TEST_F(RecordFormTest, TheWindowManagersCloseClosesOnlyTheRecordWindow) {
  MainForm *mf = LoadSearchTable("wmclose");
  ASSERT_NE(mf, nullptr);
  RecordForm *search = SearchFor(mf, {"", "", ""});
  ASSERT_NE(search, nullptr);
  RecordForm *show = Opened([&] { GuiClick(Button(search, "Search")); });
  ASSERT_NE(show, nullptr);
  GuiFlush();
  SendWmDelete(fl_get_display(), show->form->window);
  GuiFlush();
  // Still running (the toolkit's default would have ended the process), the
  // window gone and its found set freed (the sanitizer build checks that).
  EXPECT_FALSE(IsOpen(show));
  EXPECT_TRUE(RecordWindows().empty());
}

// Every button answers to Alt and a letter of its label, shown underlined,
// no two alike in a window; the key press fires the button, also while an
// input has the focus.
TEST_F(RecordFormTest, EveryButtonAnswersToItsOwnAltKey) {
  MainForm *mf = LoadSearchTable("keys");
  ASSERT_NE(mf, nullptr);
  for (int mode : {REC_MODIFY + REC_DELETE, REC_INSERT, REC_SEARCH, REC_BROWSE + REC_NEXT}) {
    RecordForm *r = OpenRecordForm(mf->info, "keys", mode);
    std::vector<GuiShortcut> keys = GuiButtonShortcuts(r->form);
    EXPECT_EQ(GuiShortcutFaults(keys), "") << "in mode " << mode;
    EXPECT_GE(keys.size(), 2u);
    GuiClick(r->close);
  }

  RecordForm *search = SearchFor(mf, {"", "A%", ""});
  ASSERT_NE(search, nullptr);
  fl_set_focus_object(search->form, search->inputs[1]);
  RecordForm *show = Opened([&] { GuiPressAlt(search->form, 's'); });
  ASSERT_NE(show, nullptr);
  EXPECT_EQ(Input(show, 1), "Alma");
  GuiPressAlt(show->form, 'n');
  EXPECT_EQ(show->current, 1);
  GuiPressAlt(show->form, 'p');
  EXPECT_EQ(show->current, 0);
  GuiPressAlt(show->form, 'c');
  EXPECT_FALSE(IsOpen(show));
}

TEST_F(RecordFormTest, ButtonsOfTheMainWindowNeedATable) {
  MainForm *mf = GuiConnectSample("sample");
  ASSERT_NE(mf, nullptr);
  for (const char *label : {"Modify", "Insert", "Search"}) {
    GuiAnswerMessage();
    EXPECT_EQ(Opened([&] { GuiClick(GuiFindObject(mf->form, label)); }), nullptr) << label;
    EXPECT_EQ(GuiLastDialog().texts[0], "Select a table first !");
  }
}

// ---- Text beyond ASCII ----------------------------------------------------------

// Sets server_charset for one test and puts UTF-8 back afterwards.
struct CharsetScope {
  explicit CharsetScope(ServerCharset charset) { server_charset = charset; }
  ~CharsetScope() { server_charset = CHARSET_UTF8; }
};

struct Place {
  const char *stored;  // in the server's charset
  const char *shown;   // in the inputs, Latin-1
  bool exact;          // whether the input shows it exactly
};

const Place kUtf8Places[] = {
    {"C\xc3\xb4te d'Ivoire", "C\xf4te d'Ivoire", true},
    {"S\xc3\xa3o Tom\xc3\xa9", "S\xe3o Tom\xe9", true},
    {"\xc3\x86r\xc3\xb8", "\xc6r\xf8", true},
    {"M\xc3\xbcller", "M\xfcller", true},
    {"\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0", "??????", false},  // Moscow in Cyrillic
    {"Smile \xf0\x9f\x98\x80", "Smile ?", false},
};
const Place kLatin1Places[] = {
    {"C\xf4te d'Ivoire", "C\xf4te d'Ivoire", true},
    {"S\xe3o Tom\xe9", "S\xe3o Tom\xe9", true},
    {"\xc6r\xf8", "\xc6r\xf8", true},
    {"M\xfcller", "M\xfcller", true},
    {"x\x85y", "xy", false},  // a C1 control: the input drops it
};

// A literal of the server's syntax for text holding a quote.
std::string Literal(const char *text) {
  std::string literal = "'";
  for (const char *c = text; *c; c++) {
    if (*c == '\'' || *c == '\\') literal += '\\';
    literal += *c;
  }
  return literal + "'";
}

// Table `table` (id int, name char(20), note char(10)), keyed by id, with
// the places as records 1, 2, ...
template <size_t N>
MainForm *LoadPlaces(const char *table, const Place (&places)[N]) {
  std::string t = table;
  std::vector<std::string> statements = {
      "CREATE TABLE " + t + " (id int, name char(20), note char(10))",
      "CREATE UNIQUE INDEX " + t + "_i ON " + t + " (id)"};
  for (size_t i = 0; i < N; i++)
    statements.push_back("INSERT INTO " + t + " VALUES (" + std::to_string(i + 1) + ", " +
                         Literal(places[i].stored) + ", 'old')");
  return Load(table, statements);
}

// Every place is shown in Latin-1 ('?' where it cannot be), and a Modify
// that edits only the note stores the name byte for byte as it was and the
// note typed in Latin-1 in the server's charset.
TEST_F(RecordFormTest, ModifyKeepsEveryByteOfTextBeyondAscii) {
  struct Run {
    ServerCharset charset;
    const char *table;
    const Place *places;
    size_t count;
    const char *note_stored;  // "caf\xe9" typed
  } runs[] = {
      {CHARSET_UTF8, "places_utf8", kUtf8Places, std::size(kUtf8Places), "caf\xc3\xa9"},
      {CHARSET_8BIT, "places_latin1", kLatin1Places, std::size(kLatin1Places), "caf\xe9"},
  };
  for (const Run &run : runs) {
    SCOPED_TRACE(run.table);
    CharsetScope scope(run.charset);
    MainForm *mf = run.charset == CHARSET_UTF8 ? LoadPlaces(run.table, kUtf8Places)
                                               : LoadPlaces(run.table, kLatin1Places);
    ASSERT_NE(mf, nullptr);
    for (size_t i = 0; i < run.count; i++) {
      const Place &place = run.places[i];
      SCOPED_TRACE(place.shown);
      std::string id = std::to_string(i + 1);
      bool exact = place.exact;
      RecordForm *r = LookUp(mf, id.c_str(), !exact);
      ASSERT_NE(r, nullptr);
      if (!exact) {
        EXPECT_EQ(GuiLastDialog().texts[1], "Not shown exactly, kept as stored unless edited: name");
      }
      EXPECT_EQ(Input(r, 1), place.shown);
      fl_set_input(r->inputs[2], "caf\xe9");
      GuiConfirm(r->form, "Modify");
      EXPECT_EQ(GuiLastMessage(), "Record updated");
      EXPECT_EQ(Rows("SELECT name, note FROM " + std::string(run.table) + " WHERE id = " + id),
                std::vector<std::string>{std::string(place.stored) + "|" + run.note_stored});
      GuiClick(r->close);
    }
  }
}

// What is typed in Latin-1 is stored in the server's charset; a Character
// value is measured in the server's bytes before it is sent.
TEST_F(RecordFormTest, InsertStoresTypedTextInTheServersCharset) {
  struct Run {
    ServerCharset charset;
    const char *table;
    const char *name_stored;
    const char *note_stored;
  } runs[] = {
      {CHARSET_UTF8, "typed_utf8", "S\xc3\xa3o Tom\xc3\xa9", "\xc3\x86r\xc3\xb8"},
      {CHARSET_8BIT, "typed_latin1", "S\xe3o Tom\xe9", "\xc6r\xf8"},
  };
  for (const Run &run : runs) {
    SCOPED_TRACE(run.table);
    CharsetScope scope(run.charset);
    MainForm *mf = LoadPlaces(run.table, kLatin1Places);
    ASSERT_NE(mf, nullptr);
    std::string t = run.table;
    RecordForm *r = Opened([&] { GuiClick(GuiFindObject(mf->form, "Insert")); });
    ASSERT_NE(r, nullptr);
    SetInputs(r, {"10", "S\xe3o Tom\xe9", "\xc6r\xf8"});
    GuiConfirm(r->form, "Insert");
    EXPECT_EQ(GuiLastMessage(), "Record inserted");
    EXPECT_EQ(Rows("SELECT name, note FROM " + t + " WHERE id = 10"),
              std::vector<std::string>{std::string(run.name_stored) + "|" + run.note_stored});

    // Ten accented letters fill the note's ten characters: twenty bytes in
    // UTF-8, more than char(10) holds.
    std::string ten(10, '\xe9');
    SetInputs(r, {"11", "x", ten.c_str()});
    size_t messages = GuiMessages().size();
    if (run.charset == CHARSET_UTF8) {
      GuiAnswerMessage();
      GuiClick(Button(r, "Insert"));
      EXPECT_EQ(GuiDialogText(GuiLastDialog()),
                "\nThe value of note takes 20 bytes, more than the 10 its field holds: nothing was sent\n");
      EXPECT_EQ(GuiMessages().size(), messages);
      EXPECT_TRUE(Rows("SELECT id FROM " + t + " WHERE id = 11").empty());
      // Five take ten bytes: they fit exactly.
      SetInputs(r, {"11", "x", std::string(5, '\xe9').c_str()});
    }
    GuiConfirm(r->form, "Insert");
    EXPECT_EQ(GuiLastMessage(), "Record inserted");
    EXPECT_EQ(Rows("SELECT id FROM " + t + " WHERE id = 11"), std::vector<std::string>{"11"});
    GuiClick(r->close);
  }

  // A value stored longer than its field (by another program) goes back
  // untouched when another field is edited; edited, it is measured.
  MainForm *mf = Load("overlong", {"CREATE TABLE overlong (id int, note char(4))",
                                   "CREATE UNIQUE INDEX overlong_i ON overlong (id)",
                                   "INSERT INTO overlong VALUES (1, '\xc3\xa9\xc3\xa9\xc3\xa9')"});
  ASSERT_NE(mf, nullptr);
  RecordForm *r = LookUp(mf, "1");
  ASSERT_NE(r, nullptr);
  GuiConfirm(r->form, "Modify");
  EXPECT_EQ(GuiLastMessage(), "Record updated");
  fl_set_input(r->inputs[1], "\xe9\xe9\xe8");  // edited
  GuiAnswerMessage();
  GuiClick(Button(r, "Modify"));
  EXPECT_EQ(GuiDialogText(GuiLastDialog()),
                "\nThe value of note takes 6 bytes, more than the 4 its field holds: nothing was sent\n");
  fl_set_input(r->inputs[1], "\xe9\xe9");
  GuiConfirm(r->form, "Modify");
  EXPECT_EQ(Rows("SELECT note FROM overlong"), std::vector<std::string>{"\xc3\xa9\xc3\xa9"});
}

// An edit changes only what was typed: the head and tail the user left keep
// their stored characters, even those the input showed as '?'. Only a
// character inside the replaced span can be lost, and the question says so
// first, naming the field. Checked in the database file.
TEST_F(RecordFormTest, AnEditKeepsTheStoredCharactersItDidNotTouch) {
  const std::string quote = "Alaba-K\xe2\x80\x99" "abeena";
  const std::string dash = "Kosovo \xe2\x80\x93 Kosova";
  struct Case {
    std::string stored;
    const char *shown;
    const char *edited;
    std::string file;
    bool lossy;
  } cases[] = {
      {quote, "Alaba-K?abeena", "Alaba-K?abeena (ET)", quote + " (ET)", false},
      {quote, "Alaba-K?abeena", "Alaba-K?abena", "Alaba-K\xe2\x80\x99" "abena", false},
      {dash, "Kosovo ? Kosova", "Kosova ? Kosova", "Kosova \xe2\x80\x93 Kosova", false},
      {dash, "Kosovo ? Kosova", "Kosovo - Kosova", "Kosovo - Kosova", true},
      {"\xc5\x81\xc3\xb3\x64\xc5\xba", "?\xf3" "d?", "?\xf3" "dz", "\xc5\x81\xc3\xb3" "dz", true},
  };
  MainForm *mf = Load("edits", {"CREATE TABLE edits (id int, name char(40), note char(10))",
                                "CREATE UNIQUE INDEX edits_i ON edits (id)"});
  ASSERT_NE(mf, nullptr);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.edited);
    Sql({"DELETE FROM edits", "INSERT INTO edits VALUES (1, " + Literal(c.stored.c_str()) + ", 'n')"});
    GuiAnswerInput("1");
    GuiAnswerMessage();  // not shown exactly
    RecordForm *r = Opened([&] { GuiClick(GuiFindObject(mf->form, "Modify")); });
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(Input(r, 1), c.shown);
    fl_set_input(r->inputs[1], c.edited);
    GuiConfirm(r->form, "Modify");
    EXPECT_EQ(GuiLastDialog().texts[0],
              std::string(c.lossy ? "Characters that could not be shown are lost from the edited part of name.\n"
                                  : "") + "Update this record in edits.edits ?");
    EXPECT_EQ(GuiLastMessage(), "Record updated");
    EXPECT_EQ(GuiFileRows("edits", "SELECT name, note FROM edits WHERE id = 1"),
              std::vector<std::string>{c.file + "|n"});
    GuiClick(r->close);
  }
}

// Presses a key standing for keysym in an input, as the keyboard would: a
// spare key is bound to it first, and this client's copy of the keyboard
// map is brought up to date.
void PressKeysym(FL_OBJECT *input, KeySym keysym) {
  Display *display = fl_get_display();
  int low, high, per;
  XDisplayKeycodes(display, &low, &high);
  KeySym *map = XGetKeyboardMapping(display, low, high - low + 1, &per);
  int code = high;
  while (code > low && map[(code - low) * per] != NoSymbol && map[(code - low) * per] != keysym) code--;
  XFree(map);
  XChangeKeyboardMapping(display, code, 1, &keysym, 1);
  XSync(display, False);
  XEvent mapping = {};
  mapping.xmapping.type = MappingNotify;
  mapping.xmapping.display = display;
  mapping.xmapping.request = MappingKeyboard;
  mapping.xmapping.first_keycode = code;
  mapping.xmapping.count = 1;
  XRefreshKeyboardMapping(&mapping.xmapping);
  fl_set_focus_object(input->form, input);
  XEvent event = {};
  event.xkey.display = display;
  event.xkey.window = input->form->window;
  event.xkey.root = DefaultRootWindow(display);
  event.xkey.same_screen = True;
  event.xkey.keycode = code;
  event.xkey.type = KeyPress;
  XSendEvent(display, input->form->window, True, KeyPressMask, &event);
  event.xkey.type = KeyRelease;
  XSendEvent(display, input->form->window, True, KeyReleaseMask, &event);
  GuiFlush();
  GuiFlush();
}

// An en dash typed into an input becomes nothing there (the toolkit takes
// ISO 8859-1 only): the change, insert or search is refused once with an
// alert naming the field, and nothing is sent. A second try sends what the
// input shows, since the user has now seen it (a search for "Zed " finds
// nothing and keeps its form).
TEST_F(RecordFormTest, ACharacterTheInputDropsIsRefusedAloud) {
  MainForm *mf = LoadPeople("dashes");
  ASSERT_NE(mf, nullptr);
  const char *refusal = "A character typed into name was dropped: the inputs take ISO 8859-1 only. Nothing was sent";
  struct Case {
    const char *button;  // of the main window, then of the form
    const char *label;
  } cases[] = {{"Search", "Search"}, {"Modify", "Modify"}, {"Insert", "Insert"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.button);
    if (strcmp(c.button, "Modify") == 0) GuiAnswerInput("1");
    RecordForm *r = Opened([&] { GuiClick(GuiFindObject(mf->form, c.button)); });
    ASSERT_NE(r, nullptr);
    if (strcmp(c.button, "Insert") == 0) SetInputs(r, {"4", "", "40"});
    fl_set_input(r->inputs[1], "Zed ");
    PressKeysym(r->inputs[1], 0x0aa9);  // endash, of the publishing keysyms
    EXPECT_EQ(Input(r, 1), "Zed ");  // what the toolkit made of it
    size_t messages = GuiMessages().size();
    std::vector<std::string> before = GuiFileRows("dashes", "SELECT * FROM dashes ORDER BY id");
    GuiAnswerAlert();
    GuiClick(Button(r, c.label));
    EXPECT_EQ(GuiLastDialog().kind, GUI_ALERT);
    EXPECT_EQ(GuiLastDialog().texts[0], refusal);
    EXPECT_EQ(GuiMessages().size(), messages);
    EXPECT_EQ(GuiFileRows("dashes", "SELECT * FROM dashes ORDER BY id"), before);
    if (strcmp(c.button, "Search") == 0) {
      GuiAnswerMessage();  // no matching records
      GuiClick(Button(r, c.label));
      EXPECT_EQ(GuiLastMessage(), "0 Records found");
    } else {
      GuiAnswerQuestion(1);
      GuiClick(Button(r, c.label));
      EXPECT_EQ(GuiLastDialog().kind, GUI_QUESTION);
    }
    GuiClick(r->close);
  }
}

// "M\xfc%" typed finds "M\xfcller" as the server holds it; the key dialog
// takes and shows the key in Latin-1.
TEST_F(RecordFormTest, SearchAndTheKeyDialogSpeakTheServersCharset) {
  struct Run {
    ServerCharset charset;
    const char *table;
  } runs[] = {{CHARSET_UTF8, "search_utf8"}, {CHARSET_8BIT, "search_latin1"}};
  for (const Run &run : runs) {
    SCOPED_TRACE(run.table);
    CharsetScope scope(run.charset);
    MainForm *mf = run.charset == CHARSET_UTF8 ? LoadPlaces(run.table, kUtf8Places)
                                               : LoadPlaces(run.table, kLatin1Places);
    ASSERT_NE(mf, nullptr);
    RecordForm *search = SearchFor(mf, {"", "M\xfc%", ""});
    ASSERT_NE(search, nullptr);
    RecordForm *show = Opened([&] { GuiClick(Button(search, "Search")); });
    ASSERT_NE(show, nullptr);
    EXPECT_EQ(GuiLastMessage(), "1 Records found");
    EXPECT_TRUE(GuiLogged("Executing: SELECT * FROM " + std::string(run.table) +
                       "  WHERE name LIKE 'M\xfc%'"));
    EXPECT_EQ(Input(show, 0), "4");
    EXPECT_EQ(Input(show, 1), "M\xfcller");
    GuiClick(show->close);
  }

  MainForm *mf = Load("names", {"CREATE TABLE names (k char(20), v int)",
                                "CREATE UNIQUE INDEX names_i ON names (k)",
                                "INSERT INTO names VALUES ('M\xc3\xbcller', 1)"});
  ASSERT_NE(mf, nullptr);
  RecordForm *r = LookUp(mf, "M\xfcller");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Input(r, 0), "M\xfcller");
  EXPECT_TRUE(GuiLogged("Executing: SELECT * FROM names  WHERE k = 'M\xfcller'"));
  GuiClick(r->close);
  // The dialog offers the last key again, as typed.
  RecordForm *again = LookUp(mf, "M\xfcller");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GuiDialogsShown().back().texts[1], "M\xfcller");
  GuiClick(again->close);
}

}  // namespace
