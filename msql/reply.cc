// The reply grammar of protocol 23 apart from any socket. A reader is fed
// one packet at a time, as the packet reader is fed bytes, and answers
// whether the reply goes on, is done, or cannot be read: a query's reply is
// a status, then (when it announces columns) a stream of rows ended by
// -100 and a stream of six-column field descriptions ended by -100; the
// catalog lists are one stream of rows. The socket code reads packets and
// feeds them; the fuzz targets feed any bytes straight in.
#include <cstring>

#include "msql/msql_internal.h"

namespace {

inline bool StartsWithDigit(const char *payload) {
  return static_cast<unsigned>(static_cast<unsigned char>(payload[0]) - '0') < 10;
}

// The payload followed by a zero, in packetBuffer, for the readers of texts.
const char *AsText(const char *payload, size_t length) {
  if (payload != packetBuffer) memcpy(packetBuffer, payload, length);
  packetBuffer[length] = '\0';
  return packetBuffer;
}

// A field description row must hold six texts; NULL in any is malformed.
bool ValidFieldRows(const QueryDataRow *rows) {
  for (const QueryDataRow *row = rows; row; row = row->next) {
    if (row->columnCount != 6) return false;
    for (int i = 0; i < 6; i++) {
      if (row->values[i] == nullptr) return false;
    }
  }
  return true;
}

enum QueryStage { kStatus, kRows, kFields };

}  // namespace

void msqlRowReaderInit(RowReader *r, RowList *rows, int columns) {
  initRowList(rows);
  r->rows = rows;
  r->columns = columns;
  r->refused = false;
  // Only a refused allocation ends a stream with more of them counted.
  r->failures = msqlAllocFailures();
}

ReplyAnswer msqlRowReaderFeed(RowReader *r, const char *payload, size_t length) {
  if (length == 0) {
    freeRowList(r->rows);
    msqlSetError(MSQL_ERR_BAD_PACKET);
    return REPLY_MALFORMED;
  }
  // A row's first count is its status: one that starts with a digit is no
  // end and no error. Any other is read as a whole text.
  if (!StartsWithDigit(payload)) {
    payload = AsText(payload, length);
    int status = msqlReadNumber(payload, nullptr);
    if (status == MSQL_STATUS_END) return REPLY_DONE;
    if (status == MSQL_STATUS_ERROR) {
      freeRowList(r->rows);
      msqlTakeServerMessage(payload);
      r->refused = true;
      return REPLY_DONE;
    }
  }
  if (msqlParseRow(r->rows, payload, length, r->columns)) return REPLY_MORE;
  // Out of memory is said as such, not blamed on the server.
  freeRowList(r->rows);
  if (msqlAllocFailures() == r->failures) msqlSetError(MSQL_ERR_BAD_PACKET);
  return REPLY_MALFORMED;
}

void msqlRowReaderDrop(RowReader *r) { freeRowList(r->rows); }

void msqlQueryReplyInit(QueryReply *q, RowList *rows, RowList *fieldRows) {
  q->stage = kStatus;
  q->result = -1;
  q->columns = 0;
  q->rows = rows;
  q->fieldRows = fieldRows;
}

ReplyAnswer msqlQueryReplyFeed(QueryReply *q, const char *payload, size_t length) {
  if (q->stage == kStatus) {
    if (length == 0) {
      msqlSetError(MSQL_ERR_BAD_PACKET);
      return REPLY_MALFORMED;
    }
    const char *text = AsText(payload, length);
    int status = msqlReadNumber(text, nullptr);
    if (status == MSQL_STATUS_ERROR) {
      msqlTakeServerMessage(text);
      return REPLY_DONE;
    }
    q->result = status;
    const char *colon = strchr(text, ':');
    if (colon == nullptr) return REPLY_DONE;
    int fields = msqlReadNumber(colon + 1, nullptr);
    if (fields < 1) return REPLY_DONE;
    q->result = -1;
    if (fields > MSQL_MAX_COLUMNS) {
      // No row could hold that many columns; what follows cannot be read.
      msqlSetError(MSQL_ERR_BAD_PACKET);
      return REPLY_MALFORMED;
    }
    // The rows of an earlier statement go once this one brings its own.
    freeRowList(q->rows);
    freeRowList(q->fieldRows);
    q->columns = fields;
    q->stage = kRows;
    msqlRowReaderInit(&q->stream, q->rows, fields);
    return REPLY_MORE;
  }
  ReplyAnswer answer = msqlRowReaderFeed(&q->stream, payload, length);
  if (answer != REPLY_DONE || q->stream.refused) return answer;
  if (q->stage == kRows) {
    q->stage = kFields;
    msqlRowReaderInit(&q->stream, q->fieldRows, 6);
    return REPLY_MORE;
  }
  // The stream was read whole: the connection stays usable.
  if (!ValidFieldRows(q->fieldRows->head)) {
    freeRowList(q->fieldRows);
    msqlSetError(MSQL_ERR_BAD_PACKET);
    return REPLY_DONE;
  }
  // Every reader sizes a row by its field descriptions: one description more
  // or less than the announced columns would make them read past each row.
  // A server that says two different things cannot be trusted further.
  if (q->fieldRows->count != q->columns) {
    freeRowList(q->fieldRows);
    freeRowList(q->rows);
    msqlSetError(MSQL_ERR_BAD_PACKET);
    return REPLY_MALFORMED;
  }
  q->result = q->rows->count;
  return REPLY_DONE;
}

void msqlQueryReplyDrop(QueryReply *q) {
  if (q->stage != kStatus) msqlRowReaderDrop(&q->stream);
  q->result = -1;
}

bool buildFieldList(QueryDataRow *rows, FieldListEntry **fields) {
  *fields = nullptr;
  if (!ValidFieldRows(rows)) return false;
  FieldListEntry **tail = fields;
  for (QueryDataRow *row = rows; row; row = row->next) {
    FieldListEntry *entry = msqlNewFieldEntry();
    if (entry == nullptr) {
      freeFieldList(*fields);
      *fields = nullptr;
      return false;
    }
    *tail = entry;
    tail = &entry->next;
    entry->table = msqlStrdup(row->values[0]);
    entry->name = msqlStrdup(row->values[1]);
    if (entry->table == nullptr || entry->name == nullptr) {
      freeFieldList(*fields);
      *fields = nullptr;
      return false;
    }
    entry->type = msqlReadNumber(row->values[2], nullptr);
    entry->length = msqlReadNumber(row->values[3], nullptr);
    entry->flags = (row->values[4][0] == 'Y' ? FLAG_NOT_NULL : 0) |
                   (row->values[5][0] == 'Y' ? FLAG_UNIQUE_KEY : 0);
  }
  return true;
}
