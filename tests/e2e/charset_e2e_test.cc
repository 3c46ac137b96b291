// Text beyond ASCII end to end: the built korvid under a UTF-8 locale (and
// once over an 8-bit server) against korvid-server, letters with accents
// typed as real key events through xdotool; every byte stored is read back
// on a connection of the test's own. Screenshots of a record form and a list
// holding such text are left in the shot directory.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "msql/msql.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/server_fixture.h"

// After gtest: Xlib defines None and Bool as macros.
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace {

// Sets an environment variable for one scope; the earlier value comes back.
struct EnvScope {
  std::string name;
  bool had;
  std::string before;
  EnvScope(const char *variable, const char *value) : name(variable) {
    const char *old = getenv(variable);
    had = old != nullptr;
    if (had) before = old;
    if (value)
      setenv(variable, value, 1);
    else
      unsetenv(variable);
  }
  ~EnvScope() {
    if (had)
      setenv(name.c_str(), before.c_str(), 1);
    else
      unsetenv(name.c_str());
  }
};

// Puts the letters (and the en dash) the tests type on keys of their own, small unshifted and
// capital with Shift, before korvid starts. Otherwise xdotool binds each
// such letter to a spare key while it types, and a client that reads the
// key before it has seen the new binding gets the wrong letter. True when
// every letter has its key.
bool MapTypedLetters(void) {
  Display *display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  const KeySym letters[][2] = {
      {XK_ocircumflex, XK_Ocircumflex}, {XK_atilde, XK_Atilde},   {XK_eacute, XK_Eacute},
      {XK_ae, XK_AE},                   {XK_oslash, XK_Ooblique}, {XK_udiaeresis, XK_Udiaeresis},
      {XK_ccedilla, XK_Ccedilla},
      {0x0aa9, 0x0aa9}};  // endash, of the publishing keysyms
  int low, high, per;
  XDisplayKeycodes(display, &low, &high);
  KeySym *map = XGetKeyboardMapping(display, low, high - low + 1, &per);
  size_t placed = 0;
  for (int code = high; code >= low && placed < std::size(letters); code--) {
    bool free = true;
    for (int k = 0; k < per; k++) free = free && map[(code - low) * per + k] == NoSymbol;
    if (!free) continue;
    KeySym pair[2] = {letters[placed][0], letters[placed][1]};
    XChangeKeyboardMapping(display, code, 2, pair, 1);
    placed++;
  }
  XFree(map);
  XSync(display, False);
  XCloseDisplay(display);
  return placed == std::size(letters);
}

// A server with database `world`: places (id, name char(20), note char(20))
// keyed by id, loaded from script.
bool StartWorld(E2eServer &server, const std::string &script) {
  ServerFixtureOptions options;
  options.database_scripts.push_back({"world",
                                      "CREATE TABLE places (id int not null, name char(20), note char(20));\n"
                                      "CREATE UNIQUE INDEX places_id ON places (id);\n" + script});
  return E2eStartServer(server, options);
}

const char *const kTyped[] = {"C\xc3\xb4te d'Ivoire", "S\xc3\xa3o Tom\xc3\xa9", "\xc3\x86r\xc3\xb8",
                              "M\xc3\xbcller"};
const char *const kMoscow = "\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0";
const char *const kEmoji = "Smile \xf0\x9f\x98\x80";

// Types each name of kTyped into an Insert Record form as ids 11, 12, ...
// (the last one with a slip mended by BackSpace: one key, one letter) and
// inserts it; returns the form.
std::string InsertTyped(const std::string &main_window, const std::string &shot) {
  std::string insert = E2eOpenByClick("Record", main_window, 365, 65);
  EXPECT_FALSE(insert.empty()) << E2eScreenshot(shot + "-no-insert-form");
  if (insert.empty()) return insert;
  for (size_t i = 0; i < std::size(kTyped); i++) {
    E2eTypeInto(insert, 0, std::to_string(11 + i));
    E2eTypeInto(insert, 1, kTyped[i]);
    E2eTypeInto(insert, 2, "\xc3\xa9t\xc3\xa9\xc3\xa9");  // "été" and a slip
    E2eShell("xdotool key --window " + insert + " BackSpace");
    if (i + 1 == std::size(kTyped)) E2eScreenshot(shot + "-insert-form");
    E2eClick(insert, E2eButtonX(1), kE2eButtonY);  // Insert
    if (!E2eAnswerYes(shot + "-insert-question")) break;
  }
  return insert;
}

TEST(CharsetEndToEnd, Utf8TextIsTypedShownSearchedAndKeptByteForByte) {
  EnvScope locale("LC_ALL", "C.UTF-8");
  EnvScope charset("KORVID_CHARSET", nullptr);
  E2eSession s;
  ASSERT_FALSE(s.display.name.empty());
  ASSERT_TRUE(MapTypedLetters());
  ASSERT_TRUE(StartWorld(s.server, std::string("INSERT INTO places VALUES (1, '") + kMoscow +
                                     "', 'old');\nINSERT INTO places VALUES (2, '" + kEmoji +
                                     "', NULL);\n"));
  ASSERT_NO_FATAL_FAILURE(E2eLaunch(s, {"world", "places"}, "charset-no-main"));
  const int check = s.check;
  const std::string &main_window = s.main_window;
  const pid_t korvid = s.korvid;

  std::string insert = InsertTyped(main_window, "charset-utf8");
  ASSERT_FALSE(insert.empty());
  std::vector<std::string> stored;
  for (size_t i = 0; i < std::size(kTyped); i++)
    stored.push_back(std::to_string(11 + i) + "|" + kTyped[i] + "|\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT * FROM places WHERE id > 10 ORDER BY id", stored),
            stored);
  E2eClick(insert, E2eButtonX(0), kE2eButtonY);

  // Search "Mü%": the one record found, opened with Change and modified in
  // another field; its name stays byte for byte.
  std::string search = E2eOpenByClick("Record", main_window, 165, 65);
  ASSERT_FALSE(search.empty()) << E2eScreenshot("charset-no-search-form");
  E2eTypeInto(search, 1, "M\xc3\xbc%");
  std::string show = E2eOpenByClick("Record", search, E2eButtonX(1), kE2eButtonY);  // Search
  ASSERT_FALSE(show.empty()) << E2eWhy(korvid, "charset-search-found-nothing");
  E2eScreenshot("charset-utf8-show-form");
  std::string change = E2eOpenByClick("Record", show, E2eButtonX(1), kE2eButtonY);  // Change
  ASSERT_FALSE(change.empty()) << E2eScreenshot("charset-no-change-form");
  E2eTypeInto(change, 2, "gefunden");
  E2eClick(change, E2eButtonX(1), kE2eButtonY);  // Modify
  ASSERT_TRUE(E2eAnswerYes("charset-change-question"));
  const std::vector<std::string> found = {"14|M\xc3\xbcller|gefunden"};
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT * FROM places WHERE note = 'gefunden'", found), found);
  E2eClick(change, E2eButtonX(0), kE2eButtonY);
  E2eClick(show, E2eButtonX(0), kE2eButtonY);

  // Modify record 1 by its key: Cyrillic shows as '?', is named in a
  // message, and is kept while another field is edited.
  E2eClick(main_window, 265, 65);
  std::string ask = E2eWaitWindow("Input");
  ASSERT_FALSE(ask.empty()) << E2eScreenshot("charset-no-key-dialog");
  E2eKey(ask, "ctrl+u");
  E2eType(ask, "1");
  std::vector<std::string> before = E2eWindows("Record");
  E2eKey(ask, "Return");
  std::string modify = E2eWaitNew("Record", before);
  ASSERT_FALSE(modify.empty()) << E2eScreenshot("charset-no-modify-form");
  std::string message = E2eWaitWindow("Message");
  ASSERT_FALSE(message.empty()) << E2eScreenshot("charset-no-inexact-message");
  E2eScreenshot("charset-utf8-inexact-message");
  E2eKey(message, "Return");
  ASSERT_TRUE(E2eWaitGone("Message"));
  E2eTypeInto(modify, 2, "\xc3\xa7" "a");
  E2eScreenshot("charset-utf8-modify-form");
  E2eClick(modify, E2eButtonX(1), kE2eButtonY);  // Modify
  ASSERT_TRUE(E2eAnswerYes("charset-modify-question"));
  const std::vector<std::string> kept = {std::string("1|") + kMoscow + "|\xc3\xa7" "a"};
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT * FROM places WHERE id = 1", kept), kept);
  E2eClick(modify, E2eButtonX(0), kE2eButtonY);

  // Show All: the list to look at.
  E2eClick(main_window, 65, 90);
  EXPECT_FALSE(E2eWaitWindow("Shower").empty()) << E2eScreenshot("charset-no-list");
  E2eScreenshot("charset-utf8-list");
  EXPECT_EQ(ServerRows(check, "SELECT name FROM places WHERE id = 2"), std::vector<std::string>{kEmoji});
}

