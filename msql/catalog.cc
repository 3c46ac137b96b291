// Requests other than SQL statements: the catalog lists, the sequence of a
// table, database administration, the server report, and the type names.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "msql/msql_internal.h"

namespace {

SequenceInfo sequenceInfo;

// The one field entry the library attaches to a database, table or index
// list: a CHAR(35) of the table "mSQL Catalog".
FieldListEntry *CatalogEntry(const char *name) {
  FieldListEntry *entry = msqlNewFieldEntry();
  if (entry == nullptr) return nullptr;
  entry->name = msqlStrdup(name);
  entry->table = msqlStrdup("mSQL Catalog");
  entry->type = CHAR_TYPE;
  entry->length = 35;
  entry->flags = 0;
  if (entry->name == nullptr || entry->table == nullptr) {
    freeFieldList(entry);
    return nullptr;
  }
  return entry;
}

// Sends the request already formatted into the packet buffer and reads its
// answer as a stream of rows of `columns` columns; there is no status packet
// first. A new handle for the answer, or null with nothing left over.
ResultHandle *RequestRows(int sock, int columns, RowList *rows) {
  ResultHandle *handle = msqlNewHandle();
  if (handle == nullptr) return nullptr;
  sendPacket(sock);
  if (readRowStream(sock, rows, columns) < 0) {
    free(handle);
    return nullptr;
  }
  return handle;
}

// A database, table or index list: one-column rows and the catalog entry.
ResultHandle *ListCatalog(int sock, const char *entryName) {
  RowList rows;
  ResultHandle *handle = RequestRows(sock, 1, &rows);
  if (handle == nullptr) return nullptr;
  FieldListEntry *entry = CatalogEntry(entryName);
  if (entry == nullptr) {
    freeRowList(&rows);
    free(handle);
    return nullptr;
  }
  msqlHandleTakeRows(handle, &rows);
  handle->numFields = 1;
  handle->fieldData = handle->fieldCursor = entry;
  return handle;
}

// The common start of a request of this module: its trace line, then the
// terminal guard. False when the request is refused.
bool StartRequest(int sock, const char *format, ...) __attribute__((format(printf, 2, 3)));
bool StartRequest(int sock, const char *format, ...) {
  netInit();
  va_list args;
  va_start(args, format);
  msqlTraceV(MSQL_DEBUG_API, format, args);
  va_end(args);
  return !msqlTerminalGuard(sock);
}

}  // namespace

ResultHandle *msqlListDBs(int sock) {
  if (!StartRequest(sock, "msqlListDBs(%d)\n", sock)) return nullptr;
  msqlFormatRequest("%d:\n", REQ_DB_LIST);
  return ListCatalog(sock, "Database");
}

ResultHandle *msqlListTables(int sock) {
  if (!StartRequest(sock, "msqlListTables(%d)\n", sock)) return nullptr;
  msqlFormatRequest("%d:\n", REQ_TABLE_LIST);
  return ListCatalog(sock, "Table");
}

// This one and msqlGetSequenceInfo run the terminal guard before their
// trace line, the others after it: a refused call of theirs has always
// written no trace, so they do not use StartRequest.
ResultHandle *msqlListIndex(int sock, const char *table, const char *index) {
  netInit();
  if (msqlTerminalGuard(sock)) return nullptr;
  msqlTrace(MSQL_DEBUG_API, "msqlListIndex(%d,%s,%s)\n", sock, table, index);
  if (!msqlFormatRequest("%d:%s:%s\n", REQ_INDEX_LIST, table, index)) return nullptr;
  return ListCatalog(sock, "Index");
}

ResultHandle *msqlListFields(int sock, const char *table) {
  if (!StartRequest(sock, "msqlListFields(%d,%s)\n", sock, table)) return nullptr;
  if (!msqlFormatRequest("%d:%s\n", REQ_FIELD_LIST, table)) return nullptr;
  RowList rows;
  ResultHandle *handle = RequestRows(sock, 6, &rows);
  if (handle == nullptr) return nullptr;
  FieldListEntry *fields = nullptr;
  long failures = msqlAllocFailures();
  bool built = buildFieldList(rows.head, &fields);
  int count = rows.count;
  freeRowList(&rows);
  if (!built) {
    // Out of memory keeps its own text.
    if (msqlAllocFailures() == failures) msqlSetError(MSQL_ERR_BAD_PACKET);
    free(handle);
    return nullptr;
  }
  handle->fieldData = handle->fieldCursor = fields;
  handle->numFields = count;
  return handle;
}

