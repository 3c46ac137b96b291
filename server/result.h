// What both engines write alike: the field descriptions of the catalog and of
// a result, the encoding of a row packet's columns, and a result's head and
// tail. An engine fetches rows its own way and hands them to these.
#ifndef KORVID_SERVER_RESULT_H
#define KORVID_SERVER_RESULT_H

#include <cstddef>
#include <string>
#include <vector>

#include "msql/packet.h"
#include "msql/protocol.h"

struct Connection;

// Longest field name sent in a description; a computed column is named by
// its own text, which may be as long as the statement, so longer names are cut.
#define FIELD_NAME_MAX 64

// A column declared without a length (TEXT, BLOB, DATETIME, no type at
// all) reports the length of its longest value, measured in bytes, at most
// FIELD_LENGTH_CAP so that one long value does not make every list line
// that wide; a column without any value reports FIELD_LENGTH_DEFAULT.
#define FIELD_LENGTH_CAP 255
#define FIELD_LENGTH_DEFAULT 32

struct FieldType {
  int type;    // one of the type codes (INT_TYPE, ...)
  int length;  // declared length of char and text, the value's width otherwise
  bool measured = false;  // no length declared: it is measured from the values
};

// One field description row: what the client turns into a FieldListEntry.
struct FieldDesc {
  std::string table;
  std::string name;
  int type = CHAR_TYPE;
  int length = 0;
  bool not_null = false;
  bool unique = false;
  bool computed = false;  // no declared length: length is the longest value sent
};

// The length a field listing gives a measured column whose longest value
// has `longest` bytes (0 or less: it has no value).
int MeasuredLength(long long longest);

// The field-list entry of an index: its shown name, its column count as the
// length. Both engines list a table's indexes after its fields this way.
FieldDesc IndexEntry(const std::string &table, const std::string &name, size_t columns, bool unique);

// A table's index entries are named after what they are: the primary key
// "primary_key", a UNIQUE constraint "unique_" and its fields joined by
// "_", an index by its mSQL name. The name of the next entry: `base`, or
// with "_2", "_3", ... when one of `taken` has it already.
std::string UniqueIndexName(const std::string &base, const std::vector<std::string> &taken);

// Two digits a step: half the divisions.
extern const char kDigitPairs[201];

// Writes n in decimal at the end of buf (which must hold 20 bytes) and
// returns where the digits start. Rows are streamed by the million, so this
// stays clear of the printf machinery.
inline char *FormatDecimal(char *end, unsigned long long n) {
  char *p = end;
  while (n >= 100) {
    const char *pair = kDigitPairs + 2 * (n % 100);
    n /= 100;
    *--p = pair[1];
    *--p = pair[0];
  }
  if (n >= 10) {
    *--p = kDigitPairs[2 * n + 1];
    *--p = kDigitPairs[2 * n];
  } else {
    *--p = (char)('0' + n);
  }
  return p;
}

// Writes the "<length>:" that leads a column at the end of buf (which must
// hold 21 bytes) and returns where it starts. Most columns are shorter than
// 100 bytes.
inline char *FormatCount(char *end, size_t length) {
  *--end = ':';
  if (length < 10) {
    *--end = (char)('0' + length);
    return end;
  }
  if (length < 100) {
    *--end = kDigitPairs[2 * length + 1];
    *--end = kDigitPairs[2 * length];
    return end;
  }
  return FormatDecimal(end, length);
}

extern const char kEndPacket[];
extern const char kNullColumn[];

// Packet encoding, apart from the socket. A row packet holds, per column,
// the byte count, a colon and the bytes; an SQL NULL is "-2:".
void AppendColumn(std::string *packet, const char *value, size_t length);
void AppendNull(std::string *packet);
// The same into the open row packet of a writer, the count formatted in
// place; a column past the buffer or the packet is counted and the packet
// refused when it ends.
void WriteColumnBytes(PacketWriter *out, const char *value, size_t length);

// Queues one row of a field-description stream: table, name, type, length,
// and the Y/N markers of NOT NULL and of a unique key.
void WriteFieldRow(Connection *c, const FieldDesc &f, int length);

// A result's reply: "1:<columns>", the row packets, "-100:", one field
// description per column, "-100:". The head is queued with the first rows,
// so that a short result goes out in one write.
void BeginResult(Connection *c, int columns);
// Ends the open row packet; false with *failure set when it did not fit.
// Writes what is queued once it holds OUTPUT_FLUSH_SIZE bytes.
bool EndRow(Connection *c, std::string *failure);
// The end of the rows and the field descriptions, a computed column's
// length being the longest value it gave; then everything queued is written.
void FinishResult(Connection *c, const std::vector<FieldDesc> &fields, const std::vector<size_t> &longest);

#endif
