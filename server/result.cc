// What both engines write alike; see result.h. The packet writer's buffer
// belongs to the connection: pointers into it do not survive the next Flush.
#include "server/result.h"

#include <algorithm>
#include <cstring>

#include "server/server.h"

// Payloads built from the statuses of the protocol.
const char kEndPacket[] = "-100:\n";  // MSQL_STATUS_END: ends a stream
const char kNullColumn[] = "-2:";     // MSQL_STATUS_NULL as a column count

const char kDigitPairs[201] =
    "0001020304050607080910111213141516171819202122232425262728293031323334353637383940414243444546474849"
    "5051525354555657585960616263646566676869707172737475767778798081828384858687888990919293949596979899";

int MeasuredLength(long long longest) {
  return longest <= 0 ? FIELD_LENGTH_DEFAULT : (int)std::min<long long>(longest, FIELD_LENGTH_CAP);
}

FieldDesc IndexEntry(const std::string &table, const std::string &name, size_t columns, bool unique) {
  FieldDesc f;
  f.table = table;
  f.name = name;
  f.type = IDX_TYPE;
  f.length = (int)columns;
  f.unique = unique;
  return f;
}

std::string UniqueIndexName(const std::string &base, const std::vector<std::string> &taken) {
  std::string name = base;
  for (int n = 2; std::find(taken.begin(), taken.end(), name) != taken.end(); n++) {
    name = base + "_" + std::to_string(n);
  }
  return name;
}

void AppendColumn(std::string *packet, const char *value, size_t length) {
  char buf[24];
  char *start = FormatCount(buf + sizeof buf, length);
  packet->append(start, (size_t)(buf + sizeof buf - start));
  packet->append(value, length);
}

void AppendNull(std::string *packet) { packet->append(kNullColumn, 3); }

void WriteColumnBytes(PacketWriter *out, const char *value, size_t length) {
  char buf[24];
  char *start = FormatCount(buf + sizeof buf, length);
  size_t head = (size_t)(buf + sizeof buf - start);
  size_t room = 0;
  unsigned char *space = msqlWriterSpace(out, &room);
  if (head + length > room) {
    msqlWriterAppend(out, start, head);
    msqlWriterAppend(out, value, length);
    return;
  }
  memcpy(space, start, head);
  msqlCopyBytes(space + head, value, length);
  msqlWriterWrote(out, head + length);
}

void WriteFieldRow(Connection *c, const FieldDesc &f, int length) {
  std::string row;
  std::string type_text = std::to_string(f.type), length_text = std::to_string(length);
  AppendColumn(&row, f.table.data(), f.table.size());
  AppendColumn(&row, f.name.data(), f.name.size());
  AppendColumn(&row, type_text.data(), type_text.size());
  AppendColumn(&row, length_text.data(), length_text.size());
  AppendColumn(&row, f.not_null ? "Y" : "N", 1);
  AppendColumn(&row, f.unique ? "Y" : "N", 1);
  WritePacket(c, row);
}

void BeginResult(Connection *c, int columns) { WritePacket(c, "1:" + std::to_string(columns) + "\n"); }

bool EndRow(Connection *c, std::string *failure) {
  PacketWriter *out = &c->out;
  if (!msqlWriterEnd(out)) {
    *failure = "Row of " + std::to_string(out->length) + " bytes does not fit in a packet";
    return false;
  }
  if (out->used >= OUTPUT_FLUSH_SIZE) Flush(c);
  return true;
}

void FinishResult(Connection *c, const std::vector<FieldDesc> &fields, const std::vector<size_t> &longest) {
  WritePacket(c, kEndPacket);
  for (size_t i = 0; i < fields.size(); i++) {
    const FieldDesc &f = fields[i];
    WriteFieldRow(c, f, f.computed ? (int)longest[i] : f.length);
  }
  Reply(c, kEndPacket);
}
