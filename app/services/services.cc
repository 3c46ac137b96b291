// The services every window uses (see services.h): the message list, the
// dialogs' wording, the query executor and the one connection's database.
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "app/services/charset.h"
#include "app/services/services.h"

CurrentServer current_server = {-1, "", "", "", {}};
int &sock = current_server.sock;
int no_record_count = 0;
int row_ceiling = 0;

namespace {

// The one text buffer that LogMessage, ShowAlert and ShowMessage format into,
// in the server's charset; each converts it to Latin-1 for the toolkit.
// It holds MESSAGE_SIZE bytes; longer text is cut at its end. The toolkit
// copies the text, so nothing points into it after the call returns.
char message_text[MESSAGE_SIZE];

void FormatMessage(const char *format, va_list args) {
  vsnprintf(message_text, sizeof message_text, format, args);
}

// How an alert names a server.
const char *ServerName(const char *server) {
  return server && server[0] ? server : "(local)";
}

}  // namespace

MainWindowCalls mainWindowCalls = {nullptr, nullptr, nullptr};

Info *MainTable(const MainForm *mainform) {
  return mainform && mainWindowCalls.table != nullptr ? mainWindowCalls.table(mainform) : nullptr;
}

int CheckTableSelected(MainForm *mainform) {
  if (mainWindowCalls.check != nullptr) return mainWindowCalls.check(mainform);
  dialogs.message("Select a table first !", "", "");
  return -1;
}

void LogMessage(MainForm *mainform, const char *format, ...) {
  va_list args;
  va_start(args, format);
  FormatMessage(format, args);
  va_end(args);
  if (mainWindowCalls.log != nullptr) mainWindowCalls.log(mainform, message_text);
}

void ShowAlert(const char *format, ...) {
  va_list args;
  va_start(args, format);
  FormatMessage(format, args);
  va_end(args);
  // Without a connection every request fails the same way until the user
  // connects again; the alert says how.
  const char *hint = sock < 0 ? "Press Return in the Sqlserver field to connect again" : "";
  dialogs.alert(ToToolkit(message_text).c_str(), hint, ToToolkit(msqlErrMsg).c_str(), 1);
}

void ShowMessage(const char *format, ...) {
  va_list args;
  va_start(args, format);
  FormatMessage(format, args);
  va_end(args);
  dialogs.message("", ToToolkit(message_text).c_str(), "");
}

namespace {

int RunStatement(Info *info, const char *statement, int *status, int (*run)(int, const char *)) {
  if (info && EnterDatabase(info) != 0) return -1;
  if (info && info->mainform) LogMessage(info->mainform, "Executing: %s", statement);
  int result = run(sock, statement);
  if (result < 0) {
    ForgetLostConnection();
    // A reply given up at the user's stop is no failure of the statement:
    // the window that asked says what came of it.
    if (!msqlReplyGivenUp()) ShowAlert("Query failed");
    LeaveDatabase();
    return -1;
  }
  // The rows of a select wait in the library; selecting a database does
  // not disturb them.
  LeaveDatabase();
  if (status) *status = result;
  return 0;
}

}  // namespace

int ExecuteQuery(Info *info, const char *statement, int *status) {
  return RunStatement(info, statement, status, msqlQuery);
}

int ExecuteCount(Info *info, const char *statement, int *count) {
  return RunStatement(info, statement, count, msqlCountRows);
}

void RefuseLongStatement(void) { ShowAlert("Statement too long: nothing was sent"); }

// The library closes a connection it has lost, and its number may then be
// given to the next file or socket opened. Forget it at once, so that no later
// request (or the close before a reconnect) touches whatever reuses it.
void ForgetLostConnection(void) {
  if (sock >= 0 && fcntl(sock, F_GETFD) == -1 && errno == EBADF) sock = -1;
}

void NoteServer(const char *server) {
  current_server.server = server ? server : "";
  current_server.database.clear();
  current_server.main_database.clear();
}

void NoteDatabase(const char *database) {
  // "None selected" leaves the connection where it was.
  if (database && database[0]) current_server.database = database;
  current_server.main_database = database ? database : "";
}

int ConnectAgain(void) {
  std::string database = current_server.database;
  if (sock >= 0) msqlClose(sock);
  sock = msqlConnect(current_server.server.empty() ? nullptr : current_server.server.c_str());
  current_server.database.clear();
  if (sock < 0) {
    ShowAlert("Error connecting to server");
    return -1;
  }
  if (!database.empty()) {
    if (msqlSelectDB(sock, database.c_str()) < 0) {
      ForgetLostConnection();
      ShowAlert("Error opening database %s", database.c_str());
      return -1;
    }
    current_server.database = database;
  }
  LeaveDatabase();
  return 0;
}

int CheckServer(const Info *info) {
  // The main window's own table is on the connection it made: a lost one
  // fails in the library with its own reason, as every other request does.
  bool own = info->mainform && mainWindowCalls.table != nullptr && mainWindowCalls.table(info->mainform) == info;
  if (!info->database || own || (sock >= 0 && current_server.server == info->server)) return 0;
  ShowAlert("Server %s is not connected any more: nothing was sent to %s",
            ServerName(info->server), InfoPlace(info).c_str());
  return -1;
}

int EnterDatabase(const Info *info) {
  if (CheckServer(info) != 0) return -1;
  if (!info->database || sock < 0 || current_server.database == info->database) return 0;
  if (msqlSelectDB(sock, info->database) < 0) {
    ForgetLostConnection();
    ShowAlert("Error opening database %s", info->database);
    return -1;
  }
  current_server.database = info->database;
  return 0;
}

void LeaveDatabase(void) {
  const std::string &main_database = current_server.main_database;
  if (sock < 0 || main_database.empty() || current_server.database == main_database) return;
  if (msqlSelectDB(sock, main_database.c_str()) < 0) {
    ForgetLostConnection();
    ShowAlert("Error opening database %s", main_database.c_str());
    return;
  }
  current_server.database = main_database;
}

std::string InfoPlace(const Info *info) {
  std::string place;
  if (info->database) place = std::string(info->database) + ".";
  return place + (info->table ? info->table : "");
}

int CheckColumns(const Info *info, ResultHandle *res) {
  if (ResultColumns(res) == info->nfields) return 0;
  ShowAlert("The table %s has changed: choose it again", InfoPlace(info).c_str());
  return -1;
}
