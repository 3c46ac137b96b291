// Statements, row streams and result sets.
#include <unistd.h>

#include <regex>

#include "tests/msql/msql_test.h"

namespace {

using QueryTest = MsqlTest;

// Field description packet: table, name, type, length, not-null, unique.
std::string FieldRow(const std::string &table, const std::string &name, int type, int length,
                     const char *notNull = "N", const char *unique = "N") {
  std::string cols[] = {table, name, std::to_string(type), std::to_string(length), notNull, unique};
  std::string out;
  for (const std::string &c : cols) out += std::to_string(c.size()) + ":" + c;
  return out;
}

std::vector<FakeStep> TwoFieldSelect(const std::vector<std::string> &rows) {
  std::vector<FakeStep> steps = {SendPacket("1:2\n")};
  for (const std::string &r : rows) steps.push_back(SendPacket(r));
  steps.push_back(SendPacket("-100:\n"));
  steps.push_back(SendPacket(FieldRow("t", "a", CHAR_TYPE, 10)));
  steps.push_back(SendPacket(FieldRow("t", "b", INT_TYPE, 4)));
  steps.push_back(SendPacket("-100:\n"));
  return steps;
}

std::vector<std::string> Row(char **values, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; i++) out.push_back(values[i] ? values[i] : "(null)");
  return out;
}

