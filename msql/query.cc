// Statements and result sets: msqlQuery reads the row stream and the field
// description stream into the pending state, msqlStoreResult moves them into
// a ResultHandle, and the fetch and seek functions walk it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "msql/msql_internal.h"
#include "msql/testing.h"

int msqlExpectedColumns = 0;

namespace {

QueryDataRow *pendingRows = nullptr;
int pendingRowCount = 0;
QueryDataRow *pendingFieldRows = nullptr;
int pendingFieldCount = 0;

// A row record, its values array and its lengths share one allocation; the
// values themselves are one allocation each, as many as there are non-NULL
// columns.
QueryDataRow *NewRow(int columns) {
  size_t n = static_cast<size_t>(columns);
  size_t size = sizeof(QueryDataRow) + sizeof(char *) * n + sizeof(int) * n;
  QueryDataRow *row = static_cast<QueryDataRow *>(msqlMalloc(size));
  if (row == nullptr) return nullptr;
  row->columnCount = columns;
  row->values = reinterpret_cast<char **>(row + 1);
  row->lengths = reinterpret_cast<int *>(row->values + n);
  for (int i = 0; i < columns; i++) {
    row->values[i] = nullptr;
    row->lengths[i] = 0;
  }
  row->next = nullptr;
  msqlTrace(MSQL_DEBUG_MALLOC, "Query data row - malloc @ %lX of %d\n", msqlAddress(row),
            static_cast<int>(sizeof(QueryDataRow)));
  return row;
}

void FreeRow(QueryDataRow *row) {
  for (int i = 0; i < row->columnCount; i++) free(row->values[i]);
  msqlTrace(MSQL_DEBUG_MALLOC, "Query data row - free @ %lX\n", msqlAddress(row));
  free(row);
}

QueryDataRow *RejectRow(QueryDataRow *row) {
  FreeRow(row);
  return nullptr;
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

void FreePending() {
  freeRowList(pendingRows);
  freeRowList(pendingFieldRows);
  pendingRows = pendingFieldRows = nullptr;
  pendingRowCount = pendingFieldCount = 0;
}

}  // namespace

ResultHandle *msqlNewHandle(void) {
  ResultHandle *handle = static_cast<ResultHandle *>(msqlCalloc(1, sizeof(ResultHandle)));
  if (handle != nullptr) {
    msqlTrace(MSQL_DEBUG_MALLOC, "Result Handle - malloc @ %lX of %d\n", msqlAddress(handle),
              static_cast<int>(sizeof(ResultHandle)));
  }
  return handle;
}

FieldListEntry *msqlNewFieldEntry(void) {
  FieldListEntry *entry = static_cast<FieldListEntry *>(msqlCalloc(1, sizeof(FieldListEntry)));
  if (entry != nullptr) {
    msqlTrace(MSQL_DEBUG_MALLOC, "Field List Entry - malloc @ %lX of %d\n", msqlAddress(entry),
              static_cast<int>(sizeof(FieldListEntry)));
  }
  return entry;
}

void freeRowList(QueryDataRow *rows) {
  while (rows) {
    QueryDataRow *next = rows->next;
    FreeRow(rows);
    rows = next;
  }
}

void freeFieldList(FieldListEntry *fields) {
  while (fields) {
    FieldListEntry *next = fields->next;
    free(fields->table);
    free(fields->name);
    msqlTrace(MSQL_DEBUG_MALLOC, "Field List Entry- free @ %lX\n", msqlAddress(fields));
    free(fields);
    fields = next;
  }
}

// Row packet layout, for each column in turn: the byte count in decimal, a
// colon, then exactly that many bytes; -2 and a colon with no bytes is NULL.
// Nothing separates one column from the next. The payload is followed by a
// zero, and parsing never goes past `length`.
QueryDataRow *msqlParseRow(const char *payload, size_t length, int columns) {
  QueryDataRow *row = NewRow(columns);
  if (row == nullptr) return nullptr;
  const char *p = payload;
  const char *end = payload + length;
  for (int i = 0; i < columns; i++) {
    if (p >= end) return RejectRow(row);
    const char *digitsEnd = p;
    int count = msqlReadNumber(p, &digitsEnd);
    // The colon normally follows the count at once; otherwise it is the next
    // colon of the payload, if there is one.
    const char *colon = digitsEnd < end && *digitsEnd == ':'
                            ? digitsEnd
                            : static_cast<const char *>(memchr(p, ':', end - p));
    if (colon == nullptr) return RejectRow(row);
    const char *value = colon + 1;
    if (count == MSQL_STATUS_NULL) {
      p = value;
      continue;
    }
    if (count < 0 || static_cast<size_t>(count) > static_cast<size_t>(end - value)) {
      return RejectRow(row);
    }
    char *text = static_cast<char *>(msqlMalloc(static_cast<size_t>(count) + 1));
    if (text == nullptr) return RejectRow(row);
    memcpy(text, value, static_cast<size_t>(count));
    text[count] = '\0';
    row->values[i] = text;
    row->lengths[i] = count;
    p = value + count;
  }
  return row;
}

int readRowStream(int sock, QueryDataRow **rows) {
  *rows = nullptr;
  QueryDataRow *head = nullptr;
  QueryDataRow **tail = &head;
  int count = 0;
  int length = readPacket(sock);
  for (;;) {
    if (length <= 0) {
      freeRowList(head);
      msqlLostConnection(sock);
      return -1;
    }
    int status = msqlReadNumber(packetBuffer, nullptr);
    if (status == MSQL_STATUS_END) {
      *rows = head;
      return count;
    }
    if (status == MSQL_STATUS_ERROR) {
      freeRowList(head);
      msqlTakeServerMessage(packetBuffer);
      return -1;
    }
    long failures = msqlAllocFailures();
    QueryDataRow *row = msqlParseRow(packetBuffer, static_cast<size_t>(length), msqlExpectedColumns);
    if (row == nullptr) {
      // The rest of the stream is still on its way and would be taken for
      // the replies of later requests: the connection cannot be trusted.
      // Out of memory is said as such, not blamed on the server.
      freeRowList(head);
      closeServerSocket(sock);
      if (msqlAllocFailures() == failures) msqlSetError(MSQL_ERR_BAD_PACKET);
      return -1;
    }
    *tail = row;
    tail = &row->next;
    count++;
    length = readPacket(sock);
  }
}

// Field description columns: table, name, type, length, not-null marker,
// unique-key marker; a marker starting with 'Y' sets its flag.
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

int msqlQuery(int sock, const char *query) {
  msqlTrace(MSQL_DEBUG_QUERY, "Query = \"%s\"\n", query);
  memset(msqlErrMsg, 0, sizeof msqlErrMsg);
  currentServerSocket = sock;
  netInit();
  if (msqlTerminalGuard(sock)) return -1;
  msqlFormatRequest("%d:%s\n", REQ_QUERY, query);
  sendPacket(sock);
  if (msqlReadReply(sock) < 0 || msqlReplyFailed()) return -1;
  int status = msqlReadNumber(packetBuffer, nullptr);
  const char *colon = strchr(packetBuffer, ':');
  if (colon == nullptr) return status;
  int fields = msqlReadNumber(colon + 1, nullptr);
  if (fields < 1) return status;
  if (fields > MSQL_MAX_COLUMNS) {
    // No row could hold that many columns; what follows cannot be read.
    closeServerSocket(sock);
    msqlSetError(MSQL_ERR_BAD_PACKET);
    return -1;
  }

  FreePending();
  msqlExpectedColumns = fields;
  QueryDataRow *rows = nullptr;
  int rowCount = readRowStream(sock, &rows);
  if (rowCount < 0) return -1;
  pendingRows = rows;
  pendingRowCount = rowCount;

  msqlExpectedColumns = 6;
  QueryDataRow *fieldRows = nullptr;
  int fieldCount = readRowStream(sock, &fieldRows);
  if (fieldCount < 0) return -1;
  if (!ValidFieldRows(fieldRows)) {
    freeRowList(fieldRows);
    msqlSetError(MSQL_ERR_BAD_PACKET);
    return -1;
  }
  // Every reader sizes a row by its field descriptions: one description more
  // or less than the announced columns would make them read past each row.
  // A server that says two different things cannot be trusted further.
  if (fieldCount != fields) {
    freeRowList(fieldRows);
    freeRowList(pendingRows);
    pendingRows = nullptr;
    pendingRowCount = 0;
    closeServerSocket(sock);
    msqlSetError(MSQL_ERR_BAD_PACKET);
    return -1;
  }
  pendingFieldRows = fieldRows;
  pendingFieldCount = fieldCount;
  return pendingRowCount;
}

ResultHandle *msqlStoreResult(void) {
  if (pendingRows == nullptr && pendingFieldRows == nullptr) return nullptr;
  ResultHandle *handle = msqlNewHandle();
  if (handle == nullptr) return nullptr;
  FieldListEntry *fields = nullptr;
  if (!buildFieldList(pendingFieldRows, &fields)) {
    free(handle);
    return nullptr;
  }
  handle->queryData = handle->cursor = pendingRows;
  handle->numRows = pendingRowCount;
  handle->fieldData = handle->fieldCursor = fields;
  handle->numFields = pendingFieldCount;
  freeRowList(pendingFieldRows);
  pendingRows = pendingFieldRows = nullptr;
  pendingRowCount = pendingFieldCount = 0;
  return handle;
}

char **msqlFetchRow(ResultHandle *result) {
  if (result != nullptr) result->fetched = nullptr;
  if (result == nullptr || result->cursor == nullptr) return nullptr;
  QueryDataRow *row = result->cursor;
  result->cursor = row->next;
  result->fetched = row;
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

void msqlDataSeek(ResultHandle *result, int pos) {
  msqlTrace(MSQL_DEBUG_API, "msqlDataSeek() pos = \n");
  if (result == nullptr) return;
  QueryDataRow *row = pos < 0 ? nullptr : result->queryData;
  for (int i = 0; i < pos && row; i++) row = row->next;
  result->cursor = row;
}

void msqlFieldSeek(ResultHandle *result, int pos) {
  msqlTrace(MSQL_DEBUG_API, "msqlFieldSeek() pos = \n");
  if (result == nullptr) return;
  FieldListEntry *entry = pos < 0 ? nullptr : result->fieldData;
  for (int i = 0; i < pos && entry; i++) entry = entry->next;
  result->fieldCursor = entry;
}

int msqlNumRows(ResultHandle *result) { return result ? result->numRows : 0; }
int msqlNumFields(ResultHandle *result) { return result ? result->numFields : 0; }

void msqlFreeResult(ResultHandle *result) {
  if (result == nullptr) return;
  freeRowList(result->queryData);
  freeFieldList(result->fieldData);
  msqlTrace(MSQL_DEBUG_MALLOC, "Result Handle - Free @ %lX\n", msqlAddress(result));
  free(result);
}

void msqlResetQueryForTests() {
  FreePending();
  msqlExpectedColumns = 0;
}
