// Arbitrary bytes as a received answer, on both framings, and as the quoted request of a
// queued error. The first bytes choose what the request looked like; the rest is the packet,
// copied into a block of exactly its length so that any read past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "icmp_packet.h"

namespace {

constexpr size_t kSetupSize = 16;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t Read32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

void Require(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// What every verdict must keep to, whatever the bytes were.
void CheckVerdict(const PacketVerdict& verdict, const std::vector<uint8_t>& packet) {
  Require(verdict.verdict == kNotOurs || verdict.verdict == kOurEchoReply ||
          verdict.verdict == kOurRouterError);
  Require((verdict.verdict == kNotOurs) == (verdict.reason != kReasonNone));
  Require(verdict.dataOffset <= packet.size());
  Require(verdict.dataLength <= packet.size() - verdict.dataOffset);
  Require(verdict.ttl >= -1 && verdict.ttl <= 255);
  // The caller copies the echoed data out of the packet: touch it as the caller would.
  volatile uint8_t sum = 0;
  for (size_t i = 0; i < verdict.dataLength; ++i) {
    sum = sum + packet[verdict.dataOffset + i];
  }
}

// A request built from the data, turned into the answer a host would send back, must be
// taken as the answer, carrying exactly the data that was sent.
void CheckRoundTrip(const EchoExpectation& expect, const uint8_t* data, size_t size) {
  std::vector<uint8_t> reply(kIcmpHeaderSize + size);
  size_t length =
      BuildEchoRequest(expect.identifier, expect.sequence, data, size, reply.data(), reply.size());
  Require(length == reply.size());
  Require(InternetChecksum(reply.data(), length) == 0);
  reply[0] = kIcmpEchoReply;
  reply[2] = 0;
  reply[3] = 0;
  uint16_t checksum = InternetChecksum(reply.data(), length);
  reply[2] = static_cast<uint8_t>(checksum >> 8);
  reply[3] = static_cast<uint8_t>(checksum);
  EchoExpectation datagram = expect;
  datagram.framing = kFramingDatagram;
  PacketVerdict verdict;
  ParseIcmpPacket(reply.data(), length, expect.destination, datagram, &verdict);
  Require(verdict.verdict == kOurEchoReply);
  Require(verdict.dataLength == size);
  Require(size == 0 || std::memcmp(reply.data() + verdict.dataOffset, data, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kSetupSize) {
    return 0;
  }
  EchoExpectation expect;
  expect.framing = (data[0] & 1) != 0 ? kFramingDatagram : kFramingRaw;
  expect.checkIdentifier = (data[0] & 2) != 0;
  expect.destination = Read32(data + 1);
  expect.identifier = Read16(data + 5);
  expect.sequence = Read16(data + 7);
  uint32_t from = Read32(data + 9);
  QueuedError error;
  error.origin = (data[0] & 4) != 0 ? kErrorOriginIcmp : data[13];
  error.type = data[13];
  error.code = data[14];
  error.offender = from;
  error.destination = (data[0] & 8) != 0 ? expect.destination : Read32(data + 10);
  const uint8_t* body = data + kSetupSize;
  size_t bodySize = size - kSetupSize;

  std::vector<uint8_t> packet(body, body + bodySize);
  PacketVerdict verdict;
  ParseIcmpPacket(packet.data(), packet.size(), from, expect, &verdict);
  CheckVerdict(verdict, packet);
  // The other framing over the same bytes: a raw socket's packet seen as a datagram and back.
  expect.framing = expect.framing == kFramingRaw ? kFramingDatagram : kFramingRaw;
  ParseIcmpPacket(packet.data(), packet.size(), from, expect, &verdict);
  CheckVerdict(verdict, packet);

  ParseQueuedError(packet.data(), packet.size(), error, expect, &verdict);
  CheckVerdict(verdict, packet);
  Require(verdict.verdict != kOurEchoReply);

  if (bodySize <= kIpv4MaxPacketSize - kIpv4MinHeaderSize - kIcmpHeaderSize) {
    CheckRoundTrip(expect, packet.data(), packet.size());
  }
  return 0;
}