TEST_F(QueryTest, WholeExchange) {
  std::vector<FakeStep> steps = {ExpectPacket("3:select * from t\n")};
  for (const FakeStep &s : TwoFieldSelect({"1:x1:5"})) steps.push_back(s);
  int sock = Connect(steps);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_EQ(FieldRow("t", "a", 2, 10), "1:t1:a1:22:101:N1:N");
  ASSERT_EQ(msqlQuery(sock, "select * from t"), 1) << msqlErrMsg;
  ResultHandle *res = msqlStoreResult();
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(msqlNumRows(res), 1);
  EXPECT_EQ(msqlNumFields(res), 2);
  char **row = msqlFetchRow(res);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(Row(row, 2), (std::vector<std::string>{"x", "5"}));
  EXPECT_EQ(msqlFetchRow(res), nullptr);
  FieldListEntry *a = msqlFetchField(res);
  FieldListEntry *b = msqlFetchField(res);
  ASSERT_TRUE(a && b);
  EXPECT_STREQ(a->name, "a");
  EXPECT_STREQ(a->table, "t");
  EXPECT_EQ(a->type, CHAR_TYPE);
  EXPECT_EQ(a->length, 10);
  EXPECT_EQ(a->flags, 0u);
  EXPECT_STREQ(b->name, "b");
  EXPECT_EQ(b->type, INT_TYPE);
  EXPECT_EQ(b->length, 4);
  EXPECT_EQ(b->flags, 0u);
  EXPECT_EQ(msqlFetchField(res), nullptr);
  msqlFreeResult(res);
  EXPECT_EQ(msqlStoreResult(), nullptr);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

// Every byte offset of a whole reply, headers and payloads alike.
TEST_F(QueryTest, ReplyCutAtEveryOffset) {
  std::string reply;
  for (const FakeStep &s : TwoFieldSelect({"1:x1:5", "3:abc-2:"})) reply += s.bytes;
  std::vector<FakeStep> steps;
  for (size_t cut = 1; cut < reply.size(); cut++) {
    steps.push_back(ExpectPacket("3:q\n"));
    steps.push_back(Send(reply, {cut}));
  }
  int sock = Connect(steps);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  for (size_t cut = 1; cut < reply.size(); cut++) {
    ASSERT_EQ(msqlQuery(sock, "q"), 2) << "cut at " << cut << ": " << msqlErrMsg;
    ResultHandle *res = msqlStoreResult();
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(Row(msqlFetchRow(res), 2), (std::vector<std::string>{"x", "5"}));
    EXPECT_EQ(Row(msqlFetchRow(res), 2), (std::vector<std::string>{"abc", "(null)"}));
    EXPECT_EQ(msqlNumFields(res), 2);
    msqlFreeResult(res);
  }
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(QueryTest, StatementWithoutRows) {
  int sock = Connect({ExpectPacket("3:delete from t\n"), SendPacket("1\n"),
                      ExpectPacket("3:update t set a=1\n"), SendPacket("7:0\n")});
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock, "delete from t"), 1);
  EXPECT_EQ(msqlStoreResult(), nullptr);
  EXPECT_EQ(msqlQuery(sock, "update t set a=1"), 7);
  EXPECT_EQ(msqlStoreResult(), nullptr);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(QueryTest, SelectWithoutMatchesStillHasFields) {
  int sock = Connect(Script({{ExpectPacket("3:select * from t\n")}, TwoFieldSelect({})}));
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock, "select * from t"), 0);
  ResultHandle *res = msqlStoreResult();
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(res->numRows, 0);
  EXPECT_EQ(res->queryData, nullptr);
  EXPECT_EQ(msqlFetchRow(res), nullptr);
  EXPECT_EQ(res->numFields, 2);
  msqlFreeResult(res);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(QueryTest, ColumnValues) {
  struct Case {
    std::string packet;
    std::vector<std::string> values;
  } cases[] = {
      {"3:abc-2:0:", {"abc", "(null)", ""}},
      {"5:12:3:1:::", {"12:3:", ":", ""}},
      {"2:-22:990:", {"-2", "99", ""}},
      {"3:a\nb0:1:x trailing bytes", {"a\nb", "", "x"}},
  };
  std::vector<FakeStep> steps;
  for (const Case &c : cases) {
    steps.push_back(ExpectPacket("3:q\n"));
    steps.push_back(SendPacket("1:3\n"));
    steps.push_back(SendPacket(c.packet));
    steps.push_back(SendPacket("-100:\n"));
    for (const char *name : {"a", "b", "c"}) steps.push_back(SendPacket(std::string("1:t1:") + name + "1:21:91:N1:N"));
    steps.push_back(SendPacket("-100:\n"));
  }
  int sock = Connect(steps);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  for (const Case &c : cases) {
    ASSERT_EQ(msqlQuery(sock, "q"), 1) << Escaped(c.packet) << ": " << msqlErrMsg;
    ResultHandle *res = msqlStoreResult();
    ASSERT_NE(res, nullptr);
    char **row = msqlFetchRow(res);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(Row(row, 3), c.values) << Escaped(c.packet);
    msqlFreeResult(res);
  }
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(QueryTest, LengthsTellValuesWithZeroBytes) {
  std::string zero = std::string("3:\0\xff\x10", 5) + "2:ab";
  int sock = Connect(Script({{ExpectPacket("3:q\n")}, TwoFieldSelect({zero, "0:-2:"})}));
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock, "q"), 2) << msqlErrMsg;
  ResultHandle *res = msqlStoreResult();
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(msqlFetchLengths(res), nullptr);  // nothing fetched yet
  char **row = msqlFetchRow(res);
  ASSERT_NE(row, nullptr);
  const int *lengths = msqlFetchLengths(res);
  ASSERT_NE(lengths, nullptr);
  EXPECT_EQ(lengths[0], 3);
  EXPECT_EQ(std::string(row[0], 3), std::string("\0\xff\x10", 3));
  EXPECT_EQ(row[0][3], '\0');
  EXPECT_EQ(lengths[1], 2);
  row = msqlFetchRow(res);
  ASSERT_NE(row, nullptr);
  lengths = msqlFetchLengths(res);
  ASSERT_NE(lengths, nullptr);
  EXPECT_EQ(lengths[0], 0);  // empty
  EXPECT_EQ(row[1], nullptr);
  EXPECT_EQ(lengths[1], 0);  // NULL
  EXPECT_EQ(msqlFetchRow(res), nullptr);
  EXPECT_EQ(msqlFetchLengths(res), nullptr);  // past the end
  msqlDataSeek(res, 0);
  msqlFetchRow(res);
  EXPECT_EQ(msqlFetchLengths(res)[0], 3);
  msqlFreeResult(res);
  EXPECT_EQ(msqlFetchLengths(nullptr), nullptr);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(QueryTest, FieldFlags) {
  struct Case {
    const char *notNull;
    const char *unique;
    unsigned flags;
  } cases[] = {{"N", "N", 0}, {"Y", "N", FLAG_NOT_NULL}, {"N", "Y", FLAG_UNIQUE_KEY},
               {"Y", "Y", FLAG_NOT_NULL | FLAG_UNIQUE_KEY}, {"Yes", "y", FLAG_NOT_NULL},
               {"", "", 0}};
  std::vector<FakeStep> steps = {ExpectPacket("6:t\n")};
  for (const Case &c : cases) steps.push_back(SendPacket(FieldRow("t", "f", 1, 4, c.notNull, c.unique)));
  steps.push_back(SendPacket("-100:\n"));
  int sock = Connect(steps);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ResultHandle *res = msqlListFields(sock, "t");
  ASSERT_NE(res, nullptr) << msqlErrMsg;
  for (const Case &c : cases) {
    FieldListEntry *f = msqlFetchField(res);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->flags, c.flags) << c.notNull << "/" << c.unique;
  }
  msqlFreeResult(res);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(QueryTest, SeekAndFetch) {
  int sock = Connect(Script({{ExpectPacket("3:q\n")},
                             TwoFieldSelect({"1:a1:1", "1:b1:2", "1:c1:3"})}));
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock, "q"), 3);
  ResultHandle *res = msqlStoreResult();
  ASSERT_NE(res, nullptr);
  struct Case {
    int pos;
    const char *next;  // null: none
  } cases[] = {{2, "c"}, {0, "a"}, {1, "b"}, {3, nullptr}, {4, nullptr}, {-1, nullptr}};
  for (const Case &c : cases) {
    msqlDataSeek(res, c.pos);
    char **row = msqlFetchRow(res);
    if (c.next == nullptr) {
      EXPECT_EQ(row, nullptr) << c.pos;
    } else {
      ASSERT_NE(row, nullptr) << c.pos;
      EXPECT_STREQ(row[0], c.next);
    }
  }
  msqlDataSeek(res, 2);
  msqlFetchRow(res);
  EXPECT_EQ(msqlFetchRow(res), nullptr);
  EXPECT_EQ(msqlFetchRow(res), nullptr);
  msqlFieldSeek(res, 1);
  EXPECT_STREQ(msqlFetchField(res)->name, "b");
  msqlFieldSeek(res, 2);
  EXPECT_EQ(msqlFetchField(res), nullptr);
  msqlFieldSeek(res, 0);
  EXPECT_STREQ(msqlFetchField(res)->name, "a");
  msqlFreeResult(res);
  msqlFreeResult(nullptr);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(QueryTest, ErrorInsideStreamLeavesNothingPending) {
  int sock = Connect(Script({
      {ExpectPacket("3:q\n"), SendPacket("1:2\n"), SendPacket("1:a1:1"), SendPacket("1:b1:2"),
       SendPacket("-1:Disk on fire\n")},
      {ExpectPacket("3:r\n")},
      TwoFieldSelect({"1:z1:9"}),
  }));
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock, "q"), -1);
  EXPECT_STREQ(msqlErrMsg, "Disk on fire");
  EXPECT_EQ(msqlStoreResult(), nullptr);
  EXPECT_TRUE(IsOpen(sock));
  ASSERT_EQ(msqlQuery(sock, "r"), 1) << msqlErrMsg;
  ResultHandle *res = msqlStoreResult();
  ASSERT_NE(res, nullptr);
  EXPECT_STREQ(msqlFetchRow(res)[0], "z");
  msqlFreeResult(res);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