// Guard before trace, as msqlListIndex.
SequenceInfo *msqlGetSequenceInfo(int sock, const char *table) {
  netInit();
  if (msqlTerminalGuard(sock)) return nullptr;
  msqlTrace(MSQL_DEBUG_API, "msqlGetSequenceInfo(%d,%s)\n", sock, table);
  if (!msqlFormatRequest("%d:%s\n", REQ_SEQ_INFO, table)) return nullptr;
  sendPacket(sock);
  if (msqlReadReply(sock) < 0 || msqlReplyFailed()) return nullptr;
  // "<status>:<first>:<second>"
  const char *first = strchr(packetBuffer, ':');
  const char *second = first ? strchr(first + 1, ':') : nullptr;
  if (second == nullptr) {
    msqlSetError(MSQL_ERR_BAD_PACKET);
    return nullptr;
  }
  sequenceInfo.first = msqlReadNumber(first + 1, nullptr);
  sequenceInfo.second = msqlReadNumber(second + 1, nullptr);
  return &sequenceInfo;
}

int msqlCreateDB(int sock, const char *db) {
  if (!StartRequest(sock, "msqlCreateDB(%d,%s)\n", sock, db)) return -1;
  if (!msqlFormatRequest("%d:%s\n", REQ_CREATE_DB, db)) return -1;
  return msqlSimpleRequest(sock);
}

int msqlDropDB(int sock, const char *db) {
  if (!StartRequest(sock, "msqlDropDB(%d,%s)\n", sock, db)) return -1;
  if (!msqlFormatRequest("%d:%s\n", REQ_DROP_DB, db)) return -1;
  return msqlSimpleRequest(sock);
}

int msqlCopyDB(int sock, const char *from, const char *to) {
  if (!StartRequest(sock, "msqlCopyDB(%d,%s,%s)\n", sock, from, to)) return -1;
  if (!msqlFormatRequest("%d:%s:%s\n", REQ_COPY_DB, from, to)) return -1;
  return msqlSimpleRequest(sock);
}

int msqlMoveDB(int sock, const char *from, const char *to) {
  if (!StartRequest(sock, "msqlMoveDB(%d,%s,%s)\n", sock, from, to)) return -1;
  if (!msqlFormatRequest("%d:%s:%s\n", REQ_MOVE_DB, from, to)) return -1;
  return msqlSimpleRequest(sock);
}

int msqlReloadAcl(int sock) {
  if (!StartRequest(sock, "msqlReloadAcl(%d)\n", sock)) return -1;
  msqlFormatRequest("%d:\n", REQ_RELOAD_ACL);
  return msqlSimpleRequest(sock);
}

int msqlShutdown(int sock) {
  if (!StartRequest(sock, "msqlShutdown(%d)\n", sock)) return -1;
  msqlFormatRequest("%d:\n", REQ_SHUTDOWN);
  return msqlSimpleRequest(sock);
}

// The report arrives as text packets up to an end packet; each is written to
// standard output exactly as received.
int msqlServerReport(int sock) {
  netInit();
  msqlTrace(MSQL_DEBUG_API, "msqlServerReport(%d)\n", sock);
  msqlFormatRequest("%d:\n", REQ_SERVER_STATS);
  sendPacket(sock);
  int length = msqlReadReply(sock);
  if (length < 0) return -1;
  if (msqlReadNumber(packetBuffer, nullptr) == MSQL_STATUS_ERROR) {
    // The text after "-1:" is kept whole, its newline included; a reply too
    // short to have any gets the usual unknown-error text.
    if (length > 3) {
      msqlSetError("%s", packetBuffer + 3);
    } else {
      msqlSetError(MSQL_ERR_UNKNOWN);
    }
    return -1;
  }
  while (msqlReadNumber(packetBuffer, nullptr) != MSQL_STATUS_END) {
    fwrite(packetBuffer, 1, static_cast<size_t>(length), stdout);
    length = readPacket(sock);
    if (length <= 0) {
      fflush(stdout);
      msqlLostConnection(sock);
      return -1;
    }
  }
  fflush(stdout);
  return 0;
}

const char *msqlTypeName(int type) {
  switch (type) {
    case INT_TYPE: return "INT";
    case CHAR_TYPE: return "CHAR";
    case REAL_TYPE: return "REAL";
    case IDENT_TYPE: return "IDENT";
    case NULL_TYPE: return "NULL";
    case TEXT_TYPE: return "TEXT";
    case DATE_TYPE: return "DATE";
    case UINT_TYPE: return "UINT";
    case MONEY_TYPE: return "MONEY";
    case TIME_TYPE: return "TIME";
    default: return "UNKNOWN";
  }
}
