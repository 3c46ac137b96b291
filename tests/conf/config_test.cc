// The configuration reader: defaults, file lookup, parsing, values, "%I"
// expansion and every error message, each at its limits.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "msql/conf/config.h"
#include "msql/conf/config_internal.h"
#include "tests/support/capture.h"

namespace {

struct TempDir {
  std::string path;
  std::vector<std::string> files;
  TempDir() {
    char pattern[] = "/tmp/korvid-conf-XXXXXX";
    path = mkdtemp(pattern);
  }
  std::string Write(const std::string &name, const std::string &content) {
    std::string file = path + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    files.push_back(file);
    return file;
  }
  ~TempDir() {
    for (const std::string &f : files) unlink(f.c_str());
    rmdir(path.c_str());
  }
};

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("MSQL_CONF_FILE");
    msqlConfigReset();
  }
  void TearDown() override { msqlConfigReset(); }

  // Loads content as a file; returns what was written to standard error.
  std::string Load(const std::string &content) {
    std::string file = dir.Write("msql.conf", content);
    Capture err;
    err.Start(2);
    EXPECT_EQ(msqlConfigLoad(file.c_str()), 0);
    return err.Stop();
  }

  static std::string Text(const char *section, const char *element) {
    const char *value = msqlConfigGetString(section, element);
    return value ? value : "(none)";
  }

  TempDir dir;
};

// The environment's file is consulted only while the default file is absent.
bool DefaultFileExists() { return access(MSQL_INST_DIR "/msql.conf", F_OK) == 0; }

std::string Error(const std::string &message, int line) {
  return "\nConfig Error : " + message + " at line " + std::to_string(line) + "\n";
}

TEST_F(ConfigTest, DefaultsWithoutAnyFile) {
  if (DefaultFileExists()) GTEST_SKIP() << "this machine has a default msql.conf";
  EXPECT_EQ(msqlConfigLoaded(), 0);
  Capture out;
  out.Start(1);
  EXPECT_EQ(msqlConfigLoad(nullptr), -1);
  EXPECT_EQ(out.Stop(), "");
  EXPECT_EQ(msqlConfigLoaded(), 1);
  EXPECT_EQ(msqlConfigGetInt("general", "tcp_port"), 1114);
  EXPECT_EQ(Text("general", "unix_port"), "/usr/local/Vantrel/msql2.sock");
  EXPECT_EQ(Text("general", "msql_user"), "msql");
  EXPECT_EQ(Text("general", "inst_dir"), "/usr/local/Vantrel");
  EXPECT_EQ(msqlConfigGetInt("system", "msync_timer"), 120);
  EXPECT_EQ(msqlConfigGetInt("w3-msql", "footer"), 1);
  EXPECT_EQ(Text("w3-msql", "auth_host"), "(none)");
  // Integer directives read as text say "NULL"; text ones read as 0.
  EXPECT_EQ(Text("general", "tcp_port"), "NULL");
  EXPECT_EQ(msqlConfigGetInt("general", "unix_port"), 0);
  // Unknown pairs: -1 and no value; names are compared exactly.
  EXPECT_EQ(msqlConfigGetInt("general", "TCP_PORT"), -1);
  EXPECT_EQ(msqlConfigGetInt("General", "tcp_port"), -1);
  EXPECT_EQ(Text("general", "nothing"), "(none)");
}

TEST_F(ConfigTest, NamedFileThatCannotBeOpened) {
  std::string missing = dir.path + "/absent";
  Capture out;
  out.Start(1);
  EXPECT_EQ(msqlConfigLoad(missing.c_str()), -1);
  EXPECT_EQ(out.Stop(), "Load of " + missing + " failed\n");
  EXPECT_EQ(msqlConfigLoaded(), 1);
  EXPECT_EQ(msqlConfigGetInt("general", "tcp_port"), 1114);
}

TEST_F(ConfigTest, EnvironmentFileIsReadWhenTheDefaultFileIsMissing) {
  if (DefaultFileExists()) GTEST_SKIP() << "this machine has a default msql.conf";
  std::string file = dir.Write("env.conf", "[general]\ntcp_port = 2020\n");
  setenv("MSQL_CONF_FILE", file.c_str(), 1);
  EXPECT_EQ(msqlConfigLoad(nullptr), 0);
  EXPECT_EQ(msqlConfigGetInt("general", "tcp_port"), 2020);
  msqlConfigReset();
  setenv("MSQL_CONF_FILE", (dir.path + "/absent").c_str(), 1);
  Capture out;
  out.Start(1);
  EXPECT_EQ(msqlConfigLoad(nullptr), -1);
  EXPECT_EQ(out.Stop(), "");
}

TEST_F(ConfigTest, DirectoryEndsTheReadingQuietly) {
  // A directory opens but cannot be read: nothing stale is handled.
  EXPECT_EQ(msqlConfigLoad(dir.path.c_str()), 0);
  EXPECT_EQ(msqlConfigGetInt("general", "tcp_port"), 1114);
}