TEST_F(QueryTest, UnstoredRowsStayPendingAcrossStatementsWithoutRows) {
  int sock = Connect(Script({{ExpectPacket("3:q\n")}, TwoFieldSelect({"1:a1:1"}),
                             {ExpectPacket("3:d\n"), SendPacket("1\n")}}));
  ASSERT_GE(sock, 0) << msqlErrMsg;
  EXPECT_EQ(msqlQuery(sock, "q"), 1);
  EXPECT_EQ(msqlQuery(sock, "d"), 1);
  ResultHandle *res = msqlStoreResult();
  ASSERT_NE(res, nullptr);
  EXPECT_STREQ(msqlFetchRow(res)[0], "a");
  msqlFreeResult(res);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

// Malformed row packets fail the stream with "Bad packet received from
// server", release what was gathered, and never read past the payload.
TEST_F(QueryTest, MalformedRowsAreRefused) {
  struct Case {
    std::string packet;
    bool fieldRow;  // sent in the field description stream
    bool ends;      // the stream is still ended properly after it
  } cases[] = {
      {"1:x", false, false},             // one column of two
      {"1:x5:ab", false, false},         // count runs past the payload
      {"1:x9999999999:ab", false, false},
      {"1:x-3:", false, false},          // negative count other than NULL
      {"1:x1", false, false},            // no colon for the second column
      {"", false, false},                // nothing at all (a zero-length packet)
      {"1:t1:a-2:2:101:N1:N", true, true},  // NULL type in a field description
      {"1:t1:a1:2", true, false},           // field description cut short
  };
  for (const Case &c : cases) {
    msqlResetForTests();
    FakeServer one;
    std::vector<FakeStep> steps = Handshake();
    steps.push_back(ExpectPacket("3:q\n"));
    steps.push_back(SendPacket("1:2\n"));
    steps.push_back(SendPacket("1:a1:1"));
    if (c.fieldRow) {
      steps.push_back(SendPacket("-100:\n"));
      steps.push_back(SendPacket(FieldRow("t", "a", 2, 1)));
    }
    steps.push_back(SendPacket(c.packet));
    if (c.ends) steps.push_back(SendPacket("-100:\n"));
    ASSERT_TRUE(one.Start(steps));
    one.Use();
    int sock = msqlConnect(nullptr);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "q"), -1) << Escaped(c.packet);
    if (!c.packet.empty()) {
      EXPECT_STREQ(msqlErrMsg, "Bad packet received from server") << Escaped(c.packet);
    }
    ResultHandle *res = msqlStoreResult();
    if (c.fieldRow) {
      // The rows of the query stay pending without their field rows.
      ASSERT_NE(res, nullptr);
      EXPECT_EQ(res->numRows, 1);
      EXPECT_EQ(res->numFields, 0);
      msqlFreeResult(res);
    } else {
      EXPECT_EQ(res, nullptr) << Escaped(c.packet);
    }
    // A stream that went wrong midway cannot be trusted any further.
    EXPECT_EQ(IsOpen(sock), c.ends) << Escaped(c.packet);
    EXPECT_EQ(one.Finish(), "");
    if (IsOpen(sock)) close(sock);
  }
}

