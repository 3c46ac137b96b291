// Every window's labels fit whole, whatever fonts the X server lists first.
// ctest runs this program on displays with different font paths (only the
// 75 dpi faces; 100 dpi before 75 dpi, as on a usual desktop) through
// KORVID_TEST_FONT_PATH; with KORVID_TEST_EXPECT_NO_FACES set the display has
// none of the layout's faces, and the toolkit's own choice must still work.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/services/fonts.h"
#include "tests/support/capture.h"
#include "tests/support/gui_support.h"

namespace {

bool ExpectNoFaces() { return getenv("KORVID_TEST_EXPECT_NO_FACES") != nullptr; }

// Every window Korvid opens on a table, through the main window's buttons.
std::vector<FL_FORM *> OpenEveryWindow(MainForm *mf) {
  GuiAnswerInput("7");  // the key the Modify button asks for
  for (const char *button : {"Insert", "Search", "Modify", "Show All", "Field Info"})
    GuiClick(GuiFindObject(mf->form, button));
  GuiFlush();
  std::vector<FL_FORM *> forms = GuiVisibleForms("Record");
  for (FL_FORM *f : GuiVisibleForms("Shower")) forms.push_back(f);
  return forms;
}

TEST(LayoutFonts, EveryLabelOfEveryWindowFitsWhole) {
  if (ExpectNoFaces()) GTEST_SKIP() << "no layout faces on this display";
  MainForm *mf = GuiConnectSample("sample", "people");
  ASSERT_NE(mf, nullptr);
  EXPECT_EQ(GuiLabelFaults(mf->form), "") << "main window";
  std::vector<FL_FORM *> forms = OpenEveryWindow(mf);
  EXPECT_EQ(forms.size(), 5u) << "three record forms and two lists";
  for (FL_FORM *f : forms) EXPECT_EQ(GuiLabelFaults(f), "") << f->label;
  // The faces drawn are the ones asked for, whatever the server lists first.
  for (int style : {FL_NORMAL_STYLE, FL_BOLD_STYLE, FL_FIXEDBOLD_STYLE}) {
    XFontStruct *font = fl_get_fontstruct(style, FL_DEFAULT_SIZE);
    unsigned long atom = 0;
    ASSERT_TRUE(font && XGetFontProperty(font, XA_FONT, &atom));
    char *name = XGetAtomName(fl_get_display(), atom);
    EXPECT_NE(std::string(name).find("-75-75-"), std::string::npos) << name;
    XFree(name);
  }
}

TEST(LayoutFonts, MissingFacesLeaveTheToolkitsChoiceAndNameThePackage) {
  if (!ExpectNoFaces()) GTEST_SKIP() << "this display has the layout's faces";
  GuiStartDisplay();
  static char arg0[] = "korvid-test";
  static char *argv[] = {arg0, nullptr};
  Capture err;
  err.Start(STDERR_FILENO);
  int missing = AskForLayoutFonts(1, argv);
  std::string said = err.Stop();
  EXPECT_EQ(missing, FL_SYMBOL_STYLE + 1);
  EXPECT_NE(said.find(LAYOUT_FONT_PACKAGE), std::string::npos) << said;
  // The toolkit still starts and draws with what the server has.
  int argc = 1;
  ASSERT_NE(fl_initialize(&argc, argv, nullptr, nullptr, 0), nullptr);
  EXPECT_GT(fl_get_string_width(FL_NORMAL_STYLE, FL_NORMAL_SIZE, "Number of records :", 19), 0);
}

}  // namespace
