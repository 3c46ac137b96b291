// Protocol 23 framing without any socket: the length header and the scanner
// that tells a whole packet from a partial or a malformed one.
#include "msql/packet.h"

#include <cstdint>

void msqlEncodeLength(unsigned char header[PACKET_HEADER], int length) {
  uint32_t value = static_cast<uint32_t>(length);
  header[0] = value & 255;
  header[1] = (value >> 8) & 255;
  header[2] = (value >> 16) & 255;
  header[3] = (value >> 24) & 255;
}

int msqlDecodeLength(const unsigned char header[PACKET_HEADER]) {
  uint32_t value = static_cast<uint32_t>(header[0]) | (static_cast<uint32_t>(header[1]) << 8) |
                   (static_cast<uint32_t>(header[2]) << 16) |
                   (static_cast<uint32_t>(header[3]) << 24);
  return static_cast<int32_t>(value);
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
