// Wire framing of protocol 23, apart from any socket, shared by the client
// library and korvid-server. A packet is a 4-byte little-endian signed payload
// length followed by that many payload bytes; nothing else frames it. The
// reader is fed bytes and answers packets; the writer frames packets into a
// buffer that its caller writes out.
#ifndef KORVID_MSQL_PACKET_H
#define KORVID_MSQL_PACKET_H

#include <cstddef>
#include <cstring>

#include "msql/limits.h"
#include "msql/protocol.h"

enum PacketScan {
  PACKET_COMPLETE,    // a whole packet is buffered: *length and *consumed are set
  PACKET_INCOMPLETE,  // more bytes are needed; nothing is consumed
  PACKET_TOO_LARGE,   // header announces more than MAX_PACKET (*length set)
  PACKET_NEGATIVE     // header announces a negative length (*length set)
};

// Header bytes of a payload length, least significant byte first.
// Decoding is inline: the reader decodes a header for every row it takes.
void msqlEncodeLength(unsigned char header[PACKET_HEADER], int length);
inline int msqlDecodeLength(const unsigned char header[PACKET_HEADER]) {
  unsigned value = static_cast<unsigned>(header[0]) | (static_cast<unsigned>(header[1]) << 8) |
                   (static_cast<unsigned>(header[2]) << 16) | (static_cast<unsigned>(header[3]) << 24);
  return static_cast<int>(value);
}

// Looks at the bytes buffered so far. On PACKET_COMPLETE the payload starts at
// data + PACKET_HEADER, is *length bytes long, and the packet takes *consumed
// bytes of the buffer. Incomplete and malformed are different answers.
PacketScan msqlScanPacket(const unsigned char *data, size_t available, int *length,
                          size_t *consumed);

// Packets out of a byte stream, in a buffer the caller lends (at least
// PACKET_READER_MIN bytes). Bytes are fed at its end, by copy or by reading
// straight into msqlReaderSpace; packets are handed out from its start.
struct PacketReader {
  unsigned char *data;
  size_t capacity;
  size_t start;  // first byte not yet handed out
  size_t end;    // one past the last byte fed
};

void msqlReaderInit(PacketReader *r, unsigned char *buffer, size_t capacity);

// Hands out the packet at the start if it is whole and within the limit, as
// msqlReaderNext does; false, with nothing consumed, for anything else
// (incomplete or refused), which msqlReaderNext then tells apart. Inline:
// the client takes most rows of a large result this way, one call per row.
inline bool msqlReaderTakeWhole(PacketReader *r, const char **payload, int *length) {
  size_t have = r->end - r->start;
  if (have < PACKET_HEADER) return false;
  const unsigned char *at = r->data + r->start;
  unsigned announced = static_cast<unsigned>(msqlDecodeLength(at));
  // A negative length reads as a huge one here and is refused with it.
  if (announced > MAX_PACKET || have - PACKET_HEADER < announced) return false;
  *payload = reinterpret_cast<const char *>(at + PACKET_HEADER);
  *length = static_cast<int>(announced);
  r->start += PACKET_HEADER + announced;
  // Nothing left: the next bytes may go to the front again. The payload
  // stays where it is until they come.
  if (r->start == r->end) r->start = r->end = 0;
  return true;
}

// The next packet: on PACKET_COMPLETE *payload and *length describe it, in
// the reader's buffer; the pointer does not survive the next feed. A refused
// header (too large, negative) sets *length and stays where it is: nothing
// after it can be framed.
PacketScan msqlReaderNext(PacketReader *r, const char **payload, int *length);

// Bytes still to come before the packet at the start is whole (just its
// header's while that is incomplete); 0 behind a refused header.
size_t msqlReaderMissing(const PacketReader *r);

// True while the packet at the start lacks part of its header.
bool msqlReaderAwaitsHeader(const PacketReader *r);

// Where the next bytes go and how many fit. Moves the unread bytes to the
// front when the rest of their packet would not fit after them, so payloads
// handed out before do not survive it.
unsigned char *msqlReaderSpace(PacketReader *r, size_t *room);

// Counts n bytes written at msqlReaderSpace.
void msqlReaderFed(PacketReader *r, size_t n);

// Copies bytes in as far as they fit; returns how many were taken.
size_t msqlReaderFeed(PacketReader *r, const void *bytes, size_t n);

// Packets framed one after another into a buffer the caller lends and then
// writes out. A packet is opened, given its payload, and ended: ending fills
// in its header, or drops it whole when it did not fit.
struct PacketWriter {
  unsigned char *data;
  size_t capacity;
  size_t used;    // bytes of the ended packets and of the open one
  size_t open;    // where the open packet's header starts
  size_t length;  // payload bytes given to the open packet, counted past the limit
  bool fits;      // the open packet is whole in the buffer and within MAX_PACKET
};

void msqlWriterInit(PacketWriter *w, unsigned char *buffer, size_t capacity);

// Opens a packet at the end of what is buffered.
void msqlWriterBegin(PacketWriter *w);

// Adds payload bytes to the open packet; bytes past MAX_PACKET or past the
// buffer are counted but not stored.
void msqlWriterAppend(PacketWriter *w, const void *bytes, size_t n);

// Copies n bytes as memcpy does; the few bytes of most column values
// without a call, in fixed-size moves that may overlap but stay within the
// n bytes. Both the row reader and the server's row writer copy millions.
inline void msqlCopyBytes(void *to_bytes, const void *from_bytes, size_t n) {
  char *to = static_cast<char *>(to_bytes);
  const char *from = static_cast<const char *>(from_bytes);
  if (n > 32) {
    memcpy(to, from, n);
  } else if (n >= 16) {
    memcpy(to, from, 16);
    memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    memcpy(to, from, 8);
    memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    memcpy(to, from, 4);
    memcpy(to + n - 4, from + n - 4, 4);
  } else if (n > 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

// Where payload bytes may be written in place, and how many; msqlWriterWrote
// then counts those written.
unsigned char *msqlWriterSpace(PacketWriter *w, size_t *room);
void msqlWriterWrote(PacketWriter *w, size_t n);

// Ends the open packet: true with its header filled in, or false when its
// payload (w->length bytes) did not fit, the packet then being dropped.
bool msqlWriterEnd(PacketWriter *w);

// Forgets every packet once the caller has written the buffer out.
void msqlWriterClear(PacketWriter *w);

#endif
