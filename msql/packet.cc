// Protocol 23 framing without any socket: the length header, the scanner
// that tells a whole packet from a partial or a malformed one, and the
// reader and writer built on them.
#include "msql/packet.h"

#include <cstdint>
#include <cstring>

void msqlEncodeLength(unsigned char header[PACKET_HEADER], int length) {
  uint32_t value = static_cast<uint32_t>(length);
  header[0] = value & 255;
  header[1] = (value >> 8) & 255;
  header[2] = (value >> 16) & 255;
  header[3] = (value >> 24) & 255;
}

PacketScan msqlScanPacket(const unsigned char *data, size_t available, int *length,
                          size_t *consumed) {
  if (available < PACKET_HEADER) return PACKET_INCOMPLETE;
  int announced = msqlDecodeLength(data);
  *length = announced;
  if (announced > MAX_PACKET) return PACKET_TOO_LARGE;
  if (announced < 0) return PACKET_NEGATIVE;
  size_t whole = PACKET_HEADER + static_cast<size_t>(announced);
  if (available < whole) return PACKET_INCOMPLETE;
  *consumed = whole;
  return PACKET_COMPLETE;
}

void msqlReaderInit(PacketReader *r, unsigned char *buffer, size_t capacity) {
  r->data = buffer;
  r->capacity = capacity;
  r->start = r->end = 0;
}

PacketScan msqlReaderNext(PacketReader *r, const char **payload, int *length) {
  if (msqlReaderTakeWhole(r, payload, length)) return PACKET_COMPLETE;
  size_t consumed = 0;
  return msqlScanPacket(r->data + r->start, r->end - r->start, length, &consumed);
}

bool msqlReaderAwaitsHeader(const PacketReader *r) { return r->end - r->start < PACKET_HEADER; }

size_t msqlReaderMissing(const PacketReader *r) {
  size_t have = r->end - r->start;
  if (have < PACKET_HEADER) return PACKET_HEADER - have;
  int length = msqlDecodeLength(r->data + r->start);
  if (length < 0 || length > MAX_PACKET) return 0;
  size_t whole = PACKET_HEADER + static_cast<size_t>(length);
  return whole > have ? whole - have : 0;
}

unsigned char *msqlReaderSpace(PacketReader *r, size_t *room) {
  if (r->start == r->end) {
    r->start = r->end = 0;
  } else if (r->start > 0 && r->capacity - r->end < msqlReaderMissing(r)) {
    // Only the unread part of one packet moves, never more than a packet.
    memmove(r->data, r->data + r->start, r->end - r->start);
    r->end -= r->start;
    r->start = 0;
  }
  *room = r->capacity - r->end;
  return r->data + r->end;
}

void msqlReaderFed(PacketReader *r, size_t n) { r->end += n; }

size_t msqlReaderFeed(PacketReader *r, const void *bytes, size_t n) {
  size_t room = 0;
  unsigned char *space = msqlReaderSpace(r, &room);
  size_t take = n < room ? n : room;
  if (take == 0) return 0;
  memcpy(space, bytes, take);
  msqlReaderFed(r, take);
  return take;
}

void msqlWriterInit(PacketWriter *w, unsigned char *buffer, size_t capacity) {
  w->data = buffer;
  w->capacity = capacity;
  w->used = w->open = w->length = 0;
  w->fits = false;
}

void msqlWriterBegin(PacketWriter *w) {
  w->open = w->used;
  w->length = 0;
  w->fits = w->capacity - w->used >= PACKET_HEADER;
  if (w->fits) w->used += PACKET_HEADER;
}

unsigned char *msqlWriterSpace(PacketWriter *w, size_t *room) {
  size_t inBuffer = w->capacity - w->used;
  size_t inPacket = w->length < MAX_PACKET ? MAX_PACKET - w->length : 0;
  *room = w->fits ? (inBuffer < inPacket ? inBuffer : inPacket) : 0;
  return w->data + w->used;
}

void msqlWriterWrote(PacketWriter *w, size_t n) {
  w->used += n;
  w->length += n;
}

void msqlWriterAppend(PacketWriter *w, const void *bytes, size_t n) {
  if (n == 0) return;
  size_t room = 0;
  unsigned char *space = msqlWriterSpace(w, &room);
  if (n > room) {
    // Counted on, so that the caller can say how long it would have been.
    w->fits = false;
    w->length += n;
    return;
  }
  memcpy(space, bytes, n);
  msqlWriterWrote(w, n);
}

bool msqlWriterEnd(PacketWriter *w) {
  if (!w->fits || w->length > MAX_PACKET) {
    w->used = w->open;
    return false;
  }
  msqlEncodeLength(w->data + w->open, static_cast<int>(w->length));
  return true;
}

void msqlWriterClear(PacketWriter *w) { w->used = w->open = w->length = 0; }