// The rows of a statement read from the SQLite file of database db itself,
// each row's columns joined by '|'.
std::vector<std::string> FileRows(const E2eServer &server, const char *db, const char *statement) {
  std::vector<std::string> rows;
  sqlite3 *file = nullptr;
  std::string path = static_cast<ServerFixture *>(server.fixture)->data_dir + "/" + db;
  if (sqlite3_open_v2(path.c_str(), &file, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    // The server's write-ahead log stays as it is when this closes.
    sqlite3_db_config(file, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    auto row = [](void *data, int columns, char **values, char **) {
      std::string line;
      for (int i = 0; i < columns; i++) line += std::string(i ? "|" : "") + (values[i] ? values[i] : "NULL");
      static_cast<std::vector<std::string> *>(data)->push_back(line);
      return 0;
    };
    EXPECT_EQ(sqlite3_exec(file, statement, row, &rows, nullptr), SQLITE_OK) << sqlite3_errmsg(file);
  } else {
    ADD_FAILURE() << "cannot open " << path;
  }
  sqlite3_close(file);
  return rows;
}

// Real keys: text appended to a name holding U+2019, which the input shows
// as '?', keeps the quote in the file; an en dash typed into the note types
// nothing there, and the Modify is refused with an alert and the file left
// as it was; pressed again, Modify sends what the input shows.
TEST(CharsetEndToEnd, AnEditKeepsWhatWasNotTypedAndADroppedDashIsRefused) {
  EnvScope locale("LC_ALL", "C.UTF-8");
  EnvScope charset("KORVID_CHARSET", nullptr);
  E2eSession s;
  ASSERT_FALSE(s.display.name.empty());
  ASSERT_TRUE(MapTypedLetters());
  const std::string quote = "K\xe2\x80\x99" "abeena";  // ten bytes of the field's twenty
  ASSERT_TRUE(StartWorld(s.server, "INSERT INTO places VALUES (1, '" + quote + "', 'x');\n"));
  ASSERT_NO_FATAL_FAILURE(E2eLaunch(s, {"world", "places"}, "edits-no-main"));
  const std::string &main_window = s.main_window;

  E2eClick(main_window, 265, 65);  // Modify: the key dialog
  std::string ask = E2eWaitWindow("Input");
  ASSERT_FALSE(ask.empty()) << E2eScreenshot("edits-no-key-dialog");
  E2eKey(ask, "ctrl+u");
  E2eType(ask, "1");
  std::vector<std::string> before = E2eWindows("Record");
  E2eKey(ask, "Return");
  std::string modify = E2eWaitNew("Record", before);
  ASSERT_FALSE(modify.empty()) << E2eScreenshot("edits-no-modify-form");
  std::string message = E2eWaitWindow("Message");  // not shown exactly: name
  ASSERT_FALSE(message.empty()) << E2eScreenshot("edits-no-inexact-message");
  E2eKey(message, "Return");
  ASSERT_TRUE(E2eWaitGone("Message"));

  E2eClick(modify, kE2eInputX, E2eInputY(1));
  E2eKey(modify, "End");
  E2eType(modify, " (ET)");
  E2eClick(modify, E2eButtonX(1), kE2eButtonY);  // Modify
  ASSERT_TRUE(E2eAnswerYes("edits-append-question"));
  const std::vector<std::string> appended = {quote + " (ET)|x"};
  for (int i = 0; i < 50 && FileRows(s.server, "world", "SELECT name, note FROM places") != appended; i++)
    usleep(100000);
  EXPECT_EQ(FileRows(s.server, "world", "SELECT name, note FROM places"), appended);

  E2eTypeInto(modify, 2, "a \xe2\x80\x93 b");
  usleep(300000);  // the keys reach the input before the click does
  E2eScreenshot("edits-dash-typed");
  E2eClick(modify, E2eButtonX(1), kE2eButtonY);  // Modify
  std::string alert = E2eWaitWindow("Alert");
  EXPECT_FALSE(alert.empty()) << E2eScreenshot("edits-no-alert");
  E2eScreenshot("edits-dash-alert");
  if (!alert.empty()) {
    E2eKey(alert, "Return");
    EXPECT_TRUE(E2eWaitGone("Alert"));
  }
  EXPECT_TRUE(E2eWaitWindow("Question", 500).empty()) << E2eScreenshot("edits-dash-asked");
  EXPECT_EQ(FileRows(s.server, "world", "SELECT name, note FROM places"), appended);
  E2eClick(modify, E2eButtonX(1), kE2eButtonY);  // Modify again: sent as shown
  ASSERT_TRUE(E2eAnswerYes("edits-dash-question"));
  const std::vector<std::string> shown = {quote + " (ET)|a  b"};
  for (int i = 0; i < 50 && FileRows(s.server, "world", "SELECT name, note FROM places") != shown; i++)
    usleep(100000);
  EXPECT_EQ(FileRows(s.server, "world", "SELECT name, note FROM places"), shown);
}

// An 8-bit server: what is typed is stored as the Latin-1 bytes themselves,
// and a search pattern goes out in them.
TEST(CharsetEndToEnd, An8BitServerStoresTheTypedBytes) {
  EnvScope locale("LC_ALL", "C.UTF-8");
  EnvScope charset("KORVID_CHARSET", "ISO-8859-1");
  E2eSession s;
  ASSERT_FALSE(s.display.name.empty());
  ASSERT_TRUE(MapTypedLetters());
  ASSERT_TRUE(StartWorld(s.server, ""));
  ASSERT_NO_FATAL_FAILURE(E2eLaunch(s, {"world", "places"}, "charset8-no-main"));
  const int check = s.check;
  const std::string &main_window = s.main_window;
  const pid_t korvid = s.korvid;
  std::string insert = InsertTyped(main_window, "charset-8bit");
  ASSERT_FALSE(insert.empty());
  const std::vector<std::string> stored = {
      "11|C\xf4te d'Ivoire|\xe9t\xe9", "12|S\xe3o Tom\xe9|\xe9t\xe9", "13|\xc6r\xf8|\xe9t\xe9",
      "14|M\xfcller|\xe9t\xe9"};
  EXPECT_EQ(E2eRowsOnceEqual(check, "SELECT * FROM places ORDER BY id", stored), stored);
  E2eClick(insert, E2eButtonX(0), kE2eButtonY);

  std::string search = E2eOpenByClick("Record", main_window, 165, 65);
  ASSERT_FALSE(search.empty()) << E2eScreenshot("charset8-no-search-form");
  E2eTypeInto(search, 1, "M\xc3\xbc%");
  EXPECT_FALSE(E2eOpenByClick("Record", search, E2eButtonX(1), kE2eButtonY).empty()) << E2eWhy(korvid, "charset8-search-found-nothing");
}

}  // namespace
