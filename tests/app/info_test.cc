// QuoteValue, ReadNumber and the Info record's copy and release: pure
// functions, no display or server needed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/services/services.h"

namespace {

struct QuoteCase {
  const char *value;
  int type;
  size_t size;
  const char *expected;  // null: the literal does not fit
};

TEST(QuoteValue, WritesLiteralsOfEveryType) {
  const QuoteCase cases[] = {
      {"abc", CHAR_TYPE, 64, "'abc'"},
      // Text in a number field is no number: quoted, never SQL.
      {"abc", INT_TYPE, 64, "'abc'"},
      {"1,id=99", INT_TYPE, 64, "'1,id=99'"},
      {"0 OR 1=1", UINT_TYPE, 64, "'0 OR 1=1'"},
      {"4_", INT_TYPE, 64, "'4_'"},
      {"2'", REAL_TYPE, 64, "'2\\''"},
      // A number as ReadNumber writes it: no blanks, no plus sign.
      {" +42 ", INT_TYPE, 64, "42"},
      {"-1.5e-3", REAL_TYPE, 64, "-1.5e-3"},
      {"abc", TEXT_TYPE, 64, "'abc'"},
      {"1999-12-31", DATE_TYPE, 64, "'1999-12-31'"},
      {"12:30:00", TIME_TYPE, 64, "'12:30:00'"},
      {"3.5", REAL_TYPE, 64, "3.5"},
      {"7", UINT_TYPE, 64, "7"},
      {"9.99", MONEY_TYPE, 64, "9.99"},
      // Quotes and backslashes inside a quoted value are escaped.
      {"O'Brien", CHAR_TYPE, 64, "'O\\'Brien'"},
      {"a\\b", TEXT_TYPE, 64, "'a\\\\b'"},
      {"''", CHAR_TYPE, 64, "'\\'\\''"},
      {"\\'", DATE_TYPE, 64, "'\\\\\\''"},
      // The wildcards of a LIKE pattern pass unchanged.
      {"%a_b", CHAR_TYPE, 64, "'%a_b'"},
      // An empty numeric value has no literal but NULL; an empty text is ''.
      {"", INT_TYPE, 64, "NULL"},
      {"", REAL_TYPE, 64, "NULL"},
      {"", UINT_TYPE, 64, "NULL"},
      {"", MONEY_TYPE, 64, "NULL"},
      {"  ", INT_TYPE, 64, "NULL"},
      {"", CHAR_TYPE, 64, "''"},
      {"", TIME_TYPE, 64, "''"},
      {nullptr, CHAR_TYPE, 64, "NULL"},
      // Exactly fitting and one byte short (the terminator counts).
      {"abc", CHAR_TYPE, 6, "'abc'"},
      {"abc", CHAR_TYPE, 5, nullptr},
      {"123", INT_TYPE, 4, "123"},
      {"123", INT_TYPE, 3, nullptr},
      {"'", CHAR_TYPE, 5, "'\\''"},
      {"'", CHAR_TYPE, 4, nullptr},
      {"", INT_TYPE, 5, "NULL"},
      {"", INT_TYPE, 4, nullptr},
      {"", CHAR_TYPE, 1, nullptr},
  };
  for (const QuoteCase &c : cases) {
    SCOPED_TRACE(std::string("value ") + (c.value ? c.value : "(null)") + " type " +
                 std::to_string(c.type) + " size " + std::to_string(c.size));
    char buffer[64];
    memset(buffer, 'x', sizeof buffer);
    char *result = QuoteValue(buffer, c.size, c.value, c.type);
    if (c.expected) {
      ASSERT_EQ(result, buffer);
      EXPECT_STREQ(buffer, c.expected);
    } else {
      EXPECT_EQ(result, nullptr);
      EXPECT_EQ(buffer[0], '\0');  // no half-written literal left behind
    }
    // Nothing is written past the given size.
    for (size_t i = c.size; i < sizeof buffer; i++) ASSERT_EQ(buffer[i], 'x') << i;
  }
}

// What a number field takes, type by type. literal is what the statements
// write; null: refused, and fault is the reason.
TEST(ReadNumber, TakesOnlyNumbersOfTheFieldsType) {
  struct Case {
    const char *text;
    int type;
    const char *literal;
    const char *fault;
  } cases[] = {
      {"42", INT_TYPE, "42", nullptr},
      {"-42", INT_TYPE, "-42", nullptr},
      {"+42", INT_TYPE, "42", nullptr},
      {"  7\t", INT_TYPE, "7", nullptr},
      {"007", INT_TYPE, "007", nullptr},
      {"9223372036854775807", INT_TYPE, "9223372036854775807", nullptr},
      {"-9223372036854775808", INT_TYPE, "-9223372036854775808", nullptr},
      {"0009223372036854775807", INT_TYPE, "0009223372036854775807", nullptr},
      {"9223372036854775808", INT_TYPE, nullptr, "is out of range for an integer"},
      {"-9223372036854775809", INT_TYPE, nullptr, "is out of range for an integer"},
      {"1,id=99", INT_TYPE, nullptr, "is not an integer"},
      {"0 OR 1=1", INT_TYPE, nullptr, "is not an integer"},
      {"a", INT_TYPE, nullptr, "is not an integer"},
      {"1.5", INT_TYPE, nullptr, "is not an integer"},
      {"1e3", INT_TYPE, nullptr, "is not an integer"},
      {"0x10", INT_TYPE, nullptr, "is not an integer"},
      {"1 000", INT_TYPE, nullptr, "is not an integer"},
      {"-", INT_TYPE, nullptr, "is not an integer"},
      {"+-1", INT_TYPE, nullptr, "is not an integer"},
      {"4_", INT_TYPE, nullptr, "is not an integer"},
      {"", INT_TYPE, nullptr, "is not an integer"},
      {"0", UINT_TYPE, "0", nullptr},
      {"+5", UINT_TYPE, "5", nullptr},
      {"9223372036854775807", UINT_TYPE, "9223372036854775807", nullptr},
      {"9223372036854775808", UINT_TYPE, nullptr, "is out of range for an unsigned integer"},
      {"-1", UINT_TYPE, nullptr, "is not an unsigned integer"},
      {"-0", UINT_TYPE, nullptr, "is not an unsigned integer"},
      {"1.5", REAL_TYPE, "1.5", nullptr},
      {".5", REAL_TYPE, ".5", nullptr},
      {"5.", REAL_TYPE, "5.", nullptr},
      {"-2461383.160081019", REAL_TYPE, "-2461383.160081019", nullptr},
      {"1e-300", REAL_TYPE, "1e-300", nullptr},
      {"+1.5E+10", REAL_TYPE, "1.5E+10", nullptr},
      {"1e-400", REAL_TYPE, "1e-400", nullptr},  // rounds to 0, as any decimal rounds
      {"1e400", REAL_TYPE, nullptr, "is out of range for a real number"},
      {".", REAL_TYPE, nullptr, "is not a number"},
      {"1e", REAL_TYPE, nullptr, "is not a number"},
      {"e5", REAL_TYPE, nullptr, "is not a number"},
      {"1.2.3", REAL_TYPE, nullptr, "is not a number"},
      {"1,5", REAL_TYPE, nullptr, "is not a number"},
      {"inf", REAL_TYPE, nullptr, "is not a number"},
      {"nan", REAL_TYPE, nullptr, "is not a number"},
      {"12.50", MONEY_TYPE, "12.50", nullptr},
      {"-3", MONEY_TYPE, "-3", nullptr},
      {".5", MONEY_TYPE, ".5", nullptr},
      {"9999999999999.99", MONEY_TYPE, "9999999999999.99", nullptr},
      {"0009999999999999", MONEY_TYPE, "0009999999999999", nullptr},
      {"10000000000000", MONEY_TYPE, nullptr, "is out of range for money"},
      {"1.005", MONEY_TYPE, nullptr, "is not an amount of money (at most two decimals)"},
      {"1e3", MONEY_TYPE, nullptr, "is not an amount of money (at most two decimals)"},
      {"5", CHAR_TYPE, nullptr, "is not of a number type"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\" type " + std::to_string(c.type));
    std::string literal = "untouched";
    const char *fault = ReadNumber(c.text, c.type, &literal);
    if (c.literal) {
      EXPECT_EQ(fault, nullptr) << fault;
      EXPECT_EQ(literal, c.literal);
    } else {
      ASSERT_NE(fault, nullptr);
      EXPECT_STREQ(fault, c.fault);
      EXPECT_EQ(literal, "untouched");
    }
  }
}

// An Info as ReadFieldList makes it: a, b, c and a unique index.
Info *MakeInfo(void) {
  Info *info = static_cast<Info *>(calloc(1, sizeof(Info)));
  info->table = strdup("people");
  info->nfields = 3;
  info->nentries = 4;
  info->pkey = 1;
  info->fields = static_cast<InfoField *>(calloc(4, sizeof(InfoField)));
  const char *names[] = {"a", "b", "c", "people_b"};
  const int types[] = {INT_TYPE, CHAR_TYPE, TEXT_TYPE, IDX_TYPE};
  for (int i = 0; i < 4; i++) {
    info->fields[i].name = strdup(names[i]);
    info->fields[i].table = info->table;
    info->fields[i].type = types[i];
    info->fields[i].length = i == 1 ? 20 : 11;
    info->fields[i].flags = i == 3 ? FLAG_UNIQUE_KEY : 0;
  }
  info->mainform = reinterpret_cast<MainForm *>(0x1234);
  info->res = reinterpret_cast<ResultHandle *>(0x5678);
  return info;
}

TEST(CopyInfo, MakesADeepCopyThatOutlivesTheOriginal) {
  Info *original = MakeInfo();
  Info *copy = CopyInfo(original);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->table, original->table);
  EXPECT_NE(copy->fields, original->fields);
  EXPECT_EQ(copy->res, nullptr);  // the result set belongs to the original's window
  EXPECT_EQ(copy->mainform, original->mainform);
  EXPECT_EQ(copy->nfields, 3);
  EXPECT_EQ(copy->nentries, 4);
  EXPECT_EQ(copy->pkey, 1);
  original->res = nullptr;
  FreeInfo(original);  // the copy must not share anything with it

  EXPECT_STREQ(copy->table, "people");
  const char *names[] = {"a", "b", "c", "people_b"};
  for (int i = 0; i < 4; i++) {
    EXPECT_STREQ(copy->fields[i].name, names[i]);
    EXPECT_EQ(copy->fields[i].table, copy->table);
  }
  EXPECT_EQ(copy->fields[1].length, 20);
  EXPECT_EQ(copy->fields[3].type, IDX_TYPE);
  EXPECT_EQ(copy->fields[3].flags, static_cast<unsigned>(FLAG_UNIQUE_KEY));

  FreeInfo(copy);
  FreeInfo(nullptr);
}

TEST(CopyInfo, CopiesAnInfoWithoutEntries) {
  // A free query's result has an empty table name; a table may have no fields.
  Info empty = {const_cast<char *>(""), 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
  Info *copy = CopyInfo(&empty);
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy->table, "");
  EXPECT_EQ(copy->nentries, 0);
  FreeInfo(copy);
}

}  // namespace
