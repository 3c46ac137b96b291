// Every size that Korvid's design fixes, in one place, each with what it
// bounds: the wire's (shared by the client library and korvid-server), the
// client library's and its configuration reader's, and the application's.
// The client library is the lowest layer, so the windows, the library and
// the server can all take them from here. A name ending in _SIZE is the
// room of a buffer, its terminator included; one ending in _MAX counts
// characters or items. A text longer than its buffer is cut there or
// refused, never written past it. Tuning that no design fixes (how rows are
// stored, how the server batches its output) stays beside its code.
#ifndef KORVID_MSQL_LIMITS_H
#define KORVID_MSQL_LIMITS_H

// ---- The wire, protocol 23 ---------------------------------------------------

// Largest payload either side accepts; a header announcing one byte more is
// refused. The client's request text is at most one byte less (its
// terminator takes the last); a longer one is refused, never sent cut. It
// also bounds the longest value korvid-server makes or reads, unless
// [system] value_limit says less: what one row packet can carry.
#define MAX_PACKET 131072
// Bytes of the length header in front of every payload.
#define PACKET_HEADER 4
// Room a reader's buffer needs so that any packet within the limit fits
// whole; also a connection's read-ahead buffer in the client library.
#define PACKET_READER_MIN (PACKET_HEADER + MAX_PACKET)
// The longest statement msqlQuery sends: "3:", the statement and a newline
// make a request text of at most MAX_PACKET - 1 characters.
#define MSQL_STATEMENT_MAX (MAX_PACKET - 1 - 3)
// Most columns a row can have: each takes at least two bytes of a packet
// (a count and its colon). A query reply announcing more is malformed.
#define MSQL_MAX_COLUMNS (MAX_PACKET / 2)

// ---- The client library ------------------------------------------------------

// msqlErrMsg, the reason of the last failure: at most 199 characters and a
// zero.
#define MSQL_ERRMSG_SIZE 200
// One trace line before the "[libmsql] " prefix; longer texts are cut.
#define MSQL_TRACE_SIZE 1024
// "Localhost via UNIX socket" or "<host> via TCP/IP", cut to 79 characters.
#define MSQL_HOSTINFO_SIZE 80
// The greeting's description of the server, cut to 95 characters.
#define MSQL_SERVERINFO_SIZE 96
// Connections that may have read-ahead buffers at once; further connections
// read without one, exactly as asked.
#define MSQL_READAHEAD_SLOTS 8

// ---- The configuration reader ------------------------------------------------

// One line read takes at most CONF_LINE_SIZE - 1 characters; a longer line is
// handled as several lines, each counted.
#define CONF_LINE_SIZE 160
// A candidate path of the loader, terminator included; longer ones are skipped.
#define CONF_PATH_SIZE 160
// The current section name; a longer name is cut to CONF_SECTION_SIZE - 1.
#define CONF_SECTION_SIZE 80
// The result of a text lookup; a longer expansion is cut to 199 characters.
#define CONF_EXPAND_SIZE 200
// One error message before it is printed; longer ones are cut.
#define CONF_MESSAGE_SIZE 200

// ---- The application ---------------------------------------------------------

// Statements are built into buffers of this size: the longest one request
// carries, and its terminator. One that would not fit is refused with an
// alert, never sent cut. The free query's store, which keeps the last free
// statement for the whole run, is as large: a longer statement is cut there
// and the user is asked before it is sent.
#define STATEMENT_SIZE (MSQL_STATEMENT_MAX + 1)
// The message list, alerts and messages show at most this many bytes of a
// statement (less one); a longer one is cut there, for display only: a line
// of 131,068 characters would only make the list slow and its dialogs wider
// than any screen.
#define SHOWN_STATEMENT_SIZE 2048
// The one text that the message list's lines, alerts and messages are
// formatted into: "Executing: " and SHOWN_STATEMENT_SIZE bytes of a
// statement; longer text is cut at its end.
#define MESSAGE_SIZE (sizeof("Executing: ") - 1 + SHOWN_STATEMENT_SIZE)
// The message list keeps its newest lines: past MESSAGE_LINES_MAX lines the
// MESSAGE_LINES_DROP oldest go at once.
#define MESSAGE_LINES_MAX 25
#define MESSAGE_LINES_DROP 11
// The length a field list entry of any type but Character and Free text is
// kept with: the widest integer with its sign. The forms take it as the
// input limit and the lists as the column's width.
#define INFO_FIXED_LENGTH 11
// The most characters kept from the "Enter Primary Key" dialog.
#define LAST_KEY_MAX 1000

#endif
