// The server goes away in the middle of a session: the next action tells
// the user so, Korvid keeps running, and once the server is back a host
// typed into the "Sqlserver" field connects again. In-process, against a
// korvid-server of this test's own that it can kill and restart.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/gui_support.h"
#include "tests/support/server_clients.h"
#include "tests/support/server_fixture.h"
#include "tests/support/xvfb.h"
#include "views/views.h"

namespace {

// A korvid-server of the test's own, which the client now targets.
class GoneAway : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    StartTestServer(ServerFixtureOptions(), &server);
  }
  void TearDown() override {
    ServerFixtureStop(server);
    GuiTest::TearDown();
  }
  ServerFixture *server = nullptr;
};

TEST_F(GoneAway, NextActionFailsAndTheSqlserverFieldConnectsAgain) {
  std::string error;
  MainForm *mf = GuiMainForm();
  long data = reinterpret_cast<long>(mf);
  GuiTypeInput(mf->server, "");
  GuiChoose(mf->database_choice, "sample");
  GuiChoose(mf->table_choice, "people");
  ASSERT_TRUE(GuiDialogsShown().empty()) << GuiDialogText(GuiLastDialog());

  ServerFixtureKill(server, SIGKILL);
  int lost = sock;
  char path[] = "/tmp/korvid-gone-XXXXXX";
  int file = -1;
  for (int attempt = 0; attempt < 2; attempt++) {  // and again: nothing left half done
    GuiAnswerAlert();
    ShowAllRecords(nullptr, data);
    EXPECT_EQ(GuiDialogText(GuiLastDialog()),
              "Query failed\nPress Return in the Sqlserver field to connect again\nMSQL server has gone away");
    EXPECT_TRUE(GuiVisibleForms("Shower").empty());
    if (attempt == 0) {
      // The lost connection's number now goes to a file: no later request,
      // nor the close before reconnecting, may write into it or close it.
      int fd = mkstemp(path);
      ASSERT_GE(fd, 0);
      file = fd == lost ? fd : dup2(fd, lost);
      if (fd != lost) close(fd);
      ASSERT_EQ(file, lost);
    }
  }
  EXPECT_EQ(GuiVisibleForms("Korvid").size(), 1u);

  ASSERT_TRUE(ServerFixtureRestart(server, &error)) << error;
  GuiResetDialogs();
  GuiTypeInput(mf->server, "127.0.0.1");  // over TCP this time
  EXPECT_TRUE(GuiDialogsShown().empty()) << GuiDialogText(GuiLastDialog());
  EXPECT_EQ(GuiChoiceText(mf->table_choice), "None selected");
  struct stat written;
  ASSERT_EQ(fstat(file, &written), 0) << "the reused descriptor was closed";
  EXPECT_EQ(written.st_size, 0) << "a request went into the reused descriptor";
  close(file);
  unlink(path);
  GuiChoose(mf->database_choice, "sample");
  GuiChoose(mf->table_choice, "people");
  ShowAllRecords(nullptr, data);
  std::vector<FL_FORM *> lists = GuiVisibleForms("Shower");
  ASSERT_EQ(lists.size(), 1u);
  ListForm *list = static_cast<ListForm *>(lists[0]->u_vdata);
  EXPECT_EQ(BrowserLines(list->browser).size(), 2000u);
  GuiClick(GuiFindObject(lists[0], "Close"));
}

// The toolkit calls an input back only when its text changed: Return in the
// field that already names the server must connect again all the same.
TEST_F(GoneAway, ReturnInTheUnchangedFieldConnectsAgain) {
  std::string error;
  MainForm *mf = GuiMainForm();
  ConnectServer("", mf);
  GuiChoose(mf->database_choice, "sample");
  GuiChoose(mf->table_choice, "people");
  ASSERT_TRUE(GuiDialogsShown().empty()) << GuiDialogText(GuiLastDialog());

  ServerFixtureKill(server, SIGKILL);
  GuiAnswerAlert();
  ShowAllRecords(nullptr, reinterpret_cast<long>(mf));
  ASSERT_LT(sock, 0);
  ASSERT_TRUE(ServerFixtureRestart(server, &error)) << error;
  GuiResetDialogs();

  // Return typed into the field as a user types it, its text unchanged.
  GuiFlush();
  std::string window = std::to_string(mf->form->window);
  bool ok = false;
  Xdotool("mousemove --window " + window + " 80 277 click 1", &ok);
  ASSERT_TRUE(ok) << "xdotool cannot click";
  GuiFlush();
  Xdotool("key Return", &ok);
  ASSERT_TRUE(ok) << "xdotool cannot type";
  for (int i = 0; i < 50 && sock < 0; i++) GuiFlush();
  EXPECT_STREQ(fl_get_input(mf->server), "");
  EXPECT_GE(sock, 0) << "Return did not connect";
  EXPECT_TRUE(GuiDialogsShown().empty()) << GuiDialogText(GuiLastDialog());
  EXPECT_EQ(GuiChoiceItems(mf->database_choice), (std::vector<std::string>{"None selected", "sample"}));
}

}  // namespace
