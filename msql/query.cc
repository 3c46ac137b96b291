// Statements and result sets: msqlQuery feeds the packets of its reply to
// the reply reader, which leaves the rows and field descriptions in the
// pending state, msqlStoreResult moves them into a ResultHandle, and the
// fetch and seek functions walk it.
#include <cstdlib>
#include <cstring>

#include "msql/msql_internal.h"
#include "msql/testing.h"

namespace {

RowList pendingRows;
RowList pendingFieldRows;
// Whether the last msqlQuery was given up by its watcher.
bool lastGivenUp = false;

void FreePending() {
  freeRowList(&pendingRows);
  freeRowList(&pendingFieldRows);
}

}  // namespace

namespace {

// The next packet of sock: straight from its read-ahead while a whole one
// is there, which is most rows of a large result, else by msqlPeekPacket.
inline int NextRowPacket(int sock, PacketReader **ahead, const char **payload) {
  int length = 0;
  if (*ahead != nullptr && msqlReaderTakeWhole(*ahead, payload, &length)) return length;
  // Reading may make, move or drop the read-ahead: it is looked up again.
  length = msqlPeekPacket(sock, payload);
  *ahead = msqlReadAheadOf(sock);
  return length;
}

// Reads packets of sock and feeds them to `feed` until the reply is done:
// true then. False after a lost connection, which `drop` and
// msqlLostConnection answer, or a malformed reply or one given up (`giveUp`
// answers that), whose rest is still on its way and would be taken for the
// replies of later requests: the connection is closed.
template <typename Reader>
bool FeedReply(int sock, Reader *reader, ReplyAnswer (*feed)(Reader *, const char *, size_t),
               void (*drop)(Reader *), void (*giveUp)(Reader *)) {
  PacketReader *ahead = msqlReadAheadOf(sock);
  for (;;) {
    const char *payload = nullptr;
    int length = NextRowPacket(sock, &ahead, &payload);
    if (length <= 0 && length != MSQL_READ_GIVEN_UP) {
      drop(reader);
      msqlLostConnection(sock);
      return false;
    }
    // A read given up ends the reply as the watcher's WATCH_CLOSE does.
    switch (length == MSQL_READ_GIVEN_UP ? REPLY_GIVEN_UP : feed(reader, payload, static_cast<size_t>(length))) {
      case REPLY_MORE: break;
      case REPLY_DONE: return true;
      case REPLY_MALFORMED: closeServerSocket(sock); return false;
      case REPLY_GIVEN_UP:
        closeServerSocket(sock);
        giveUp(reader);
        return false;
    }
  }
}

}  // namespace

int readRowStream(int sock, RowList *rows, int columns) {
  RowReader reader;
  msqlRowReaderInit(&reader, rows, columns);
  // No watcher reads a catalog list: nothing gives it up.
  if (!FeedReply(sock, &reader, msqlRowReaderFeed, msqlRowReaderDrop, msqlRowReaderDrop) || reader.refused)
    return -1;
  return rows->count;
}

// The steps every statement takes before it is sent: its trace, a clean
// error text, the guard of a lost connection, and the request framed. False
// when nothing may be sent.
static bool FrameQuery(int sock, const char *query) {
  msqlTrace(MSQL_DEBUG_QUERY, "Query = \"%s\"\n", query);
  memset(msqlErrMsg, 0, sizeof msqlErrMsg);
  currentServerSocket = sock;
  netInit();
  if (msqlTerminalGuard(sock)) return false;
  return msqlFormatRequest("%d:%s\n", REQ_QUERY, query);
}

int msqlQuery(int sock, const char *query) {
  lastGivenUp = false;
  if (!FrameQuery(sock, query)) return -1;
  sendPacket(sock);
  QueryReply reply;
  msqlQueryReplyInit(&reply, &pendingRows, &pendingFieldRows);
  // A watched query hands control back while the server is silent too.
  msqlSetWaitHook(msqlWatchingRows() ? msqlQueryReplyWait : nullptr, &reply);
  FeedReply(sock, &reply, msqlQueryReplyFeed, msqlQueryReplyDrop, msqlQueryReplyGiveUp);
  msqlSetWaitHook(nullptr, nullptr);
  lastGivenUp = reply.givenUp;
  return reply.result;
}

