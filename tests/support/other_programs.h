// SQLite databases written by other programs than korvid-server, as users
// bring them: Python's sqlite3 module and the sqlite3 shell's .import.
#ifndef KORVID_TESTS_SUPPORT_OTHER_PROGRAMS_H
#define KORVID_TESTS_SUPPORT_OTHER_PROGRAMS_H

#include <string>

// Writes, with Python's sqlite3 module, the database file `path` holding
//   countries (id INTEGER PRIMARY KEY, alpha_2 TEXT UNIQUE, alpha_3 TEXT
//              UNIQUE, name TEXT NOT NULL, official_name TEXT, flag BLOB,
//              added DATETIME), rows 1 CI, 2 RU, 3 DE; CI's flag is the
//              bytes 00 FF 10, RU's is NULL, DE's is "DEU";
//   "Order Details" ("Order ID" INTEGER, "Product" TEXT, "Unit Price"
//              NUMERIC, "Quantity" SMALLINT, "Discount" REAL, "Shipped"
//              BOOLEAN, PRIMARY KEY ("Order ID", "Product")), two rows;
//   the view big_orders of the order lines with a quantity of 10 or more.
// False with the reason on failure.
bool WriteWorldWithPython(const std::string &path, std::string *error);

// The rows of WriteWorldWithPython's countries, as the server sends them.
extern const char *const kWorldCountries[3][5];  // id, alpha_2, alpha_3, name, official_name
extern const char *const kWorldAdded[3];

// Imports the CSV text (a header line, then rows) into a new table of the
// database file `path` with the sqlite3 shell's .import, which declares
// every column TEXT. False with the reason on failure.
bool ImportWithShell(const std::string &path, const std::string &table, const std::string &csv,
                     std::string *error);

// Runs the sqlite3 shell on `path` with one statement and returns what it
// prints (".mode quote": texts in quotes, blobs as X'..'), or "" on failure.
std::string ShellQuery(const std::string &path, const std::string &sql);

#endif