// A field count that no row packet could satisfy is refused before anything
// is allocated for it (found by fuzzing: the count once sized a 3 GB row).
TEST_F(QueryTest, ImpossibleFieldCountIsRefused) {
  struct Case {
    std::string reply;
    int result;
  } cases[] = {
      {"1:65537\n", -1},
      {"-484441:444444844\n", -1},
      {"1:2147483647\n", -1},
  };
  for (const Case &c : cases) {
    msqlResetForTests();
    FakeServer one;
    std::vector<FakeStep> steps = Handshake();
    steps.push_back(ExpectPacket("3:q\n"));
    steps.push_back(SendPacket(c.reply));
    ASSERT_TRUE(one.Start(steps));
    one.Use();
    int sock = msqlConnect(nullptr);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "q"), c.result) << c.reply;
    EXPECT_STREQ(msqlErrMsg, "Bad packet received from server");
    EXPECT_FALSE(IsOpen(sock));
    EXPECT_EQ(one.Finish(), "");
  }
}

// The widest row a packet can hold still reads.
TEST_F(QueryTest, WidestRowFitsInOnePacket) {
  std::string row;
  for (int i = 0; i < MSQL_MAX_COLUMNS; i++) row += "0:";
  ASSERT_EQ(row.size(), static_cast<size_t>(MAX_PACKET));
  // One description per column, sent as one write: a step per packet would
  // make the byte-by-byte runs crawl.
  std::string fields;
  for (int i = 0; i < MSQL_MAX_COLUMNS; i++) fields += Packet("1:t1:f1:21:91:N1:N");
  int sock = Connect({ExpectPacket("3:q\n"), SendPacket("1:" + std::to_string(MSQL_MAX_COLUMNS) + "\n"),
                      SendPacket(row), SendPacket("-100:\n"), Send(fields), SendPacket("-100:\n")});
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock, "q"), 1) << msqlErrMsg;
  ResultHandle *res = msqlStoreResult();
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(res->queryData->columnCount, MSQL_MAX_COLUMNS);
  EXPECT_STREQ(msqlFetchRow(res)[MSQL_MAX_COLUMNS - 1], "");
  msqlFreeResult(res);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

// Rows of many sizes, NULLs among them, enough to fill several of the
// blocks that rows are carved from: every value and byte count stays where
// it was put, rows four at a time having the same counts, and seeking
// reaches every row.
std::string ManyRowsText(int i) {
  return std::string(static_cast<size_t>(i / 4 % 97), static_cast<char>('a' + i % 26));
}

std::vector<std::string> ManyRows(int count) {
  std::vector<std::string> rows;
  for (int i = 0; i < count; i++) {
    std::string text = ManyRowsText(i);
    std::string number = std::to_string(i);
    std::string second = i % 7 == 3 ? "-2:" : std::to_string(text.size()) + ":" + text;
    rows.push_back(std::to_string(number.size()) + ":" + number + second);
  }
  return rows;
}

TEST_F(QueryTest, RowsAcrossManyBlocks) {
  const int count = 5000;
  std::string reply;
  for (const FakeStep &s : TwoFieldSelect(ManyRows(count))) reply += s.bytes;
  int sock = Connect({ExpectPacket("3:q\n"), Send(reply)});
  ASSERT_GE(sock, 0) << msqlErrMsg;
  ASSERT_EQ(msqlQuery(sock, "q"), count) << msqlErrMsg;
  ResultHandle *res = msqlStoreResult();
  ASSERT_NE(res, nullptr);
  int seen = 0;
  for (const QueryDataRow *row = res->queryData; row; row = row->next, seen++) {
    ASSERT_EQ(row->columnCount, 2);
    EXPECT_EQ(row->values[0], std::to_string(seen));
    ASSERT_NE(row->lengths, nullptr);
    EXPECT_EQ(row->lengths[0], static_cast<int>(std::to_string(seen).size())) << seen;
    if (seen % 7 == 3) {
      EXPECT_EQ(row->values[1], nullptr) << seen;
      EXPECT_EQ(row->lengths[1], 0) << seen;
    } else {
      ASSERT_NE(row->values[1], nullptr) << seen;
      EXPECT_EQ(row->values[1], ManyRowsText(seen));
      EXPECT_EQ(row->lengths[1], static_cast<int>(ManyRowsText(seen).size())) << seen;
    }
  }
  EXPECT_EQ(seen, count);
  for (int pos : {count - 1, 0, 2500, 4096}) {
    msqlDataSeek(res, pos);
    char **row = msqlFetchRow(res);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row[0], std::to_string(pos));
  }
  msqlFreeResult(res);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

