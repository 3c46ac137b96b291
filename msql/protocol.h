// The words of protocol 23 that the client library and korvid-server share:
// request codes, type codes, reply statuses and the version. Both sides take
// them from here and nowhere else.
#ifndef KORVID_MSQL_PROTOCOL_H
#define KORVID_MSQL_PROTOCOL_H

// The only version either side speaks; a greeting with another is refused.
#define PROTOCOL_VERSION 23

// The packet limit, MAX_PACKET, is with every other size in msql/limits.h.
#include "msql/limits.h"

// Request codes: the decimal number that starts every request but the login.
#define REQ_QUIT 1          // "1:": close the connection, no reply
#define REQ_INIT_DB 2       // "2:<db>": make a database current
#define REQ_QUERY 3         // "3:<statement>": run one SQL statement
#define REQ_DB_LIST 4       // "4:": the databases, as one-column rows
#define REQ_TABLE_LIST 5    // "5:": the current database's tables
#define REQ_FIELD_LIST 6    // "6:<table>": field descriptions, six columns a row
#define REQ_CREATE_DB 7     // "7:<db>": administration, status reply
#define REQ_DROP_DB 8       // "8:<db>": administration, status reply
#define REQ_RELOAD_ACL 9    // "9:": administration, status reply
#define REQ_SHUTDOWN 10     // "10:": administration, status reply, then the end
#define REQ_INDEX_LIST 11   // "11:<table>:<index>": the index's kind and fields
#define REQ_SERVER_STATS 12 // "12:": text packets up to an end packet
#define REQ_SEQ_INFO 13     // "13:<table>": "<status>:<step>:<value>"
#define REQ_MOVE_DB 14      // "14:<from>:<to>": administration, status reply
#define REQ_COPY_DB 15      // "15:<from>:<to>": administration, status reply

// Reply statuses: the leading decimal number of a reply.
#define MSQL_STATUS_ERROR -1  // failed; the server's message follows the colon
#define MSQL_STATUS_NULL -2   // as a row's column count only: an SQL NULL
#define MSQL_STATUS_END -100  // ends a stream of row or report packets

// Type codes of a field description; any other code is passed on unchanged.
#define INT_TYPE 1    // signed integer
#define CHAR_TYPE 2   // fixed-length text
#define REAL_TYPE 3   // floating point
#define IDENT_TYPE 4  // identifier
#define NULL_TYPE 5   // the NULL value's own type
#define TEXT_TYPE 6   // free text
#define DATE_TYPE 7   // date
#define UINT_TYPE 8   // unsigned integer
#define MONEY_TYPE 9  // number with two decimals
#define TIME_TYPE 10  // time of day
#define IDX_TYPE 253  // an index entry in a table's field list

#endif
