// The main window from the keyboard: each command button answers to Alt and
// a letter of its label.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/gui_support.h"

namespace {

class MainShortcutTest : public GuiTest {};

TEST_F(MainShortcutTest, EveryButtonAnswersToItsOwnAltKey) {
  MainForm *mf = GuiMainForm();
  std::vector<GuiShortcut> keys = GuiButtonShortcuts(mf->form);
  EXPECT_EQ(keys.size(), 8u);
  EXPECT_EQ(GuiShortcutFaults(keys), "");

  // Info's key brings the about text, also while the server input has the
  // keyboard.
  fl_set_focus_object(mf->form, mf->server);
  std::string server = fl_get_input(mf->server);
  GuiAnswerMessage();
  GuiPressAlt(mf->form, 'n');
  EXPECT_EQ(GuiDialogsShown().size(), 1u);
  EXPECT_EQ(GuiLastDialog().texts[0],
            "Korvid: a powerful MiniSQL/MySQL frontend build using the Xforms library");
  EXPECT_EQ(fl_get_input(mf->server), server);
}

}  // namespace
