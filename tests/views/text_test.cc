// The list windows' text without a display: record lines, field-description
// lines, the query file reader and the line writer.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "app/services/charset.h"
#include "views/views.h"
#include "tests/views/test_info.h"

namespace {

std::string Blanks(int n) { return std::string(static_cast<size_t>(n), ' '); }

TEST(RecordLine, ColumnsAreCutPaddedAndBlankForNull) {
  TestInfo t("t",
             {Field("id", INT_TYPE, 11), Field("name", CHAR_TYPE, 10), Field("note", TEXT_TYPE, 4)},
             3, 0);
  struct Case {
    const char *what;
    std::vector<const char *> row;
    std::string expected;
  } cases[] = {
      {"short values padded", {"7", "Ann", "ab"},
       "7" + Blanks(10) + "  " + "Ann" + Blanks(7) + "  " + "ab" + Blanks(2) + "  "},
      {"values exactly as long as their column", {"12345678901", "abcdefghij", "wxyz"},
       "12345678901  abcdefghij  wxyz  "},
      {"a longer text is cut to its length", {"1", "x", "free text longer"},
       "1" + Blanks(10) + "  x" + Blanks(9) + "  free  "},
      {"NULL is blanks only", {nullptr, nullptr, nullptr},
       Blanks(11) + "  " + Blanks(10) + "  " + Blanks(4) + "  "},
      {"empty text is blanks too", {"", "", ""},
       Blanks(11) + "  " + Blanks(10) + "  " + Blanks(4) + "  "},
      {"a leading @ stays as it is", {"@1", "@line", "@@"},
       "@1" + Blanks(9) + "  @line" + Blanks(5) + "  @@" + Blanks(2) + "  "},
      {"control characters keep one cell each", {"1\t2", "a\nb\r", "\x7f\x01zz"},
       "1 2" + Blanks(8) + "  a b " + Blanks(6) + "    zz  "},
      {"bytes above 127 are copied", {"1", "Jos\xc3\xa9", "\xe9t\xe9"},
       "1" + Blanks(10) + "  Jos\xc3\xa9" + Blanks(5) + "  \xe9t\xe9" + Blanks(1) + "  "},
  };
  for (const Case &c : cases) {
    std::string line = RecordLine(&t.info, const_cast<char *const *>(c.row.data()));
    EXPECT_EQ(line, c.expected) << c.what;
    EXPECT_EQ(line.size(), 13u + 12u + 6u) << c.what;
  }
}

// In UTF-8 a column holds its length in characters, whatever bytes each
// takes, so that the line lines up once it is shown in Latin-1.
TEST(RecordLine, Utf8ColumnsCountCharacters) {
  server_charset = CHARSET_UTF8;
  TestInfo t("t",
             {Field("id", INT_TYPE, 11), Field("name", CHAR_TYPE, 10), Field("note", TEXT_TYPE, 4)},
             3, 0);
  struct Case {
    const char *what;
    std::vector<const char *> row;
    std::string expected;
  } cases[] = {
      {"accented letters cut and padded by characters",
       {"1", "C\xc3\xb4te d'Ivoire", "\xc3\x86r\xc3\xb8"},
       "1" + Blanks(10) + "  C\xc3\xb4te d'Ivo  \xc3\x86r\xc3\xb8" + Blanks(1) + "  "},
      {"one cell for an emoji, a cut between Cyrillic letters",
       {"2", "\xf0\x9f\x98\x80 ok", "\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0"},
       "2" + Blanks(10) + "  \xf0\x9f\x98\x80 ok" + Blanks(6) + "  \xd0\x9c\xd0\xbe\xd1\x81\xd0\xba  "},
      {"a broken byte is one cell", {"3", "Jos\xe9", "\xe2\x82"},
       "3" + Blanks(10) + "  Jos\xe9" + Blanks(6) + "  \xe2\x82" + Blanks(2) + "  "},
  };
  for (const Case &c : cases) {
    std::string line = RecordLine(&t.info, const_cast<char *const *>(c.row.data()));
    EXPECT_EQ(line, c.expected) << c.what;
    EXPECT_EQ(ToToolkit(line.c_str()).size(), 13u + 12u + 6u) << c.what;
  }

  // The field descriptions align the names by characters as well.
  TestInfo fields("Stra\xc3\x9f" "e", {Field("M\xc3\xbcnze", CHAR_TYPE, 8)}, 1, 0);
  std::string shown = ToToolkit(FieldDescriptionLine(&fields.info, 0).c_str());
  EXPECT_EQ(shown.substr(0, 3 + 18 + 1 + 18), "@C1" + Blanks(13) + "M\xfcnze " + Blanks(12) + "Stra\xdf" "e");
  server_charset = CHARSET_8BIT;
}

TEST(RecordLine, OnlyDataFieldsMakeColumns) {
  // The index entry after the data fields has no column of its own.
  TestInfo t("t", {Field("a", CHAR_TYPE, 3), Field("idx", IDX_TYPE, 11)}, 1, 0);
  const char *row[] = {"abcdef"};
  EXPECT_EQ(RecordLine(&t.info, const_cast<char *const *>(row)), "abc  ");

  TestInfo none("t", {}, 0, 0);
  EXPECT_EQ(RecordLine(&none.info, nullptr), "");
}

TEST(PadSpaces, AppendsOnlyPositiveCounts) {
  struct Case {
    int count;
    const char *expected;
  } cases[] = {{3, "x   "}, {1, "x "}, {0, "x"}, {-5, "x"}};
  for (const Case &c : cases) {
    std::string text = "x";
    PadSpaces(text, c.count);
    EXPECT_EQ(text, c.expected) << c.count;
  }
}

TEST(FieldDescriptions, HeaderAndLinesWithColourAndFlags) {
  TestInfo t("people",
             {Field("id", INT_TYPE, 11, FLAG_NOT_NULL | FLAG_UNIQUE_KEY),
              Field("name", CHAR_TYPE, 20, FLAG_NOT_NULL), Field("note", TEXT_TYPE, 100),
              Field("when", 42, 11), Field("people_idx", IDX_TYPE, 11, FLAG_UNIQUE_KEY)},
             4, 1);
  EXPECT_EQ(FieldDescriptionHeader(), Blanks(9) + "Fieldname" + " " + Blanks(9) + "Tablename" +
                                          " " + "  Length" + " " + "    Type" + " " +
                                          "  Unique Key" + " " + "Not Null");
  std::string table_col = " " + Blanks(12) + "people ";
  std::vector<std::string> expected = {
      "@C0" + Blanks(16) + "id" + table_col + "    11   " + "   Integer" + "        Y        Y",
      "@C1" + Blanks(14) + "name" + table_col + "    20   " + " Character" + "        N        Y",
      "@C0" + Blanks(14) + "note" + table_col + "   100   " + " Free text" + "        N        N",
      "@C0" + Blanks(14) + "when" + table_col + "    11   " + "   Unknown" + "        N        N",
      "@C0" + Blanks(8) + "people_idx" + table_col + "    11   " + "     Index" +
          "        Y        N",
  };
  for (int i = 0; i < 5; i++) EXPECT_EQ(FieldDescriptionLine(&t.info, i), expected[i]) << i;
}

TEST(FieldDescriptions, TypeNames) {
  struct Case {
    int type;
    const char *name;
  } cases[] = {{1, "Integer"},  {2, "Character"},        {3, "Real"},    {6, "Free text"},
               {7, "Date"},     {8, "Unsigned integer"}, {9, "Money"},   {10, "Time"},
               {253, "Index"},  {4, nullptr},            {5, nullptr},   {0, nullptr},
               {254, nullptr}};
  for (const Case &c : cases) {
    const char *name = FieldTypeName(c.type);
    if (c.name == nullptr)
      EXPECT_EQ(name, nullptr) << c.type;
    else
      EXPECT_STREQ(name, c.name) << c.type;
  }
}

TEST(FieldDescriptions, LongNamesAreNotCut) {
  std::string name(30, 'n');
  TestInfo t("t", {Field(name.c_str(), INT_TYPE, 11)}, 1, 0);
  std::string line = FieldDescriptionLine(&t.info, 0);
  EXPECT_EQ(line.substr(0, 3 + name.size()), "@C1" + name);
}

FILE *FileWith(const std::string &content) {
  FILE *file = tmpfile();
  if (file == nullptr) return nullptr;
  fwrite(content.data(), 1, content.size(), file);
  rewind(file);
  return file;
}

TEST(ReadQueryFile, OneStatementAtMostStoreSizeLessOne) {
  const size_t kMax = STATEMENT_SIZE - 1;
  std::string full(kMax, 'a');
  struct Case {
    const char *what;
    std::string content;
    std::string expected;
    bool cut;
  } cases[] = {
      {"trailing newline dropped", "SELECT * FROM t\n", "SELECT * FROM t", false},
      {"no newline", "SELECT 1", "SELECT 1", false},
      {"inner line breaks kept", "SELECT *\nFROM t\nWHERE a = 1\n",
       "SELECT *\nFROM t\nWHERE a = 1", false},
      {"only one newline dropped", "SELECT 1\n\n", "SELECT 1\n", false},
      {"carriage return kept", "SELECT 1\r\n", "SELECT 1\r", false},
      {"empty file", "", "", false},
      {"a lone newline", "\n", "", false},
      {"exactly the limit", full, full, false},
      {"the limit and its newline", full + "\n", full, false},
      {"one short of the limit with newline", full.substr(1) + "\n", full.substr(1), false},
      {"one past the limit", full + "b", full, true},
      {"newline at the limit then more", full + "\n\n", full, true},
      {"a newline as the last byte read goes, more follows", full.substr(1) + "\nmore",
       full.substr(1), true},
  };
  for (const Case &c : cases) {
    FILE *file = FileWith(c.content);
    ASSERT_NE(file, nullptr);
    char store[STATEMENT_SIZE];
    memset(store, 'x', sizeof store);
    bool cut = !c.cut;
    size_t n = ReadQueryFile(file, store, sizeof store, &cut);
    fclose(file);
    EXPECT_EQ(std::string(store), c.expected) << c.what;
    EXPECT_EQ(n, c.expected.size()) << c.what;
    EXPECT_EQ(cut, c.cut) << c.what;
  }
}

TEST(WriteLines, OneNewlineEndedLinePerEntry) {
  FILE *file = tmpfile();
  ASSERT_NE(file, nullptr);
  std::vector<std::string> lines = {"first  ", "", "@third"};
  EXPECT_EQ(WriteLines(file, lines), 0);
  rewind(file);
  char buffer[64] = {};
  size_t n = fread(buffer, 1, sizeof buffer, file);
  fclose(file);
  EXPECT_EQ(std::string(buffer, n), "first  \n\n@third\n");
}

TEST(WriteLines, FailureIsReported) {
  FILE *file = fopen("/dev/full", "w");
  if (file == nullptr) GTEST_SKIP() << "no /dev/full";
  std::vector<std::string> lines(10, std::string(1000, 'x'));
  EXPECT_EQ(WriteLines(file, lines), -1);
  fclose(file);
}

}  // namespace