// Each allocation of a query whose rows fill several blocks fails in turn:
// the query fails with "Out of memory" and the connection closed (the
// stream's rest is unread), no row is left half made, and nothing leaks.
TEST_F(QueryTest, OutOfMemoryAtEveryBlock) {
  std::string reply;
  for (const FakeStep &s : TwoFieldSelect(ManyRows(2000))) reply += s.bytes;
  long needed = 0;
  for (long n = 0; n == 0 || n <= needed; n++) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    msqlResetForTests();
    FakeServer one;
    std::vector<FakeStep> steps = Handshake();
    steps.push_back(ExpectPacket("3:q\n"));
    steps.push_back(Send(reply));
    ASSERT_TRUE(one.Start(steps));
    one.Use();
    int sock = msqlConnect(nullptr);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    msqlAllocFailForTests(n, false);
    int got = msqlQuery(sock, "q");
    ResultHandle *res = msqlStoreResult();
    if (n == 0) {
      needed = msqlAllocCountForTests();
      ASSERT_GT(needed, 8);  // several blocks, or this tests nothing
      EXPECT_EQ(got, 2000);
      ASSERT_NE(res, nullptr);
      EXPECT_EQ(res->numRows, 2000);
    } else if (got == -1) {
      EXPECT_STREQ(msqlErrMsg, "Out of memory");
      EXPECT_FALSE(IsOpen(sock));
      // Only rows that came whole stay pending, without their field rows.
      if (res != nullptr) {
        EXPECT_EQ(res->numRows, 2000);
        EXPECT_EQ(res->numFields, 0);
      }
    } else {
      // The handle's own allocation: the rows stay pending for another try.
      EXPECT_EQ(got, 2000);
      EXPECT_EQ(res, nullptr);
      res = msqlStoreResult();
      ASSERT_NE(res, nullptr);
      EXPECT_EQ(res->numRows, 2000);
    }
    msqlFreeResult(res);
    one.Finish();
    if (IsOpen(sock)) close(sock);
  }
}

// A count whose digits run to the end of the payload is not completed by
// the bytes that follow it in the read-ahead buffer: here the header of a
// good row of 58 bytes, whose first byte is a colon.
TEST_F(QueryTest, CountAtTheEndOfThePayloadStaysInside) {
  std::string good = "1:a52:" + std::string(52, 'y');
  std::string next = Packet(good);
  ASSERT_EQ(next[0], ':');
  for (const char *row : {"1:x1", "1:x-2", "1:x12"}) {
    msqlResetForTests();
    FakeServer one;
    std::vector<FakeStep> steps = Handshake();
    steps.push_back(ExpectPacket("3:q\n"));
    std::string reply;
    for (const FakeStep &s : TwoFieldSelect({row, good})) reply += s.bytes;
    steps.push_back(Send(reply));
    ASSERT_TRUE(one.Start(steps));
    one.Use();
    int sock = msqlConnect(nullptr);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    EXPECT_EQ(msqlQuery(sock, "q"), -1) << row;
    EXPECT_STREQ(msqlErrMsg, "Bad packet received from server") << row;
    EXPECT_EQ(msqlStoreResult(), nullptr);
    one.Finish();
    if (IsOpen(sock)) close(sock);
  }
}

TEST_F(QueryTest, MallocTraceNamesEveryRecord) {
  int sock = Connect(Script({{ExpectPacket("3:q\n")}, TwoFieldSelect({"1:a1:1", "1:b-2:"})}));
  ASSERT_GE(sock, 0) << msqlErrMsg;
  msqlDebugLevels = MSQL_DEBUG_MALLOC;
  Capture err;
  err.Start(2);
  ASSERT_EQ(msqlQuery(sock, "q"), 2);
  ResultHandle *res = msqlStoreResult();
  msqlFreeResult(res);
  std::string trace = err.Stop();
  std::regex line("\\[libmsql\\] (Query data row - malloc @ ([0-9A-F]+) of \\d+|"
                  "Result Handle - malloc @ ([0-9A-F]+) of \\d+|"
                  "Field List Entry - malloc @ ([0-9A-F]+) of \\d+|"
                  "Query data row - free @ ([0-9A-F]+)|Field List Entry- free @ ([0-9A-F]+)|"
                  "Result Handle - Free @ ([0-9A-F]+))\n");
  std::vector<std::string> rowsMade, rowsFreed, fieldsMade, fieldsFreed, handles;
  for (std::sregex_iterator it(trace.begin(), trace.end(), line), end; it != end; ++it) {
    const std::smatch &m = *it;
    if (m[2].matched) rowsMade.push_back(m[2]);
    if (m[3].matched) handles.push_back(m[3]);
    if (m[4].matched) fieldsMade.push_back(m[4]);
    if (m[5].matched) rowsFreed.push_back(m[5]);
    if (m[6].matched) fieldsFreed.push_back(m[6]);
    if (m[7].matched) handles.push_back(m[7]);
  }
  // Two data rows and two raw field rows are made; the raw field rows are
  // freed when the result is stored, the data rows with the result.
  EXPECT_EQ(rowsMade.size(), 4u) << trace;
  EXPECT_EQ(rowsFreed.size(), 4u) << trace;
  EXPECT_EQ(std::vector<std::string>(rowsMade.begin(), rowsMade.begin() + 2),
            std::vector<std::string>(rowsFreed.end() - 2, rowsFreed.end()));
  EXPECT_EQ(fieldsMade, fieldsFreed);
  EXPECT_EQ(fieldsMade.size(), 2u);
  ASSERT_EQ(handles.size(), 2u);
  EXPECT_EQ(handles[0], handles[1]);
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

}  // namespace