TEST_F(ConfigTest, Lines) {
  std::string long79(79, 'S');
  std::string long150(150, 'e');
  std::string comment = "# " + std::string(157, 'c') + "tail_part = 1\n";
  struct Case {
    std::string content;
    const char *section;
    const char *element;
    std::string value;  // text lookup, or the integer as decimal text
    std::string errors;
  } cases[] = {
      {"[general]\nTCP_Port = 4333\n", "general", "tcp_port", "4333", ""},
      {"[General]\ntcp_port = 4333\n", "general", "tcp_port", "1114",
       Error("Unknown section 'General' or element 'tcp_port'", 2)},
      {"[general]\ntcp_port 4333\n", "general", "tcp_port", "4333", ""},
      {"[general]\ntcp_port=4333\n", "general", "tcp_port", "4333", ""},
      {"[general]\ntcp_port = 4333 # old port\n", "general", "tcp_port", "4333", ""},
      {"[general]\r\ntcp_port = 7\r\n", "general", "tcp_port", "7", ""},
      // A libpq connection string is the whole rest of its line.
      {"[postgresql]\nconninfo = host=/run/postgresql user=korvid  \r\n", "postgresql", "conninfo",
       "host=/run/postgresql user=korvid", ""},
      {"[postgresql]\nconninfo =\n", "postgresql", "conninfo", "(none)", Error("Invalid Value", 2)},
      {"[ general ]\n\ttcp_port\t=\t8\n", "general", "tcp_port", "8", ""},
      {"[general]\ntcp_port = 1\ntcp_port = 2\n", "general", "tcp_port", "2", ""},
      {"[general]\ntcp_port = -1\n", "general", "tcp_port", "1114", Error("Invalid value", 2)},
      {"[general]\ntcp_port = 0x45a\n", "general", "tcp_port", "1114", Error("Invalid value", 2)},
      {"[general]\ntcp_port = 99999999999\n", "general", "tcp_port", "1114",
       Error("Invalid value", 2)},
      {"[general]\ntcp_port = 2147483647\n", "general", "tcp_port", "2147483647", ""},
      {"[general]\ntcp_port =\n", "general", "tcp_port", "1114", Error("Invalid Value", 2)},
      {"[general]\ntcp_port\n", "general", "tcp_port", "1114", Error("Invalid Value", 2)},
      {"[system]\nhost_lookup = FALSE\n", "system", "host_lookup", "0", ""},
      {"[system]\nread_only = True\n", "system", "read_only", "1", ""},
      {"[system]\nread_only = False\n", "system", "read_only", "0", ""},
      {"[system]\nread_only = yes\n", "system", "read_only", "0", Error("Invalid value", 2)},
      {"[general]\nunix_port = NULL\n", "general", "unix_port", "NULL", ""},
      {"[w3-msql]\nauth_host = NULL\n", "w3-msql", "auth_host", "(none)", ""},
      {"[w3-msql]\nauth_host = null\n", "w3-msql", "auth_host", "null", ""},
      {"[w3-msql]\nforce_suffix = .html\n", "w3-msql", "force_suffix", ".html", ""},
      {"[general]\npid_file = /var/run/my pid\n", "general", "pid_file", "/var/run/my", ""},
      {"[general]\ninst_dir = /opt/db\n", "general", "unix_port", "/opt/db/msql2.sock", ""},
      {"[general]\ninst_dir = NULL\n", "general", "db_dir", "NULL/msqldb", ""},
      {"[general]\ninst_dir = /x%I\nunix_port = %I%I/%y%\n", "general", "unix_port",
       "/x%I/x%I/%y%", ""},
      {"  # indented comment\n   \n\n[general]\ntcp_port = 5\n", "general", "tcp_port", "5", ""},
      {"[general]\ntcp_port = 4333", "general", "tcp_port", "1114", ""},
      {"tcp_port = 1\n[general]\n", "general", "tcp_port", "1114",
       Error("Directive prior to section header", 1)},
      // The header's token ends only at a blank or ']', so it keeps the line end.
      {"[ ]\ntcp_port = 2\n", "general", "tcp_port", "1114",
       Error("Unknown section '\n' or element 'tcp_port'", 2)},
      {"[" + std::string(158, ' ') + "\ntcp_port = 2\n", "general", "tcp_port", "1114",
       Error("Unknown section '' or element 'tcp_port'", 3)},
      {"[" + std::string(100, 'S') + "]\ntcp_port = 2\n", "general", "tcp_port", "1114",
       Error("Unknown section '" + long79 + "' or element 'tcp_port'", 2)},
      {"[" + long79 + "]\n" + long150 + " = 1\n", "general", "tcp_port", "1114",
       Error(("Unknown section '" + long79 + "' or element '" + long150 + "'").substr(0, 199), 2)},
      {"[general]\n" + comment + "tcp_port = 9\n", "general", "tcp_port", "9",
       Error("Unknown section 'general' or element 'tail_part'", 3)},
      {"[general]\n" + std::string(158, ' ') + "\ntcp_port = 3\n", "general", "tcp_port", "3", ""},
      {"[general]\n" + std::string(159, '=') + "\ntcp_port = 3\n", "general", "tcp_port", "3",
       Error("Invalid Value", 2)},
  };
  for (const Case &c : cases) {
    msqlConfigReset();
    std::string errors = Load(c.content);
    std::string value = Text(c.section, c.element);
    if (value == "NULL" && std::string(c.element) != "unix_port") {
      value = std::to_string(msqlConfigGetInt(c.section, c.element));
    }
    EXPECT_EQ(value, c.value) << c.content;
    EXPECT_EQ(errors, c.errors) << c.content;
  }
}

TEST_F(ConfigTest, ExpansionIsCutAt199Characters) {
  std::string inst(120, 'i');
  Load("[general]\ninst_dir = " + inst + "\ndb_dir = %I/%I\n");
  EXPECT_EQ(Text("general", "db_dir"), (inst + "/" + inst).substr(0, 199));
  EXPECT_EQ(Text("general", "inst_dir"), inst);
}

TEST_F(ConfigTest, TextLookupsShareOneBuffer) {
  const char *first = msqlConfigGetString("general", "msql_user");
  std::string kept = first;
  const char *second = msqlConfigGetString("general", "admin_user");
  EXPECT_EQ(first, second);
  EXPECT_EQ(kept, "msql");
  EXPECT_STREQ(second, "root");
}

}  // namespace
