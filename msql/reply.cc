// The reply grammar of protocol 23 apart from any socket. A reader is fed
// one packet at a time, as the packet reader is fed bytes, and answers
// whether the reply goes on, is done, or cannot be read: a query's reply is
// a status, then (when it announces columns) a stream of rows ended by
// -100 and a stream of six-column field descriptions ended by -100; the
// catalog lists are one stream of rows. The socket code reads packets and
// feeds them; the fuzz targets feed any bytes straight in.

#include <climits>
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

// The watcher of msqlWatchRows and what the last query dropped.
msqlRowWatcher rowWatcher = nullptr;
void *rowWatcherData = nullptr;
int rowCeiling = 0;
int rowsDropped = 0;

// How often the watcher is called: the clock is read every so many rows,
// and the watcher called once this long has passed since its last call
// (at the first reading, at once, so that the first rows show soon).
const int kWatchEvery = 64;
const long kWatchNanos = MSQL_WATCH_MILLIS * 1000L * 1000L;

// Shows the watcher the rows read since its last call (none when r is
// null: the rows have not begun, or are all read) and returns its answer.
int CallWatcher(RowReader *r, int kept, int columns, int silent) {
  RowWatch watch = {nullptr, 0, kept, rowsDropped, columns, silent};
  if (r != nullptr) {
    const RowList *rows = r->rows;
    watch.rows = r->shown != nullptr ? r->shown->next : rows->head;
    for (const QueryDataRow *row = watch.rows; row; row = row->next) watch.count++;
    if (watch.count == 0) watch.rows = nullptr;
    if (rows->last != nullptr) r->shown = rows->last;
    r->lastCall = msqlNanosNow();
  }
  return rowWatcher(&watch, rowWatcherData);
}

// What the reader does with the watcher's answer; false when it gave the
// reply up.
bool TakeAnswer(RowReader *r, int answer) {
  if (answer == WATCH_STOP) r->dropping = true;
  if (answer == WATCH_CLOSE) r->givenUp = true;
  return !r->givenUp;
}

// After each row of a watched stream: the ceiling, and the watcher now and
// then. While dropping it is still called, with no rows, so that the
// program can go on drawing while the rest goes by. False when the watcher
// gave the reply up.
bool WatchRow(RowReader *r) {
  int seen = r->dropping ? rowsDropped : r->rows->count;
  if (!r->dropping && rowCeiling > 0 && seen >= rowCeiling) r->dropping = true;
  if (seen % kWatchEvery != 0 || msqlNanosNow() - r->lastCall < kWatchNanos) return true;
  return TakeAnswer(r, CallWatcher(r, r->rows->count, r->columns, 0));
}

// Reads a row into the reader's scratch room only to check it: a malformed
// row fails a count as it fails a query.
bool CheckRow(RowReader *r, const char *payload, size_t length) {
  size_t n = static_cast<size_t>(r->columns);
  char **values = reinterpret_cast<char **>(r->scratch);
  int *lengths = reinterpret_cast<int *>(values + n);
  char *texts = reinterpret_cast<char *>(lengths + n);
  RowParse parse = {values, lengths, texts, texts};
  if (msqlParsePlainRow(payload, length, r->columns, &parse)) return true;
  return msqlParseAnyRow(AsText(payload, length), length, r->columns, &parse);
}

}  // namespace

void msqlWatchRows(msqlRowWatcher watcher, void *data, int ceiling) {
  rowWatcher = watcher;
  rowWatcherData = data;
  rowCeiling = watcher != nullptr && ceiling > 0 ? ceiling : 0;
}

int msqlRowsDropped(void) { return rowsDropped; }
bool msqlWatchingRows(void) { return rowWatcher != nullptr; }

