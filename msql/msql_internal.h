// Inner operations of the client library shared by its modules, the tests and
// the fuzz targets: the packet layer, tracing, the row reader and the limits.
// Not part of the public interface; the tests' own hooks are in testing.h.
#ifndef KORVID_MSQL_INTERNAL_H
#define KORVID_MSQL_INTERNAL_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "msql/limits.h"
#include "msql/msql.h"
#include "msql/packet.h"

// The sizes of the library's buffers and the limits it keeps are in
// msql/limits.h. Each fixed buffer is written by one vsnprintf-based helper
// and is cut at its size, never overrun.

// Debug levels of MSQL_DEBUG.
#define MSQL_DEBUG_QUERY 1
#define MSQL_DEBUG_API 2
#define MSQL_DEBUG_MALLOC 4

// Payload of the last packet read, followed by a zero; the 4 bytes before it
// hold a request's length header. Pointers into it do not survive the next
// request.
extern char *packetBuffer;
extern int currentServerSocket;
extern int msqlDebugLevels;

// Packet layer.
void netInit(void);
int sendPacket(int sock);
int readPacket(int sock);
// The next packet of sock where it lies, in the read-ahead buffer or in
// packetBuffer, without the zero after it: its length, or -1 as readPacket.
// *payload does not survive the next read on sock.
int msqlPeekPacket(int sock, const char **payload);
// The read-ahead of sock if it has one (null otherwise): a caller that
// takes whole buffered packets from it itself (msqlReaderTakeWhole) sees
// what msqlPeekPacket would have handed out, and calls msqlPeekPacket for
// anything else.
PacketReader *msqlReadAheadOf(int sock);
// Formats a request into packetBuffer: true when it fits whole (at most
// 131071 characters); otherwise false, with packetBuffer empty and
// MSQL_ERR_TOO_LONG in msqlErrMsg. A request is never sent cut: a cut
// "... WHERE id = 12345" would name another record.
bool msqlFormatRequest(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Sets msqlErrMsg, cut to 199 characters.
void msqlSetError(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The leading decimal number of a reply text, read as strtol reads base 10
// and kept within the int range.
int msqlReadNumber(const char *text, const char **end);
// Texts of msqlErrMsg that several modules leave; each module's other texts
// stand beside the code that sets them.
#define MSQL_ERR_GONE "MSQL server has gone away"   // the connection was lost
#define MSQL_ERR_UNKNOWN "Unknown MSQL error"       // a failure without a message
#define MSQL_ERR_BAD_PACKET "Bad packet received from server"  // a reply that cannot be read
#define MSQL_ERR_TOO_LONG "Request too long: nothing was sent"  // a request text past a packet

// Takes the server's message after the first colon of the reply into msqlErrMsg.
void msqlTakeServerMessage(const char *reply);
// Closes the socket and leaves MSQL_ERR_GONE.
void msqlLostConnection(int sock);
// Reads a reply into packetBuffer: its length, or -1 after the lost
// connection (an empty reply counts as one).
int msqlReadReply(int sock);
// True, with the server's message taken, when the reply in packetBuffer
// has the error status.
bool msqlReplyFailed(void);
// Sends the request in packetBuffer and reads a reply that carries only a
// status: 0, or -1 with the server's reason or the lost connection.
int msqlSimpleRequest(int sock);
// True (after setting msqlErrMsg) when sock is a terminal, not a server.
bool msqlTerminalGuard(int sock);
// Waiting with a watcher (msqlWatchRows). While a hook is set, the packet
// layer waits for the server's bytes at most MSQL_WATCH_MILLIS at a time
// and, each time none came, calls the hook with how long the server has
// been silent: true waits on, false gives the read up, which then fails
// with MSQL_READ_GIVEN_UP, the connection left open for the caller to
// close. Without a hook (the default) a read waits as long as it takes.
#define MSQL_WATCH_MILLIS 40
#define MSQL_READ_GIVEN_UP (-2)
typedef bool (*msqlWaitHook)(void *data, int silentMillis);
// The monotonic clock the watching is timed by, in nanoseconds.
long msqlNanosNow(void);
void msqlSetWaitHook(msqlWaitHook hook, void *data);
// A reply its watcher gave up, and the connection closed for it.
#define MSQL_ERR_GIVEN_UP "Reply given up: the connection was closed"
// Forgets whatever was read ahead on sock.
void msqlDropReadAhead(int sock);
// Traces "Server socket (%d) closed", then msqlShutSocket.
void closeServerSocket(int sock);
// Shuts sock down both ways, closes it, drops its read-ahead and forgets
// it as current; safe inside a signal handler.
void msqlShutSocket(int sock);

// Tracing and the broken-pipe handler.
void msqlDebugInit(void);
void msqlTrace(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void msqlTraceV(int level, const char *format, va_list args) __attribute__((format(printf, 2, 0)));
void msqlPipeHandler(int sig);

// Row streams (msql/rows.cc). Rows and their values are carved out of blocks that the
// list owns, one allocation per block rather than per value; the blocks go
// with the rows into the result handle and are freed with it.
struct RowBlock;
#define MSQL_RECENT_LENGTHS 4
struct RowList {
  QueryDataRow *head;
  QueryDataRow *last;
  int count;
  RowBlock *blocks;  // newest first
  size_t reserved;   // bytes of all its blocks, which sizes the next one
  // The last few distinct arrays of byte counts, which later rows with the
  // same counts share instead of keeping their own.
  const int *recentLengths[MSQL_RECENT_LENGTHS];
  int recentNext;
};
void initRowList(RowList *rows);
// Releases the rows (a malloc-level trace line each) and their blocks, and
// leaves the list empty.
void freeRowList(RowList *rows);

// Reads a stream of rows of `columns` columns into *rows (emptied first):
// its number of rows, or -1 with nothing kept.
int readRowStream(int sock, RowList *rows, int columns);

// Readers of replies, fed one packet at a time (msql/reply.cc). Each answer
// says whether more packets belong to the reply; a malformed one leaves the
// rest of the reply unread, so the connection cannot be trusted after it.
// The error texts are left in msqlErrMsg as the reply is read.
// A watcher's WATCH_CLOSE is REPLY_GIVEN_UP: the rest is left unread too,
// but what was read stays.
enum ReplyAnswer { REPLY_MORE, REPLY_DONE, REPLY_MALFORMED, REPLY_GIVEN_UP };

// One stream of rows up to the end status. On done, `refused` tells the
// server's error row (its message taken, the rows freed) from the end.
struct RowReader {
  RowList *rows;
  int columns;
  bool refused;
  long failures;  // refused allocations before the stream
  // Counting (msqlCountRows): each row is read into this room, which the
  // next reuses (MSQL_ROW_ROOM bytes), and only counted; null keeps rows.
  char *scratch;
  int counted;
  // Watching (msqlWatchRows): the rows are shown to the watcher and kept
  // up to its ceiling; past it, or once it said stop, they are dropped.
  bool watched;
  bool dropping;
  bool givenUp;  // the watcher answered WATCH_CLOSE
  const QueryDataRow *shown;  // the last row shown to it, null before any
  long lastCall;              // when it was called, in nanoseconds
};
// Room for reading any one row without keeping it: its values, their byte
// counts and texts.
#define MSQL_ROW_ROOM \
  (MSQL_MAX_COLUMNS * (sizeof(char *) + sizeof(int) + 1) + MAX_PACKET + 1)
void msqlRowReaderInit(RowReader *r, RowList *rows, int columns);
ReplyAnswer msqlRowReaderFeed(RowReader *r, const char *payload, size_t length);
// Frees what was read of a stream cut short.
void msqlRowReaderDrop(RowReader *r);

// A statement's reply: a status, then, when it announces columns, their
// rows and field descriptions. `result` is what msqlQuery answers once
// the reply is done or malformed: the status, the number of rows, or -1.
// The two lists are the caller's: when the status announces columns, what
// they held before goes; rows read before a failure in the descriptions
// stay.
struct QueryReply {
  int stage;
  int result;
  int columns;  // announced by the status
  RowList *rows;
  RowList *fieldRows;
  RowReader stream;
  char *scratch;  // given to the rows' reader: counted, not kept
  int counted;
  bool stopped;  // the watcher answered WATCH_STOP before the rows began
  bool givenUp;  // msqlQueryReplyGiveUp: the connection is to be closed
};
// With a scratch room of MSQL_ROW_ROOM bytes, the rows are only counted
// (result: their number, none kept); null keeps them.
void msqlQueryReplyInit(QueryReply *q, RowList *rows, RowList *fieldRows, char *scratch = nullptr);
ReplyAnswer msqlQueryReplyFeed(QueryReply *q, const char *payload, size_t length);
void msqlQueryReplyDrop(QueryReply *q);
// The wait hook of a watched query's reply: shows its watcher what was read
// since its last call and answers as the hook does.
bool msqlQueryReplyWait(void *q, int silentMillis);
// Whether msqlWatchRows has set a watcher.
bool msqlWatchingRows(void);
// The reply given up (a REPLY_GIVEN_UP answer or a read given up): the rows
// kept so far stay, field descriptions not all read go; msqlQuery fails.
void msqlQueryReplyGiveUp(QueryReply *q);
// Parses one row packet of `columns` columns onto the end of *rows; false
// on a malformed packet or when out of memory, nothing being added then.
bool msqlParseRow(RowList *rows, const char *payload, size_t length, int columns);
// Where a reading of a row packet puts what it reads: each column's value
// (null for NULL) and byte count, the values' texts written one after
// another from `texts`, each with a zero after it (a room of length +
// columns bytes); `textsEnd` is where the next text would go.
struct RowParse {
  char **values;
  int *lengths;
  char *texts;
  char *textsEnd;
};
// The two readings of a row packet that msqlParseRow uses. The plain one
// reads only digits, colons and values where they lie, and says false for
// anything else; the general one reads what msqlReadNumber reads and wants
// a zero after the payload. Where the plain one reads a row, both must read
// the same (the reply fuzz target checks that).
bool msqlParsePlainRow(const char *payload, size_t length, int columns, RowParse *out);
bool msqlParseAnyRow(const char *payload, size_t length, int columns, RowParse *out);
// Rows are written and walked in the order they lie in their blocks, so the
// memory this many bytes ahead is asked for early, three cache lines for
// each row (a row of a few short values takes about that): a large result
// is then stored and walked at the speed memory streams rather than one
// wait on memory per row. A prefetch never faults, past a block's end
// neither.
#define MSQL_FETCH_AHEAD 2048
// Field descriptions from six-column rows; false on a row that cannot be one.
bool buildFieldList(QueryDataRow *rows, FieldListEntry **fields);
// A zeroed result record or field entry, traced at the malloc level; null
// when out of memory. A result record is given its rows, and their blocks,
// once, without copying; until then free() may take it back.
ResultHandle *msqlNewHandle(void);
void msqlHandleTakeRows(ResultHandle *handle, RowList *rows);
// Frees the rows a result record was given (a malloc-level trace line
// each), then the record itself.
void msqlFreeHandleRows(ResultHandle *handle);
void msqlFreeHandle(ResultHandle *handle);
FieldListEntry *msqlNewFieldEntry(void);
// A record's address as the malloc-level trace lines print it ("%lX").
inline unsigned long msqlAddress(const void *p) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}
void freeFieldList(FieldListEntry *fields);

// The library's allocations, each of which a test can make fail
// (msql/testing.h).
void *msqlMalloc(size_t size);
void *msqlCalloc(size_t count, size_t size);
char *msqlStrdup(const char *text);
// For large blocks: aligned on MSQL_HUGE_PAGE, and their pages faulted in
// that size where the system allows it; freed with free().
#define MSQL_HUGE_PAGE (size_t{2} << 20)
void *msqlMallocLarge(size_t size);
// For memory the library can do without (the read-ahead): no error text.
void *msqlMallocOptional(size_t size);
// Allocations refused so far; each refusal leaves "Out of memory".
long msqlAllocFailures(void);

#endif
