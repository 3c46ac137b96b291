// The packet reader and writer on their own, without a socket: what comes
// out of a byte stream fed in pieces, and the limits of both.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "msql/packet.h"
#include "tests/support/fake_server.h"

namespace {

// Feeds `bytes` in pieces cut at the given offsets and lists what the
// reader answers: each packet's payload in brackets, "large N" and
// "negative N" for a refused header, else "waiting N" at the end, N being
// the bytes the next packet still lacks.
std::string Outcomes(const std::string &bytes, const std::vector<size_t> &cuts) {
  std::vector<unsigned char> buffer(PACKET_READER_MIN);
  PacketReader r;
  msqlReaderInit(&r, buffer.data(), buffer.size());
  std::string out;
  size_t at = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(bytes.size());
  bool refused = false;
  for (size_t end : ends) {
    // Whatever does not fit yet goes in once packets have been taken out.
    while (!refused) {
      size_t took = msqlReaderFeed(&r, bytes.data() + at, end - at);
      at += took;
      const char *payload = nullptr;
      int length = 0;
      PacketScan scan = msqlReaderNext(&r, &payload, &length);
      if (scan == PACKET_COMPLETE) {
        out += "[" + std::string(payload, static_cast<size_t>(length)) + "]";
        continue;
      }
      if (scan == PACKET_TOO_LARGE) out += "large " + std::to_string(length);
      if (scan == PACKET_NEGATIVE) out += "negative " + std::to_string(length);
      refused = scan != PACKET_INCOMPLETE;
      if (!refused && at == end) break;
      if (!refused && took == 0) return out + "stuck: no room for the rest";
    }
  }
  if (!refused) out += "waiting " + std::to_string(msqlReaderMissing(&r));
  return out;
}

TEST(PacketReader, SameAnswersWhereverTheStreamIsCut) {
  struct Case {
    std::string bytes;
    std::string packets;
    size_t refusedAt;  // bytes up to the end of the refused header, or 0
  } cases[] = {
      {Packet("1:22") + Packet("") + Packet("-100:\n"), "[1:22][][-100:\n]waiting 4", 0},
      {Packet("abc") + Header(MAX_PACKET + 1) + "x", "[abc]large 131073", 11},
      {Packet("abc") + Header(-1), "[abc]negative -1", 11},
      {Packet("ab") + std::string("\x03\0", 2), "[ab]waiting 2", 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(Outcomes(c.bytes, {}), c.packets);
    for (size_t cut = 1; cut < c.bytes.size(); cut++) {
      EXPECT_EQ(Outcomes(c.bytes, {cut}), c.packets) << "cut at " << cut;
      // A stream that stops inside a header is incomplete, never refused.
      std::string first = Outcomes(c.bytes.substr(0, cut), {});
      bool refused = first.find("large") != std::string::npos || first.find("negative") != std::string::npos;
      EXPECT_EQ(refused, c.refusedAt > 0 && cut >= c.refusedAt) << "cut at " << cut;
    }
  }
}

// A buffer of exactly PACKET_READER_MIN takes the largest packet whole even
// when a leftover of the one before it sits in front.
TEST(PacketReader, LargestPacketFitsBehindAnyLeftover) {
  std::string big(MAX_PACKET, 'b');
  big[0] = 'B';
  big[MAX_PACKET - 1] = 'E';
  std::string bytes = Packet("small") + Packet(big) + Packet("after");
  for (size_t cut : {size_t{3}, size_t{9}, size_t{11}, size_t{70000}, bytes.size() - 3}) {
    EXPECT_EQ(Outcomes(bytes, {cut}), "[small][" + big + "][after]waiting 4") << cut;
  }
}

TEST(PacketWriter, PayloadLimitIsExactlyMaxPacket) {
  std::vector<unsigned char> buffer(2 * (PACKET_HEADER + MAX_PACKET));
  PacketWriter w;
  msqlWriterInit(&w, buffer.data(), buffer.size());
  std::string half(MAX_PACKET / 2, 'h');

  msqlWriterBegin(&w);
  msqlWriterAppend(&w, half.data(), half.size());
  msqlWriterAppend(&w, half.data(), half.size());
  ASSERT_TRUE(msqlWriterEnd(&w));
  EXPECT_EQ(w.used, static_cast<size_t>(PACKET_HEADER + MAX_PACKET));
  EXPECT_EQ(msqlDecodeLength(buffer.data()), MAX_PACKET);

  msqlWriterBegin(&w);
  msqlWriterAppend(&w, half.data(), half.size());
  msqlWriterAppend(&w, half.data(), half.size());
  msqlWriterAppend(&w, "x", 1);
  EXPECT_FALSE(msqlWriterEnd(&w));
  EXPECT_EQ(w.length, static_cast<size_t>(MAX_PACKET + 1));
  EXPECT_EQ(w.used, static_cast<size_t>(PACKET_HEADER + MAX_PACKET)) << "the packet is dropped whole";

  msqlWriterBegin(&w);
  msqlWriterAppend(&w, "ok", 2);
  ASSERT_TRUE(msqlWriterEnd(&w));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer.data()) + PACKET_HEADER + MAX_PACKET, 6),
            Packet("ok"));
}

TEST(PacketWriter, PacketThatDoesNotFitTheBufferIsDropped) {
  unsigned char buffer[PACKET_HEADER + 3];
  PacketWriter w;
  msqlWriterInit(&w, buffer, sizeof buffer);
  msqlWriterBegin(&w);
  msqlWriterAppend(&w, "abcd", 4);
  EXPECT_FALSE(msqlWriterEnd(&w));
  EXPECT_EQ(w.used, 0u);
  msqlWriterBegin(&w);
  msqlWriterAppend(&w, "abc", 3);
  EXPECT_TRUE(msqlWriterEnd(&w));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), sizeof buffer), Packet("abc"));
}

}  // namespace
