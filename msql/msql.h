// The mSQL client library (protocol 23): connect, run statements, walk result
// sets, list the catalog. All state is process-wide and one request runs at a
// time; a failed request leaves its reason in msqlErrMsg.
#ifndef KORVID_MSQL_H
#define KORVID_MSQL_H

#include "msql/limits.h"
#include "msql/protocol.h"

// Field flags of a FieldListEntry.
#define FLAG_NOT_NULL 1
#define FLAG_UNIQUE_KEY 2

// The reason of the last failure, at most 199 characters and a zero. Its
// size, the longest statement msqlQuery sends (MSQL_STATEMENT_MAX) and every
// other size the library keeps to are in msql/limits.h.
extern "C" char msqlErrMsg[MSQL_ERRMSG_SIZE];

struct QueryDataRow {
  int columnCount;
  char **values;  // columnCount texts, each zero-terminated; NULL for SQL NULL
  QueryDataRow *next;
  // The byte count of each value (0 for NULL): a value may hold zero bytes
  // of its own, which its zero-terminated text does not show. Null in rows
  // made without it. Rows with the same counts may share one array: it is
  // read, never written.
  int *lengths;
};

struct FieldListEntry {
  char *name;
  char *table;
  int type;
  int length;
  unsigned int flags;
  FieldListEntry *next;
};

// A result set; the caller owns it until msqlFreeResult.
struct ResultHandle {
  QueryDataRow *queryData;
  QueryDataRow *cursor;
  FieldListEntry *fieldData;
  FieldListEntry *fieldCursor;
  int numRows;
  int numFields;
  QueryDataRow *fetched;  // the row msqlFetchRow returned last
};

struct SequenceInfo {
  int first;
  int second;
};

extern "C" {

// Connection. A connection is its socket descriptor; every request takes it.

// Connects to the local server over its UNIX socket (host null) or to host
// over TCP, and logs in with the user's name. Returns the socket (0 or
// more), or -1 with the reason in msqlErrMsg and nothing left open.
int msqlConnect(const char *host);
// Makes db the current database. Returns 0; -1 with the server's reason
// (the connection stays usable) or after a lost connection (closed).
int msqlSelectDB(int sock, const char *db);
// Says goodbye and closes sock at once, reading no reply.
void msqlClose(int sock);
// Texts and version of the last handshake; never null, empty before one.
const char *msqlGetHostInfo(void);
const char *msqlGetServerInfo(void);
int msqlGetProtoInfo(void);

// Statements and result sets.

// Runs one statement. For a statement that yields rows, returns the number
// of rows, which wait for msqlStoreResult; otherwise the status the server
// sent. -1 on failure, with the reason in msqlErrMsg.
int msqlQuery(int sock, const char *query);
// Runs one statement as msqlQuery does and returns the same number, but
// reads the rows as they arrive and keeps none: memory stays the same
// whatever their number. The rows of an earlier query are given up, and
// none are left for msqlStoreResult. -1 on failure, as msqlQuery.
int msqlCountRows(int sock, const char *query);
// Watching the rows of msqlQuery as they arrive, and the wait for them.
// After its first 64 rows, every 40 ms or so while it reads them, once at
// their end, and every 40 ms while the server sends nothing (from the
// statement's sending to the end of its reply), msqlQuery calls the
// watcher with what it has read (RowWatch). The watcher answers
// WATCH_GO_ON; WATCH_STOP, which stops the keeping: the rest of the rows
// are read as they arrive and dropped, and the query ends as usual with the
// rows kept; or WATCH_CLOSE, which gives the reply up at once: the
// connection is closed, msqlQuery fails (msqlReplyGivenUp says why) and the
// rows kept so far wait for msqlStoreResult, without field descriptions
// when those had not all come. With a ceiling above 0, rows past that many
// are dropped as after a stop. The watcher must send no request. A null
// watcher watches nothing (the default), and msqlQuery then waits for the
// server as long as it takes.
struct RowWatch {
  const QueryDataRow *rows;  // read since the previous call, chained by next; null when none
  int count;                 // their number
  int kept;                  // rows kept so far
  int dropped;               // rows read and dropped so far
  int columns;               // announced by the reply; 0 while its status has not come
  int silent;                // milliseconds the server has sent nothing; 0 in a call for rows
};
#define WATCH_GO_ON 0
#define WATCH_STOP 1
#define WATCH_CLOSE 2
typedef int (*msqlRowWatcher)(const RowWatch *watch, void *data);
void msqlWatchRows(msqlRowWatcher watcher, void *data, int ceiling);
// 1 when the last msqlQuery failed because its watcher gave the reply up
// (WATCH_CLOSE), 0 otherwise.
int msqlReplyGivenUp(void);
// The rows the last msqlQuery read and dropped, after a stop or past the
// ceiling; 0 when it kept every row.
int msqlRowsDropped(void);
// Takes the rows and field descriptions of the last query that yielded
// rows; the caller owns the result until msqlFreeResult. Null when nothing
// is pending (a second call for the same query) or out of memory.
ResultHandle *msqlStoreResult(void);
// The values of the row at the cursor, which moves on; null at the end.
// The values belong to the result and live until msqlFreeResult.
char **msqlFetchRow(ResultHandle *result);
// The byte counts of the values of the row msqlFetchRow returned last
// (each value is that many bytes and a zero); null before any, after the
// end, or when the row does not know them. They live as long as the row.
const int *msqlFetchLengths(ResultHandle *result);
// The field description at the field cursor, which moves on; null at the end.
FieldListEntry *msqlFetchField(ResultHandle *result);
// Puts the row (field) cursor on position pos, 0 being the first; a
// position outside the result leaves it at the end.
void msqlDataSeek(ResultHandle *result, int pos);
void msqlFieldSeek(ResultHandle *result, int pos);
// The number of rows and of field descriptions; 0 for a null result.
int msqlNumRows(ResultHandle *result);
int msqlNumFields(ResultHandle *result);
// Releases a result and everything in it; null is allowed.
void msqlFreeResult(ResultHandle *result);
// Gives back to the system the blocks that freed results left for the next
// large result (which the system otherwise takes back only when it runs
// short): for when no large result is expected soon.
void msqlReleaseMemory(void);

// Catalog and administration. None of these clears msqlErrMsg first.

// The databases, the current database's tables, a table's field
// descriptions (as fields, no rows), and an index's kind and fields, as
// results to walk and free. Null on failure, with the reason in msqlErrMsg.
ResultHandle *msqlListDBs(int sock);
ResultHandle *msqlListTables(int sock);
ResultHandle *msqlListFields(int sock, const char *table);
ResultHandle *msqlListIndex(int sock, const char *table, const char *index);
// The table's sequence in a record that the next call overwrites; null on
// failure.
SequenceInfo *msqlGetSequenceInfo(int sock, const char *table);
// Whole databases and the server itself. Each returns 0, or -1 with the
// server's reason (connection usable) or after a lost connection (closed).
int msqlCreateDB(int sock, const char *db);
int msqlDropDB(int sock, const char *db);
int msqlCopyDB(int sock, const char *from, const char *to);
int msqlMoveDB(int sock, const char *from, const char *to);
int msqlReloadAcl(int sock);
int msqlShutdown(int sock);
// Writes the server's report to standard output as it arrives. Returns 0,
// or -1 with the reason in msqlErrMsg.
int msqlServerReport(int sock);
// The name of a type code ("INT", ...), "UNKNOWN" for any other code; a
// constant text.
const char *msqlTypeName(int type);

}  // extern "C"

#endif
