// Hooks into the client library for the tests and the fuzz targets alone:
// back to a fresh process, allocation failures on demand, and the login
// name. The library defines them; no other code calls them.
#ifndef KORVID_MSQL_TESTING_H
#define KORVID_MSQL_TESTING_H

// Back to the state of a fresh process: debug levels, flags, pending rows,
// read-ahead buffers, connection texts, configuration.
void msqlResetForTests(void);
void msqlResetConnectionForTests(void);
void msqlResetQueryForTests(void);
// Frees the spare row blocks.
void msqlResetRowsForTests(void);

// Makes allocation number n (counted from this call) fail, or every one from
// n on; n = 0 lets all succeed.
void msqlAllocFailForTests(long n, bool onward);
// Allocations asked for since the last msqlAllocFailForTests.
long msqlAllocCountForTests(void);

// The login name; the password database is asked through this hook so that
// the tests can take the entry away.
extern const char *(*msqlPasswordName)(void);

#endif
