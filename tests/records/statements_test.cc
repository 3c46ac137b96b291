// The statements of the record forms, built without a display or a server.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "records/records.h"

namespace {

struct Column {
  const char *name;
  int type;
  int length;
};

// An Info over the given data fields, owning its storage.
struct Table {
  std::string name;
  std::vector<std::string> names;
  std::vector<InfoField> fields;
  Info info{};

  Table(const char *table, std::vector<Column> columns, int pkey) : name(table) {
    for (const Column &c : columns) names.push_back(c.name);
    for (size_t i = 0; i < columns.size(); i++)
      fields.push_back({names[i].data(), name.data(), columns[i].type, columns[i].length, 0});
    info.table = name.data();
    info.nfields = info.nentries = static_cast<int>(columns.size());
    info.pkey = pkey;
    info.fields = fields.data();
  }
};

Table People(int pkey) {
  return Table("people", {{"id", INT_TYPE, 11}, {"name", CHAR_TYPE, 20}, {"age", INT_TYPE, 11}}, pkey);
}

std::string Built(int (*build)(char *, size_t, const Info *, const std::vector<const char *> &),
                  const Table &t, std::vector<const char *> values) {
  char statement[STATEMENT_SIZE];
  EXPECT_EQ(build(statement, sizeof statement, &t.info, values), 0);
  return statement;
}

TEST(UpdateStatement, SetListSkipsTheKeyWhereverItStands) {
  struct Case {
    int pkey;
    std::vector<const char *> values;
    const char *expected;
  } cases[] = {
      {0, {"7", "Ann", "30"}, "UPDATE people SET name='Ann',age=30 WHERE id = 7"},
      {1, {"7", "Ann", "30"}, "UPDATE people SET id=7,age=30 WHERE name = 'Ann'"},
      {2, {"7", "Ann", "30"}, "UPDATE people SET id=7,name='Ann' WHERE age = 30"},
      // An empty bare value becomes NULL, an empty quoted one ''.
      {0, {"7", "", ""}, "UPDATE people SET name='',age=NULL WHERE id = 7"},
      // A null value (a field that is NULL) is written as NULL.
      {0, {"7", nullptr, "30"}, "UPDATE people SET name=NULL,age=30 WHERE id = 7"},
  };
  for (const Case &c : cases) {
    Table t = People(c.pkey);
    char statement[STATEMENT_SIZE];
    ASSERT_EQ(UpdateStatement(statement, sizeof statement, &t.info, c.values, c.values[c.pkey]), 0);
    EXPECT_STREQ(statement, c.expected) << "key " << c.pkey;
  }
}

TEST(UpdateStatement, OnlyAKeyFieldGivesAnEmptySetList) {
  Table t("keys", {{"k", CHAR_TYPE, 8}}, 0);
  char statement[STATEMENT_SIZE];
  ASSERT_EQ(UpdateStatement(statement, sizeof statement, &t.info, {"a"}, "a"), 0);
  EXPECT_STREQ(statement, "UPDATE keys SET  WHERE k = 'a'");
}

TEST(UpdateStatement, TheRecordIsNamedByTheKeyGivenNotByTheKeyInput) {
  // The key input shows the key less the characters the toolkit cannot show.
  Table t("names", {{"k", CHAR_TYPE, 10}, {"v", INT_TYPE, 11}}, 0);
  char statement[STATEMENT_SIZE];
  ASSERT_EQ(UpdateStatement(statement, sizeof statement, &t.info, {"Mller", "3"}, "M\xc3\xbcller"), 0);
  EXPECT_STREQ(statement, "UPDATE names SET v=3 WHERE k = 'M\xc3\xbcller'");
}

TEST(UpdateStatement, FieldsLeftOutAreNotWritten) {
  Table t = People(0);
  char statement[STATEMENT_SIZE];
  ASSERT_EQ(UpdateStatement(statement, sizeof statement, &t.info, {"7", "Ann", "30"}, "7", {false, true, false}), 0);
  EXPECT_STREQ(statement, "UPDATE people SET age=30 WHERE id = 7");
  ASSERT_EQ(UpdateStatement(statement, sizeof statement, &t.info, {"7", "Ann", "30"}, "7", {true, false, true}), 0);
  EXPECT_STREQ(statement, "UPDATE people SET name='Ann' WHERE id = 7");
}

TEST(QuoteName, OnlyNamesThatAreNotPlainWordsAreQuoted) {
  struct {
    const char *name, *written;
  } cases[] = {
      {"people", "people"},
      {"_x1", "_x1"},
      {"Order_Details2", "Order_Details2"},
      {"Order Details", "\"Order Details\""},
      {"1st", "\"1st\""},
      {"a-b", "\"a-b\""},
      {"we\"ird", "\"we\"\"ird\""},
      {"St\xc3\xa4" "dte", "\"St\xc3\xa4" "dte\""},
      {"", "\"\""},
  };
  for (const auto &c : cases) EXPECT_EQ(QuoteName(c.name), c.written) << c.name;
}

TEST(Statements, EveryStatementQuotesNamesThatAreNotPlainWords) {
  Table t("Order Details", {{"Order ID", INT_TYPE, 11}, {"Product", TEXT_TYPE, 14}, {"Unit Price", REAL_TYPE, 11}},
          0);
  char statement[STATEMENT_SIZE];
  ASSERT_EQ(LookupStatement(statement, sizeof statement, &t.info, "10248"), 0);
  EXPECT_STREQ(statement, "SELECT * FROM \"Order Details\"  WHERE \"Order ID\" = 10248");
  ASSERT_EQ(UpdateStatement(statement, sizeof statement, &t.info, {"10248", "Tofu", "2.5"}, "10248"), 0);
  EXPECT_STREQ(statement, "UPDATE \"Order Details\" SET Product='Tofu',\"Unit Price\"=2.5 WHERE \"Order ID\" = 10248");
  ASSERT_EQ(DeleteStatement(statement, sizeof statement, &t.info, "10248"), 0);
  EXPECT_STREQ(statement, "DELETE FROM \"Order Details\"  WHERE \"Order ID\" = 10248");
  EXPECT_EQ(Built(InsertStatement, t, {"1", "x", "3"}), "INSERT INTO \"Order Details\" VALUES (1,'x',3)");
  EXPECT_EQ(Built(SearchStatement, t, {"", "T%", "2%"}),
            "SELECT * FROM \"Order Details\"  WHERE Product LIKE 'T%' AND \"Unit Price\" LIKE '2%'");
}

TEST(InsertStatement, ValuesFollowTheFieldOrder) {
  Table t = People(0);
  EXPECT_EQ(Built(InsertStatement, t, {"8", "Bob", "41"}), "INSERT INTO people VALUES (8,'Bob',41)");
  EXPECT_EQ(Built(InsertStatement, t, {"", "", ""}), "INSERT INTO people VALUES (NULL,'',NULL)");
  Table one("keys", {{"k", CHAR_TYPE, 8}}, 0);
  EXPECT_EQ(Built(InsertStatement, one, {"x"}), "INSERT INTO keys VALUES ('x')");
}

TEST(InsertStatement, QuotesInsideAValueAreWrittenByQuoteValue) {
  Table t = People(0);
  char literal[64];
  ASSERT_NE(QuoteValue(literal, sizeof literal, "O'Brien", CHAR_TYPE), nullptr);
  // The value must not end the literal early: whatever QuoteValue makes of
  // the quote, it stands whole between the commas.
  EXPECT_NE(std::string(literal), "'O'Brien'");
  EXPECT_EQ(Built(InsertStatement, t, {"9", "O'Brien", "50"}),
            std::string("INSERT INTO people VALUES (9,") + literal + ",50)");
}

TEST(SearchStatement, NonEmptyInputsBecomeLikeConditions) {
  struct Case {
    std::vector<const char *> values;
    const char *expected;
  } cases[] = {
      {{"", "", ""}, "SELECT * FROM people "},
      {{nullptr, "", nullptr}, "SELECT * FROM people "},
      // Blanks are a pattern for text, none for a number.
      {{"  ", " ", " "}, "SELECT * FROM people  WHERE name LIKE ' '"},
      {{"", "A%", ""}, "SELECT * FROM people  WHERE name LIKE 'A%'"},
      {{"", "A%", "30"}, "SELECT * FROM people  WHERE name LIKE 'A%' AND age LIKE 30"},
      // A pattern in a number field is matched as text, so written quoted.
      {{"1_", "_n%", "3%"},
       "SELECT * FROM people  WHERE id LIKE '1_' AND name LIKE '_n%' AND age LIKE '3%'"},
  };
  Table t = People(0);
  for (const Case &c : cases) EXPECT_EQ(Built(SearchStatement, t, c.values), c.expected);
}

TEST(KeyStatements, LookupAndDeleteNameTheKeyField) {
  Table t = People(1);
  char statement[STATEMENT_SIZE];
  ASSERT_EQ(LookupStatement(statement, sizeof statement, &t.info, "Ann"), 0);
  EXPECT_STREQ(statement, "SELECT * FROM people  WHERE name = 'Ann'");
  ASSERT_EQ(DeleteStatement(statement, sizeof statement, &t.info, "Ann"), 0);
  EXPECT_STREQ(statement, "DELETE FROM people  WHERE name = 'Ann'");

  Table ints = People(0);
  ASSERT_EQ(LookupStatement(statement, sizeof statement, &ints.info, "7"), 0);
  EXPECT_STREQ(statement, "SELECT * FROM people  WHERE id = 7");
}

TEST(KeyStatements, AKeyLongerThanItsFieldIsUsedWhole) {
  Table t("codes", {{"code", CHAR_TYPE, 4}, {"text", CHAR_TYPE, 10}}, 0);
  std::string key(300, 'k');
  char statement[STATEMENT_SIZE];
  ASSERT_EQ(LookupStatement(statement, sizeof statement, &t.info, key.c_str()), 0);
  EXPECT_EQ(std::string(statement), "SELECT * FROM codes  WHERE code = '" + key + "'");
}

// Every builder with the value v in the key field a; field b holds "y".
struct Builder {
  const char *name;
  int (*build)(char *, size_t, const Info *, const char *v);
};

const Builder kBuilders[] = {
    {"lookup", [](char *s, size_t n, const Info *i, const char *v) { return LookupStatement(s, n, i, v); }},
    {"delete", [](char *s, size_t n, const Info *i, const char *v) { return DeleteStatement(s, n, i, v); }},
    {"update", [](char *s, size_t n, const Info *i, const char *v) { return UpdateStatement(s, n, i, {v, "y"}, v); }},
    {"insert", [](char *s, size_t n, const Info *i, const char *v) { return InsertStatement(s, n, i, {v, "y"}); }},
    {"search", [](char *s, size_t n, const Info *i, const char *v) { return SearchStatement(s, n, i, {"y", v}); }},
};

TEST(StatementLimit, ExactlyFullFitsAndOneMoreIsRefusedWithAnEmptyBuffer) {
  Table t("t", {{"a", CHAR_TYPE, 4000}, {"b", CHAR_TYPE, 4000}}, 0);
  for (const Builder &b : kBuilders) {
    char statement[STATEMENT_SIZE];
    ASSERT_EQ(b.build(statement, sizeof statement, &t.info, "v"), 0) << b.name;
    size_t base = strlen(statement) - 1;  // everything but the value itself

    std::string value(STATEMENT_SIZE - 1 - base, 'v');
    ASSERT_EQ(b.build(statement, sizeof statement, &t.info, value.c_str()), 0) << b.name;
    EXPECT_EQ(strlen(statement), size_t{STATEMENT_SIZE - 1}) << b.name;
    EXPECT_NE(strstr(statement, value.c_str()), nullptr) << b.name;

    value += 'v';
    EXPECT_EQ(b.build(statement, sizeof statement, &t.info, value.c_str()), -1) << b.name;
    EXPECT_STREQ(statement, "") << b.name;

    // A value far longer than any statement is refused as well.
    std::string huge(3 * STATEMENT_SIZE, 'h');
    EXPECT_EQ(b.build(statement, sizeof statement, &t.info, huge.c_str()), -1) << b.name;
  }
}

}  // namespace
