// The access file as plain functions: patterns, the reader's faults with
// their line numbers, and the decision for local and remote clients.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "server/access.h"

namespace {

TEST(AccessPatternTest, StarsStandForAnyRun) {
  struct Case {
    const char *pattern, *text;
    bool fold, match;
  } cases[] = {
      {"sample", "sample", false, true},     {"sample", "samples", false, false},
      {"*", "", false, true},                {"*", "anything", false, true},
      {"test_*", "test_", false, true},      {"test_*", "test_one", false, true},
      {"test_*", "atest_one", false, false}, {"*_old", "a_b_old", false, true},
      {"a*b*c", "aXbYbZc", false, true},     {"a*b*c", "aXbYc_", false, false},
      {"**", "x", false, true},              {"Sample", "sample", false, false},
      {"*.Example.COM", "db.example.com", true, true},
      {"10.0.*", "10.0.3.4", true, true},    {"10.0.*", "110.0.3.4", true, false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(AccessPatternMatch(c.pattern, c.text, c.fold), c.match) << c.pattern << " / " << c.text;
  }
}

TEST(AccessParseTest, FaultsNameTheirLine) {
  struct Case {
    const char *text, *error;
  } cases[] = {
      {"database=a\nread=*\nnonsense\n", "line 3: expected key=value, found \"nonsense\""},
      {"database=a\nowner=bob\n", "line 2: unknown key \"owner\" (database, read, write, host, access)"},
      {"# rules\n\nread=*\nwrite=bob\n", "line 3: entry without database="},
      {"database=a\n\n\nread=*\n", "line 4: entry without database="},
      {"database=a\nread=*\nread=bob\n", "line 3: read= given twice in one entry"},
      {"database=a\naccess=local,elsewhere\n", "line 2: access= takes local and remote, not \"elsewhere\""},
      {"database=a\naccess=-local\n", "line 2: access= takes local and remote, not \"-local\""},
      {"database=a\nwrite=bob,,carol\n", "line 2: empty name in the list \"bob,,carol\""},
      {"database=a\nwrite=-\n", "line 2: empty name in the list \"-\""},
      {"database=\n", "line 1: empty list"},
  };
  for (const Case &c : cases) {
    AccessRules rules;
    std::string error;
    EXPECT_FALSE(AccessParse(c.text, &rules, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
    EXPECT_FALSE(rules.from_file);
  }
}

AccessClient Local(const std::string &user) {
  AccessClient c;
  c.verified = true;
  c.user = user;
  return c;
}

AccessClient Remote(const std::vector<std::string> &hosts) {
  AccessClient c;
  c.hosts = hosts;
  return c;
}

TEST(AccessDecideTest, FirstMatchingEntryDecides) {
  const char *file =
      "# The sample database: everyone reads, two users write.\n"
      "database = sample\n"
      "read = *, -guest\n"
      "write = alice, bob\n"
      "\n"
      "# Test databases are open to remote clients of the office, not to the printer.\n"
      "database=test_*\r\n"
      "read=*\r\n"
      "write=carol\r\n"
      "host=10.1.*,*.office.example,-10.1.0.99\r\n"
      "access=local,remote\r\n"
      "\n"
      "database=test_*,other\n"
      "write=*\n"
      "\n"
      "database=remote_only\n"
      "write=*\n"
      "host=*\n"
      "access=remote\n";
  AccessRules rules;
  std::string error;
  ASSERT_TRUE(AccessParse(file, &rules, &error)) << error;
  struct Case {
    AccessClient client;
    const char *database;
    AccessRight right;
  } cases[] = {
      {Local("alice"), "sample", ACCESS_WRITE},
      {Local("dave"), "sample", ACCESS_READ},
      {Local("guest"), "sample", ACCESS_NONE},
      // carol writes test_* by the second entry; the third, which would let
      // everyone write, is never reached for test_*.
      {Local("carol"), "test_one", ACCESS_WRITE},
      {Local("dave"), "test_one", ACCESS_READ},
      {Local("dave"), "other", ACCESS_WRITE},
      // No entry: closed.
      {Local("alice"), "unlisted", ACCESS_NONE},
      // access=remote only: local users are not let in.
      {Local("alice"), "remote_only", ACCESS_NONE},
      // sample admits local clients only.
      {Remote({"10.1.2.3"}), "sample", ACCESS_NONE},
      // A remote client's name is not known: read=* admits it, write=carol
      // does not.
      {Remote({"10.1.2.3"}), "test_one", ACCESS_READ},
      {Remote({"10.2.0.1"}), "test_one", ACCESS_NONE},
      {Remote({"10.1.0.99"}), "test_one", ACCESS_NONE},
      {Remote({"192.0.2.7", "pc7.Office.Example"}), "test_one", ACCESS_READ},
      {Remote({"10.1.0.99", "printer.office.example"}), "test_one", ACCESS_NONE},
      {Remote({"192.0.2.7"}), "remote_only", ACCESS_WRITE},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(AccessDecide(rules, c.client, c.database), c.right)
        << (c.client.verified ? c.client.user : c.client.hosts[0]) << " on " << c.database;
  }
}

TEST(AccessLoadTest, MissingFileGivesTheDefaultsAndAFailedLoadKeepsTheRules) {
  char dir[] = "/tmp/korvid-access-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/msql.acl";
  AccessRules rules;
  std::string error;
  // No file: local users everything, remote clients what remote_access says.
  ASSERT_TRUE(AccessLoad(path, false, &rules, &error)) << error;
  EXPECT_EQ(AccessDecide(rules, Local("anyone"), "sample"), ACCESS_WRITE);
  EXPECT_EQ(AccessDecide(rules, Remote({"192.0.2.1"}), "sample"), ACCESS_NONE);
  ASSERT_TRUE(AccessLoad(path, true, &rules, &error)) << error;
  EXPECT_EQ(AccessDecide(rules, Remote({"192.0.2.1"}), "sample"), ACCESS_WRITE);

  FILE *f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("database=sample\nread=alice\n", f);
  fclose(f);
  ASSERT_TRUE(AccessLoad(path, true, &rules, &error)) << error;
  EXPECT_EQ(AccessDecide(rules, Local("alice"), "sample"), ACCESS_READ);
  EXPECT_EQ(AccessDecide(rules, Remote({"192.0.2.1"}), "sample"), ACCESS_NONE);

  f = fopen(path.c_str(), "w");
  fputs("database=sample\nread=alice\nwrite bob\n", f);
  fclose(f);
  EXPECT_FALSE(AccessLoad(path, true, &rules, &error));
  EXPECT_EQ(error, "access file " + path + ", line 3: expected key=value, found \"write bob\"");
  EXPECT_EQ(AccessDecide(rules, Local("alice"), "sample"), ACCESS_READ);
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
