// The mSQL client library (protocol 23): connect, run statements, walk result
// sets, list the catalog. All state is process-wide and one request runs at a
// time; a failed request leaves its reason in msqlErrMsg.
#ifndef KORVID_MSQL_H
#define KORVID_MSQL_H

#include "msql/protocol.h"

// Field flags of a FieldListEntry.
#define FLAG_NOT_NULL 1
#define FLAG_UNIQUE_KEY 2

// The reason of the last failure, at most 199 characters and a zero.
#define MSQL_ERRMSG_SIZE 200
extern "C" char msqlErrMsg[MSQL_ERRMSG_SIZE];

struct QueryDataRow {
  int columnCount;
  char **values;  // columnCount texts, each zero-terminated; NULL for SQL NULL
  QueryDataRow *next;
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
};

struct SequenceInfo {
  int first;
  int second;
};

extern "C" {

// Connection. host may be null (the local server over the UNIX socket).
int msqlConnect(const char *host);
int msqlSelectDB(int sock, const char *db);
void msqlClose(int sock);
const char *msqlGetHostInfo(void);
const char *msqlGetServerInfo(void);
int msqlGetProtoInfo(void);

// Statements and result sets.
int msqlQuery(int sock, const char *query);
ResultHandle *msqlStoreResult(void);
char **msqlFetchRow(ResultHandle *result);
FieldListEntry *msqlFetchField(ResultHandle *result);
void msqlDataSeek(ResultHandle *result, int pos);
void msqlFieldSeek(ResultHandle *result, int pos);
int msqlNumRows(ResultHandle *result);
int msqlNumFields(ResultHandle *result);
void msqlFreeResult(ResultHandle *result);

// Catalog and administration.
ResultHandle *msqlListDBs(int sock);
ResultHandle *msqlListTables(int sock);
ResultHandle *msqlListFields(int sock, const char *table);
ResultHandle *msqlListIndex(int sock, const char *table, const char *index);
SequenceInfo *msqlGetSequenceInfo(int sock, const char *table);
int msqlCreateDB(int sock, const char *db);
int msqlDropDB(int sock, const char *db);
int msqlCopyDB(int sock, const char *from, const char *to);
int msqlMoveDB(int sock, const char *from, const char *to);
int msqlReloadAcl(int sock);
int msqlShutdown(int sock);
int msqlServerReport(int sock);
const char *msqlTypeName(int type);

}  // extern "C"

#endif
