// See process.h: the server process's user and its own files.
#include "server/process.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool DropPrivileges(const std::string &user, std::string *warning, std::string *error) {
  if (geteuid() != 0) return true;
  if (user == "root") {
    *warning = "running as root, as msql_user = root asks: every client's request runs with root's rights";
    return true;
  }
  struct passwd pw, *found = nullptr;
  char buf[4096];
  if (getpwnam_r(user.c_str(), &pw, buf, sizeof buf, &found) != 0 || !found) {
    *error = "msql_user \"" + user + "\" does not exist: make that user, or name the user to run as in msql.conf";
    return false;
  }
  if (found->pw_uid == 0) {
    *error = "msql_user \"" + user + "\" is root by another name: name root itself to run as root";
    return false;
  }
  if (initgroups(found->pw_name, found->pw_gid) != 0 || setgid(found->pw_gid) != 0 ||
      setuid(found->pw_uid) != 0) {
    *error = "cannot become msql_user \"" + user + "\": " + strerror(errno);
    return false;
  }
  // A process that could take root back has not given it up.
  if (setuid(0) == 0) {
    *error = "cannot give up root for msql_user \"" + user + "\"";
    return false;
  }
  return true;
}

int OpenPidFile(const std::string &path, std::string *error) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0 && (errno == EACCES || errno == ENOENT || errno == EROFS)) {
    *error = "cannot write pid file " + path + ": " + strerror(errno);
    return PID_FILE_UNWRITABLE;
  }
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "cannot use pid file " + path + ": " +
             (fd < 0 ? (errno == ELOOP ? std::string("it is a symbolic link") : strerror(errno))
                     : std::string("not a regular file"));
    if (fd >= 0) close(fd);
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? "another korvid-server runs with pid file " + path
                                  : "cannot lock pid file " + path + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  std::string text = std::to_string((int)getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) != (ssize_t)text.size()) {
    *error = "cannot write pid file " + path + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

FILE *OpenQueryLog(const std::string &path, std::string *error) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "cannot open query log " + path + ": " +
             (fd < 0 ? (errno == ELOOP ? std::string("it is a symbolic link") : strerror(errno))
                     : std::string("not a regular file"));
    if (fd >= 0) close(fd);
    return nullptr;
  }
  FILE *f = fdopen(fd, "a");
  if (!f) {
    *error = "cannot open query log " + path + ": " + strerror(errno);
    close(fd);
  }
  return f;
}

bool NotASocket(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode);
}