// A count reads the same exchange as the query it stands for, byte for
// byte, and ends the same way: the same number or failure, the same reason,
// the connection open or closed alike. It leaves no rows of its own
// pending, and the rows of an earlier query are given up where a query gives
// them up.
TEST_F(QueryTest, CountAnswersAsTheQueryWould) {
  struct Case {
    const char *name;
    std::vector<FakeStep> reply;  // after the request "3:q\n"
  } cases[] = {
      {"rows", TwoFieldSelect({"1:x1:5", "3:abc-2:", "0:0:"})},
      {"no rows", TwoFieldSelect({})},
      {"rows read by the general reading", TwoFieldSelect({"01:x+1:5", " 1:x1::"})},
      {"statement without rows", {SendPacket("7:0\n")}},
      {"refused statement", {SendPacket("-1:No such table\n")}},
      {"error inside the stream", {SendPacket("1:2\n"), SendPacket("1:a1:1"), SendPacket("-1:Disk on fire\n")}},
      {"row cut short", {SendPacket("1:2\n"), SendPacket("1:a1:1"), SendPacket("1:x")}},
      {"count past the payload", {SendPacket("1:2\n"), SendPacket("1:x5:ab")}},
      {"negative count", {SendPacket("1:2\n"), SendPacket("1:x-3:")}},
      {"empty row packet", {SendPacket("1:2\n"), SendPacket("")}},
      {"connection lost in the rows", {SendPacket("1:2\n"), SendPacket("1:a1:1"), CloseNow()}},
      {"connection lost in a header", {SendPacket("1:2\n"), Send(Header(10).substr(0, 2)), CloseNow()}},
      {"connection lost in the descriptions",
       {SendPacket("1:2\n"), SendPacket("1:a1:1"), SendPacket("-100:\n"), CloseNow()}},
      {"NULL in a description",
       {SendPacket("1:2\n"), SendPacket("1:a1:1"), SendPacket("-100:\n"), SendPacket("1:t1:a-2:2:101:N1:N"),
        SendPacket("-100:\n")}},
      {"one description short",
       {SendPacket("1:2\n"), SendPacket("1:a1:1"), SendPacket("-100:\n"), SendPacket(FieldRow("t", "a", 2, 1)),
        SendPacket("-100:\n")}},
      {"impossible field count", {SendPacket("1:65537\n")}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    struct Outcome {
      int result;
      std::string error;
      bool open;
      std::string pending;  // the first value of the result left pending
      std::string received;
    } outcomes[2];
    for (int counting = 0; counting < 2; counting++) {
      msqlResetForTests();
      FakeServer one;
      // An earlier query's rows wait, and a later statement finds the
      // connection where the reply left it.
      std::vector<FakeStep> steps = Script({Handshake(), {ExpectPacket("3:p\n")}, TwoFieldSelect({"1:p1:1"}),
                                            {ExpectPacket("3:q\n")}, c.reply});
      ASSERT_TRUE(one.Start(steps));
      one.Use();
      int sock = msqlConnect(nullptr);
      ASSERT_GE(sock, 0) << msqlErrMsg;
      ASSERT_EQ(msqlQuery(sock, "p"), 1);
      Outcome &o = outcomes[counting];
      o.result = counting ? msqlCountRows(sock, "q") : msqlQuery(sock, "q");
      o.error = msqlErrMsg;
      o.open = IsOpen(sock);
      ResultHandle *res = msqlStoreResult();
      char **first = res != nullptr ? msqlFetchRow(res) : nullptr;
      o.pending = first == nullptr ? "none" : first[0];
      msqlFreeResult(res);
      EXPECT_EQ(one.Finish(), "");
      o.received = one.Received();
      if (o.open) close(sock);
    }
    const Outcome &query = outcomes[0], &count = outcomes[1];
    EXPECT_EQ(count.result, query.result);
    EXPECT_EQ(count.error, query.error);
    EXPECT_EQ(count.open, query.open);
    EXPECT_EQ(count.received, query.received);
    // The earlier rows are given up exactly where the query gives them up,
    // and the count's own rows are never left.
    EXPECT_EQ(count.pending, query.pending == "p" ? "p" : "none") << query.pending;
  }
}

// Counting keeps no row: it asks for as many allocations for a long stream
// as for a short one, and it fails, sending nothing, when the one it needs
// is refused.
TEST_F(QueryTest, CountHoldsNoRows) {
  const int counts[] = {3, 20000};
  long allocations[2] = {0, 0};
  std::vector<FakeStep> steps;
  for (int count : counts) {
    std::string reply;
    for (const FakeStep &s : TwoFieldSelect(ManyRows(count))) reply += s.bytes;
    steps.push_back(ExpectPacket("3:q\n"));
    steps.push_back(Send(reply));
  }
  int sock = Connect(steps);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  for (int i = 0; i < 2; i++) {
    msqlAllocFailForTests(0, false);
    EXPECT_EQ(msqlCountRows(sock, "q"), counts[i]) << msqlErrMsg;
    allocations[i] = msqlAllocCountForTests();
  }
  EXPECT_EQ(allocations[1], allocations[0]);
  // Its room is asked for before anything is sent.
  msqlAllocFailForTests(1, false);
  EXPECT_EQ(msqlCountRows(sock, "q"), -1);
  msqlAllocFailForTests(0, false);
  EXPECT_STREQ(msqlErrMsg, "Out of memory");
  EXPECT_TRUE(IsOpen(sock));
  EXPECT_EQ(server.Finish(), "");
}

// The watcher of a query sees each row once, in order, while they arrive
// (the server pauses midway) and once more at their end; a stop or a
// ceiling keeps the rows so far, drops the rest as it arrives, and leaves
// the connection in order for the next statement.
TEST_F(QueryTest, WatchedRowsCanBeStoppedAndCut) {
  const int total = 4096;  // the pause falls right after a check of the clock (every 64 rows)
  struct Case {
    const char *name;
    bool stopAtFirstCall;
    int ceiling;
  } cases[] = {{"watched to the end", false, 0}, {"stopped", true, 0}, {"cut at a ceiling", false, 100}};
  std::vector<std::string> rows = ManyRows(total);
  std::string reply;
  for (const FakeStep &s : TwoFieldSelect(rows)) reply += s.bytes;
  // Half the rows, a pause longer than the watcher waits, the rest.
  size_t half = TwoFieldSelect(rows)[0].bytes.size();
  for (int i = 0; i < total / 2; i++) half += Packet(rows[i]).size();
  std::vector<FakeStep> steps;
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
    steps.push_back(ExpectPacket("3:q\n"));
    steps.push_back(Send(reply.substr(0, half)));
    steps.push_back(Pause(150));
    steps.push_back(Send(reply.substr(half)));
    steps.push_back(ExpectPacket("3:r\n"));
    for (const FakeStep &s : TwoFieldSelect({"1:z1:9"})) steps.push_back(s);
  }
  int sock = Connect(steps);
  ASSERT_GE(sock, 0) << msqlErrMsg;
  struct Seen {
    bool stop;
    int calls = 0;
    int rows = 0;
    int keptAtFirstCall = -1;
    bool firstCallSilent = false;
    bool inOrder = true;
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Seen seen;
    seen.stop = c.stopAtFirstCall;
    msqlWatchRows(
        [](const RowWatch *watch, void *data) {
          Seen *seen = static_cast<Seen *>(data);
          seen->calls++;
          // The stop comes at the first call that brings rows.
          if (watch->count == 0 && seen->keptAtFirstCall < 0) return WATCH_GO_ON;
          if (seen->keptAtFirstCall < 0) {
            seen->keptAtFirstCall = watch->kept;
            seen->firstCallSilent = watch->silent > 0;
          }
          const QueryDataRow *row = watch->rows;
          for (int i = 0; i < watch->count; i++, row = row->next) {
            if (row == nullptr || row->values[0] != std::to_string(seen->rows)) seen->inOrder = false;
            seen->rows++;
          }
          if (seen->rows != watch->kept) seen->inOrder = false;
          return seen->stop ? WATCH_STOP : WATCH_GO_ON;
        },
        &seen, c.ceiling);
    int kept = msqlQuery(sock, "q");
    msqlWatchRows(nullptr, nullptr, 0);
    int expected = c.ceiling > 0 ? c.ceiling : c.stopAtFirstCall ? seen.keptAtFirstCall : total;
    EXPECT_EQ(kept, expected) << msqlErrMsg;
    EXPECT_EQ(msqlRowsDropped(), total - expected);
    EXPECT_EQ(seen.rows, expected);
    EXPECT_TRUE(seen.inOrder);
    // Called during the pause, not only at the end.
    EXPECT_GE(seen.calls, 2);
    if (c.stopAtFirstCall && !seen.firstCallSilent) {
      // At the first check of the clock, after the first 64 rows (unless
      // the server fell silent before them on a loaded machine).
      EXPECT_EQ(seen.keptAtFirstCall, 64);
    }
    ResultHandle *res = msqlStoreResult();
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(msqlNumRows(res), expected);
    EXPECT_EQ(msqlNumFields(res), 2);
    msqlFreeResult(res);
    ASSERT_EQ(msqlQuery(sock, "r"), 1) << msqlErrMsg;
    EXPECT_EQ(msqlRowsDropped(), 0);
    res = msqlStoreResult();
    ASSERT_NE(res, nullptr);
    EXPECT_STREQ(msqlFetchRow(res)[0], "z");
    msqlFreeResult(res);
  }
  EXPECT_EQ(server.Finish(), "");
  close(sock);
}