int msqlReplyGivenUp(void) { return lastGivenUp ? 1 : 0; }

int msqlCountRows(int sock, const char *query) {
  lastGivenUp = false;
  if (!FrameQuery(sock, query)) return -1;
  // Room for the widest row, reused by every row: memory stays the same
  // whatever the number of rows. Asked for before anything is sent.
  char *scratch = static_cast<char *>(msqlMalloc(MSQL_ROW_ROOM));
  if (scratch == nullptr) return -1;
  sendPacket(sock);
  QueryReply reply;
  msqlQueryReplyInit(&reply, &pendingRows, &pendingFieldRows, scratch);
  FeedReply(sock, &reply, msqlQueryReplyFeed, msqlQueryReplyDrop, msqlQueryReplyDrop);
  free(scratch);
  // Rows announced are counted, not kept: their descriptions alone would
  // be taken for a result of no rows.
  if (reply.columns > 0) freeRowList(&pendingFieldRows);
  return reply.result;
}

ResultHandle *msqlStoreResult(void) {
  if (pendingRows.head == nullptr && pendingFieldRows.head == nullptr) return nullptr;
  ResultHandle *handle = msqlNewHandle();
  if (handle == nullptr) return nullptr;
  FieldListEntry *fields = nullptr;
  if (!buildFieldList(pendingFieldRows.head, &fields)) {
    msqlFreeHandle(handle);
    return nullptr;
  }
  msqlHandleTakeRows(handle, &pendingRows);
  handle->fieldData = handle->fieldCursor = fields;
  handle->numFields = pendingFieldRows.count;
  freeRowList(&pendingFieldRows);
  return handle;
}

char **msqlFetchRow(ResultHandle *result) {
  if (result != nullptr) result->fetched = nullptr;
  if (result == nullptr || result->cursor == nullptr) return nullptr;
  QueryDataRow *row = result->cursor;
  result->cursor = row->next;
  result->fetched = row;
  const char *ahead = reinterpret_cast<const char *>(row) + MSQL_FETCH_AHEAD;
  __builtin_prefetch(ahead);
  __builtin_prefetch(ahead + 64);
  __builtin_prefetch(ahead + 128);
  return row->values;
}

const int *msqlFetchLengths(ResultHandle *result) {
  if (result == nullptr || result->fetched == nullptr) return nullptr;
  return result->fetched->lengths;
}

FieldListEntry *msqlFetchField(ResultHandle *result) {
  if (result == nullptr || result->fieldCursor == nullptr) return nullptr;
  FieldListEntry *entry = result->fieldCursor;
  result->fieldCursor = entry->next;
  return entry;
}

namespace {

// The entry at pos of a row or field list; null for a negative pos or one
// past the end, where the next fetch then finds nothing.
template <typename Entry>
Entry *NthOf(Entry *first, int pos) {
  Entry *entry = pos < 0 ? nullptr : first;
  for (int i = 0; i < pos && entry; i++) entry = entry->next;
  return entry;
}

}  // namespace

void msqlDataSeek(ResultHandle *result, int pos) {
  // The line has always carried no position, and traces are compared by
  // their text: it stays as it is.
  msqlTrace(MSQL_DEBUG_API, "msqlDataSeek() pos = \n");
  if (result != nullptr) result->cursor = NthOf(result->queryData, pos);
}

void msqlFieldSeek(ResultHandle *result, int pos) {
  // No position either, as in msqlDataSeek.
  msqlTrace(MSQL_DEBUG_API, "msqlFieldSeek() pos = \n");
  if (result != nullptr) result->fieldCursor = NthOf(result->fieldData, pos);
}

int msqlNumRows(ResultHandle *result) { return result ? result->numRows : 0; }
int msqlNumFields(ResultHandle *result) { return result ? result->numFields : 0; }

void msqlFreeResult(ResultHandle *result) {
  if (result == nullptr) return;
  msqlFreeHandleRows(result);
  freeFieldList(result->fieldData);
  msqlTrace(MSQL_DEBUG_MALLOC, "Result Handle - Free @ %lX\n", msqlAddress(result));
  msqlFreeHandle(result);
}

void msqlResetQueryForTests() {
  FreePending();
  lastGivenUp = false;
  msqlWatchRows(nullptr, nullptr, 0);
  msqlResetRowsForTests();
}
