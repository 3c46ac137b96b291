// Entry functions shared by the libFuzzer targets and the corpus replay test:
// each takes any bytes and must neither crash, leak nor hang.
#ifndef KORVID_TESTS_SUPPORT_FUZZ_ENTRIES_H
#define KORVID_TESTS_SUPPORT_FUZZ_ENTRIES_H

#include <cstddef>
#include <cstdint>
#include <string>

// data[0] picks a request (query, the lists, sequence, report, select); the
// rest is what the server sends back, byte for byte, then end of stream.
int FuzzReplyStream(const uint8_t *data, size_t size);
// The same exchange without resetting the library first or after; returns
// what each request returned, with the error text.
std::string ReplyStreamOutcome(const uint8_t *data, size_t size);

// data[0] picks a query's reply or the field list's; the rest, of any
// size, is fed to the reply reader without a socket. Aborts when the live
// heap grows beyond a fixed multiple of the reply's size (checked in
// sanitizer builds).
int FuzzReplyMemory(const uint8_t *data, size_t size);

// The bytes as the contents of a configuration file, then every lookup.
int FuzzConfigFile(const uint8_t *data, size_t size);

#endif