// While the server is silent, a watched query hands control back to its
// watcher every 40 ms or so, with the rows read meanwhile and how long the
// silence has lasted, before the status as well as among the rows. The
// watcher may wait on, stop the keeping, or give the reply up: the
// connection is closed then and the rows read stay for msqlStoreResult.
// Without a watcher the query waits as long as it takes.
TEST_F(QueryTest, SilentServerHandsControlBack) {
  struct Case {
    const char *name;
    bool watched;
    int before;   // rows sent before the silence; -1: not even the status
    int answer;   // the watcher's, once the silence has lasted 100 ms
    bool resumes;  // the server sends the rest after its silence
    int result;
    int kept;
    int fields;
  } cases[] = {
      {"waited on", true, 10, WATCH_GO_ON, true, 20, 20, 2},
      {"stopped while silent", true, 10, WATCH_STOP, true, 10, 10, 2},
      {"given up among the rows", true, 10, WATCH_CLOSE, false, -1, 10, 0},
      {"given up before the status", true, -1, WATCH_CLOSE, false, -1, 0, 0},
      {"not watched", false, 10, WATCH_GO_ON, true, 20, 20, 2},
  };
  std::vector<FakeStep> reply = TwoFieldSelect(ManyRows(20));
  std::vector<FakeStep> steps;
  for (const Case &c : cases) {
    if (!steps.empty()) {
      steps.push_back(AcceptNext());
      for (const FakeStep &s : Handshake()) steps.push_back(s);
    }
    steps.push_back(ExpectPacket("3:q\n"));
    // The status and `before` rows, a silence, and the rest or nothing.
    size_t split = c.before < 0 ? 0 : static_cast<size_t>(1 + c.before);
    std::string head, rest;
    for (size_t i = 0; i < reply.size(); i++) (i < split ? head : rest) += reply[i].bytes;
    if (!head.empty()) steps.push_back(Send(head));
    if (c.resumes) {
      steps.push_back(Pause(600));
      steps.push_back(Send(rest));
      steps.push_back(ExpectPacket("3:r\n"));
      for (const FakeStep &s : TwoFieldSelect({"1:z1:9"})) steps.push_back(s);
    } else {
      steps.push_back(ExpectEof());
    }
  }
  std::vector<FakeStep> all = Handshake();
  all.insert(all.end(), steps.begin(), steps.end());
  ASSERT_TRUE(server.Start(all));
  server.Use();
  struct Seen {
    int answer;
    int silentCalls = 0;
    int rowsWhileSilent = 0;
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int sock = msqlConnect(nullptr);
    ASSERT_GE(sock, 0) << msqlErrMsg;
    Seen seen;
    seen.answer = c.answer;
    if (c.watched) {
      msqlWatchRows(
          [](const RowWatch *watch, void *data) {
            Seen *seen = static_cast<Seen *>(data);
            if (watch->silent == 0) return WATCH_GO_ON;
            seen->silentCalls++;
            seen->rowsWhileSilent += watch->count;
            return watch->silent >= 100 ? seen->answer : WATCH_GO_ON;
          },
          &seen, 0);
    }
    EXPECT_EQ(msqlQuery(sock, "q"), c.result) << msqlErrMsg;
    msqlWatchRows(nullptr, nullptr, 0);
    EXPECT_EQ(msqlReplyGivenUp(), c.answer == WATCH_CLOSE ? 1 : 0);
    if (c.watched) {
      EXPECT_GE(seen.silentCalls, 2);
      // The rows that came before the silence are shown during it.
      EXPECT_EQ(seen.rowsWhileSilent, std::max(c.before, 0));
    }
    ResultHandle *res = msqlStoreResult();
    EXPECT_EQ(msqlNumRows(res), c.kept);
    EXPECT_EQ(msqlNumFields(res), c.fields);
    if (c.kept > 0) {
      EXPECT_STREQ(msqlFetchRow(res)[0], "0");
    }
    msqlFreeResult(res);
    if (c.resumes) {
      EXPECT_EQ(msqlRowsDropped(), 20 - c.kept);
      // The connection is in order for the next statement.
      EXPECT_EQ(msqlQuery(sock, "r"), 1) << msqlErrMsg;
      res = msqlStoreResult();
      ASSERT_NE(res, nullptr);
      EXPECT_STREQ(msqlFetchRow(res)[0], "z");
      msqlFreeResult(res);
      close(sock);
    } else {
      EXPECT_STREQ(msqlErrMsg, "Reply given up: the connection was closed");
      EXPECT_FALSE(IsOpen(sock));
    }
  }
  EXPECT_EQ(server.Finish(), "");
}