void msqlRowReaderInit(RowReader *r, RowList *rows, int columns) {
  initRowList(rows);
  r->rows = rows;
  r->columns = columns;
  r->refused = false;
  // Only a refused allocation ends a stream with more of them counted.
  r->failures = msqlAllocFailures();
  r->scratch = nullptr;
  r->counted = 0;
  r->watched = r->dropping = r->givenUp = false;
  r->shown = nullptr;
  r->lastCall = 0;
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
    if (status == MSQL_STATUS_END) {
      if (r->watched) CallWatcher(r, r->rows->count, r->columns, 0);
      return REPLY_DONE;
    }
    if (status == MSQL_STATUS_ERROR) {
      freeRowList(r->rows);
      msqlTakeServerMessage(payload);
      r->refused = true;
      return REPLY_DONE;
    }
  }
  if (r->dropping) {
    if (rowsDropped < INT_MAX) rowsDropped++;
    return WatchRow(r) ? REPLY_MORE : REPLY_GIVEN_UP;
  }
  if (r->scratch != nullptr) {
    // The count is an int, as a query's is: a longer stream is refused
    // rather than counted wrong.
    if (CheckRow(r, payload, length) && r->counted < INT_MAX) {
      r->counted++;
      return REPLY_MORE;
    }
    msqlSetError(MSQL_ERR_BAD_PACKET);
    return REPLY_MALFORMED;
  }
  if (msqlParseRow(r->rows, payload, length, r->columns)) {
    if (r->watched && !WatchRow(r)) return REPLY_GIVEN_UP;
    return REPLY_MORE;
  }
  // Out of memory is said as such, not blamed on the server.
  freeRowList(r->rows);
  if (msqlAllocFailures() == r->failures) msqlSetError(MSQL_ERR_BAD_PACKET);
  return REPLY_MALFORMED;
}

void msqlRowReaderDrop(RowReader *r) { freeRowList(r->rows); }

void msqlQueryReplyInit(QueryReply *q, RowList *rows, RowList *fieldRows, char *scratch) {
  q->scratch = scratch;
  q->counted = 0;
  q->stopped = false;
  q->givenUp = false;
  rowsDropped = 0;
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
    q->stream.scratch = q->scratch;
    q->stream.watched = q->scratch == nullptr && rowWatcher != nullptr;
    q->stream.dropping = q->stopped;
    return REPLY_MORE;
  }
  ReplyAnswer answer = msqlRowReaderFeed(&q->stream, payload, length);
  if (answer != REPLY_DONE || q->stream.refused) return answer;
  if (q->stage == kRows) {
    q->counted = q->stream.counted;
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
  q->result = q->scratch != nullptr ? q->counted : q->rows->count;
  return REPLY_DONE;
}

void msqlQueryReplyDrop(QueryReply *q) {
  if (q->stage != kStatus) msqlRowReaderDrop(&q->stream);
  q->result = -1;
}

bool msqlQueryReplyWait(void *data, int silentMillis) {
  QueryReply *q = static_cast<QueryReply *>(data);
  if (rowWatcher == nullptr) return true;
  if (q->stage == kStatus) {
    int answer = CallWatcher(nullptr, 0, 0, silentMillis);
    // A stop before any row keeps none.
    if (answer == WATCH_STOP) q->stopped = true;
    return answer != WATCH_CLOSE;
  }
  if (q->stage == kRows && q->stream.watched)
    return TakeAnswer(&q->stream, CallWatcher(&q->stream, q->rows->count, q->columns, silentMillis));
  // The field descriptions: nothing left to stop, only to give up.
  return CallWatcher(nullptr, q->rows->count, q->columns, silentMillis) != WATCH_CLOSE;
}

void msqlQueryReplyGiveUp(QueryReply *q) {
  // The rows are the caller's once read: what was kept stays pending, as
  // after a failure in the field descriptions.
  if (q->stage == kFields) freeRowList(q->fieldRows);
  q->result = -1;
  q->givenUp = true;
  msqlSetError(MSQL_ERR_GIVEN_UP);
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
