// Wire framing of protocol 23, apart from any socket, shared by the client
// library and korvid-server. A packet is a 4-byte little-endian signed payload
// length followed by that many payload bytes; nothing else frames it.
#ifndef KORVID_MSQL_PACKET_H
#define KORVID_MSQL_PACKET_H

#include <cstddef>

#include "msql/protocol.h"

// Bytes of the length header in front of every payload.
#define PACKET_HEADER 4

enum PacketScan {
  PACKET_COMPLETE,    // a whole packet is buffered: *length and *consumed are set
  PACKET_INCOMPLETE,  // more bytes are needed; nothing is consumed
  PACKET_TOO_LARGE,   // header announces more than MAX_PACKET (*length set)
  PACKET_NEGATIVE     // header announces a negative length (*length set)
};

// Header bytes of a payload length, least significant byte first.
void msqlEncodeLength(unsigned char header[PACKET_HEADER], int length);
int msqlDecodeLength(const unsigned char header[PACKET_HEADER]);

// Looks at the bytes buffered so far. On PACKET_COMPLETE the payload starts at
// data + PACKET_HEADER, is *length bytes long, and the packet takes *consumed
// bytes of the buffer. Incomplete and malformed are different answers.
PacketScan msqlScanPacket(const unsigned char *data, size_t available, int *length,
                          size_t *consumed);

#endif
