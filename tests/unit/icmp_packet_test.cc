#include "icmp_packet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "windows_names.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kId = 0x1234;
constexpr uint16_t kSeq = 0xbeef;

uint32_t Addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  uint8_t bytes[4] = {a, b, c, d};
  uint32_t address;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

const uint32_t kTarget = Addr(198, 51, 100, 7);
const uint32_t kRouter = Addr(203, 0, 113, 1);
const uint32_t kUs = Addr(192, 0, 2, 10);

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

void PutAddr(Bytes& b, size_t at, uint32_t address) { std::memcpy(&b[at], &address, 4); }

void FixIcmpChecksum(Bytes& b, size_t at) {
  Put16(b, at + 2, 0);
  Put16(b, at + 2, InternetChecksum(b.data() + at, b.size() - at));
}

// An ICMP message of the given type with identifier, sequence and data.
Bytes Icmp(uint8_t type, uint8_t code, uint16_t id, uint16_t seq, const Bytes& data) {
  Bytes b(kIcmpHeaderSize);
  b[0] = type;
  b[1] = code;
  Put16(b, 4, id);
  Put16(b, 6, seq);
  b.insert(b.end(), data.begin(), data.end());
  FixIcmpChecksum(b, 0);
  return b;
}

// An IPv4 header with optionWords 32-bit words of options (no-operation bytes) in front of the
// payload.
Bytes Ip(uint32_t source, uint32_t destination, uint8_t ttl, const Bytes& payload,
         int optionWords = 0, uint8_t protocol = 1) {
  size_t headerLength = kIpv4MinHeaderSize + 4 * static_cast<size_t>(optionWords);
  Bytes b(headerLength, 1);  // option byte 1 is "no operation"
  b[0] = static_cast<uint8_t>(0x40 | (headerLength / 4));
  b[1] = 0;
  Put16(b, 2, static_cast<uint16_t>(headerLength + payload.size()));
  Put16(b, 4, 0x4242);
  Put16(b, 6, 0x4000);  // don't fragment
  b[8] = ttl;
  b[9] = protocol;
  Put16(b, 10, 0);
  PutAddr(b, 12, source);
  PutAddr(b, 16, destination);
  Put16(b, 10, InternetChecksum(b.data(), headerLength));
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

// Varied bytes, so that a cut always shows in the checksum: cutting six bytes of 0xaa, say,
// would leave the sum unchanged.
Bytes VariedData(size_t size) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) {
    data[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  return data;
}

const Bytes kData = VariedData(32);

Bytes OurRequest() { return Icmp(kIcmpEchoRequest, 0, kId, kSeq, kData); }

// A router's error about packet: its IP header and the first 8 bytes after it.
Bytes RouterError(uint8_t type, uint8_t code, const Bytes& packet, uint8_t ttl = 250) {
  size_t quoted = (packet[0] & 0x0f) * 4 + 8;
  Bytes inner(packet.begin(), packet.begin() + static_cast<long>(std::min(quoted, packet.size())));
  return Ip(kRouter, kUs, ttl, Icmp(type, code, 0, 0, inner));
}

EchoExpectation Expect(int framing, bool checkIdentifier = true) {
  return EchoExpectation{framing, kTarget, kId, kSeq, checkIdentifier};
}

// Parses a copy the exact size of the packet, so that a read past its end is a read past an
// allocation.
PacketVerdict Parse(const Bytes& packet, const EchoExpectation& expect, uint32_t from = kTarget) {
  Bytes exact(packet);
  exact.shrink_to_fit();
  PacketVerdict verdict;
  ParseIcmpPacket(exact.empty() ? nullptr : exact.data(), exact.size(), from, expect, &verdict);
  return verdict;
}

TEST(InternetChecksumTest, KnownVectorsAndOddLength) {
  // The worked example of RFC 1071: the sum of these words is 0xddf2.
  const uint8_t example[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  EXPECT_EQ(InternetChecksum(example, sizeof example), 0x220d);
  // A trailing odd byte counts as the high byte of a word padded with zero.
  const uint8_t odd[] = {0x12, 0x34, 0x56};
  EXPECT_EQ(InternetChecksum(odd, sizeof odd), static_cast<uint16_t>(~(0x1234 + 0x5600)));
  EXPECT_EQ(InternetChecksum(nullptr, 0), 0xffff);
  // Carries fold back more than once.
  Bytes ones(40000, 0xff);
  EXPECT_EQ(InternetChecksum(ones.data(), ones.size()), 0);
}

TEST(BuildEchoRequestTest, HeaderDataAndChecksum) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{31}, size_t{32}, size_t{65500}, size_t{65507}}) {
    SCOPED_TRACE(size);
    Bytes data = VariedData(size);
    Bytes out(kIcmpHeaderSize + size);
    ASSERT_EQ(BuildEchoRequest(kId, kSeq, data.data(), size, out.data(), out.size()),
              kIcmpHeaderSize + size);
    EXPECT_EQ(out[0], kIcmpEchoRequest);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ((out[4] << 8) | out[5], kId);
    EXPECT_EQ((out[6] << 8) | out[7], kSeq);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin() + kIcmpHeaderSize));
    EXPECT_EQ(InternetChecksum(out.data(), out.size()), 0);
  }
}

TEST(BuildEchoRequestTest, RefusesWhatDoesNotFit) {
  Bytes data(65508, 0xaa);
  Bytes out(70000);
  EXPECT_EQ(BuildEchoRequest(kId, kSeq, data.data(), 65508, out.data(), out.size()), 0u)
      << "larger than one IPv4 packet can carry";
  EXPECT_EQ(BuildEchoRequest(kId, kSeq, data.data(), 32, out.data(), 39), 0u);
  EXPECT_EQ(BuildEchoRequest(kId, kSeq, nullptr, 32, out.data(), out.size()), 0u);
  EXPECT_EQ(BuildEchoRequest(kId, kSeq, nullptr, 0, out.data(), kIcmpHeaderSize), kIcmpHeaderSize);
}

TEST(ParseIcmpPacketTest, EchoReplyOnBothFramings) {
  struct Case {
    const char* name;
    Bytes packet;
    int framing;
    size_t dataOffset;
    int ttl;
  };
  Bytes reply = Icmp(kIcmpEchoReply, 0, kId, kSeq, kData);
  const Case cases[] = {
      {"raw", Ip(kTarget, kUs, 64, reply), kFramingRaw, 28, 64},
      {"raw with 40 bytes of IP options", Ip(kTarget, kUs, 128, reply, 10), kFramingRaw, 68, 128},
      {"raw, TTL 1", Ip(kTarget, kUs, 1, reply), kFramingRaw, 28, 1},
      {"datagram", reply, kFramingDatagram, 8, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacketVerdict v = Parse(c.packet, Expect(c.framing));
    ASSERT_EQ(v.verdict, kOurEchoReply) << "reason " << v.reason;
    EXPECT_EQ(v.source, kTarget);
    EXPECT_EQ(v.status, IP_SUCCESS);
    EXPECT_EQ(v.ttl, c.ttl);
    EXPECT_EQ(v.dataOffset, c.dataOffset);
    ASSERT_EQ(v.dataLength, kData.size());
    EXPECT_EQ(std::memcmp(c.packet.data() + v.dataOffset, kData.data(), kData.size()), 0);
  }
}

TEST(ParseIcmpPacketTest, RawUsesTheIpHeadersTotalLengthAndSource) {
  // Bytes beyond the total length are not part of the packet (and not covered by its checksum).
  Bytes padded = Ip(kTarget, kUs, 64, Icmp(kIcmpEchoReply, 0, kId, kSeq, kData));
  padded.insert(padded.end(), 6, 0x55);
  PacketVerdict v = Parse(padded, Expect(kFramingRaw), Addr(127, 0, 0, 1));
  ASSERT_EQ(v.verdict, kOurEchoReply) << "reason " << v.reason;
  EXPECT_EQ(v.dataLength, kData.size());
  EXPECT_EQ(v.source, kTarget) << "the IP header names the sender, not the socket's address";
}

TEST(ParseIcmpPacketTest, EmptyEchoReply) {
  Bytes reply = Icmp(kIcmpEchoReply, 0, kId, kSeq, {});
  for (int framing : {kFramingRaw, kFramingDatagram}) {
    Bytes packet = framing == kFramingRaw ? Ip(kTarget, kUs, 64, reply) : reply;
    PacketVerdict v = Parse(packet, Expect(framing));
    ASSERT_EQ(v.verdict, kOurEchoReply) << "framing " << framing;
    EXPECT_EQ(v.dataLength, 0u);
    EXPECT_EQ(v.dataOffset, packet.size());
  }
}

TEST(ParseIcmpPacketTest, RejectsWhatIsNotOurAnswer) {
  struct Case {
    const char* name;
    Bytes message;  // the ICMP message; wrapped in an IP header for the raw framing
    bool checkIdentifier;
    uint32_t source;
    int reason;
  };
  Bytes badChecksum = Icmp(kIcmpEchoReply, 0, kId, kSeq, kData);
  badChecksum[20] ^= 0x01;
  Bytes badChecksumField = Icmp(kIcmpEchoReply, 0, kId, kSeq, kData);
  badChecksumField[3] ^= 0x80;
  const Case cases[] = {
      {"wrong identifier", Icmp(kIcmpEchoReply, 0, kId + 1, kSeq, kData), true, kTarget,
       kReasonWrongIdentifier},
      {"wrong sequence", Icmp(kIcmpEchoReply, 0, kId, kSeq - 1, kData), true, kTarget,
       kReasonWrongSequence},
      {"wrong sequence, identifier unknown", Icmp(kIcmpEchoReply, 0, 7, kSeq + 1, kData), false,
       kTarget, kReasonWrongSequence},
      {"corrupted data", badChecksum, true, kTarget, kReasonBadChecksum},
      {"corrupted checksum", badChecksumField, true, kTarget, kReasonBadChecksum},
      {"our own request", OurRequest(), true, kTarget, kReasonOwnRequest},
      {"someone else's request", Icmp(kIcmpEchoRequest, 0, kId + 9, kSeq, kData), true, kTarget,
       kReasonWrongType},
      {"timestamp reply", Icmp(14, 0, kId, kSeq, kData), true, kTarget, kReasonWrongType},
      {"redirect", Icmp(5, 1, kId, kSeq, kData), true, kTarget, kReasonWrongType},
      {"reply from a host not asked", Icmp(kIcmpEchoReply, 0, kId, kSeq, kData), true,
       Addr(198, 51, 100, 8), kReasonWrongSource},
  };
  for (const Case& c : cases) {
    for (int framing : {kFramingRaw, kFramingDatagram}) {
      SCOPED_TRACE(std::string(c.name) + (framing == kFramingRaw ? " (raw)" : " (datagram)"));
      Bytes packet = framing == kFramingRaw ? Ip(c.source, kUs, 64, c.message) : c.message;
      PacketVerdict v = Parse(packet, Expect(framing, c.checkIdentifier), c.source);
      EXPECT_EQ(v.verdict, kNotOurs);
      EXPECT_EQ(v.reason, c.reason);
    }
  }
}

TEST(ParseIcmpPacketTest, IdentifierIgnoredOnlyWhenUnknown) {
  Bytes reply = Icmp(kIcmpEchoReply, 0, 0x0777, kSeq, kData);
  EXPECT_EQ(Parse(reply, Expect(kFramingDatagram, false)).verdict, kOurEchoReply);
  EXPECT_EQ(Parse(reply, Expect(kFramingDatagram, true)).reason, kReasonWrongIdentifier);
}

TEST(ParseIcmpPacketTest, GroupDestinationAcceptsAnyResponder) {
  EchoExpectation expect = Expect(kFramingRaw);
  expect.destination = Addr(224, 0, 0, 1);
  Bytes packet = Ip(kTarget, kUs, 64, Icmp(kIcmpEchoReply, 0, kId, kSeq, kData));
  PacketVerdict v = Parse(packet, expect);
  ASSERT_EQ(v.verdict, kOurEchoReply);
  EXPECT_EQ(v.source, kTarget);
}

TEST(ParseIcmpPacketTest, TruncatedAtEveryLength) {
  // A datagram socket's packet has no length field: there the checksum is what shows a cut.
  Bytes reply = Icmp(kIcmpEchoReply, 0, kId, kSeq, kData);
  Bytes raw = Ip(kTarget, kUs, 64, reply, 2);
  Bytes error = RouterError(kIcmpTimeExceeded, 0, Ip(kUs, kTarget, 1, OurRequest()));
  struct Case {
    const char* name;
    Bytes packet;
    int framing;
    uint32_t from;
  };
  const Case cases[] = {
      {"raw echo reply", raw, kFramingRaw, kTarget},
      {"datagram echo reply", reply, kFramingDatagram, kTarget},
      {"raw router error", error, kFramingRaw, kRouter},
  };
  for (const Case& c : cases) {
    ASSERT_NE(Parse(c.packet, Expect(c.framing), c.from).verdict, kNotOurs) << c.name;
    for (size_t length = 0; length < c.packet.size(); ++length) {
      Bytes cut(c.packet.begin(), c.packet.begin() + static_cast<long>(length));
      PacketVerdict v = Parse(cut, Expect(c.framing), c.from);
      EXPECT_EQ(v.verdict, kNotOurs) << c.name << " cut to " << length << " bytes";
    }
  }
}

TEST(ParseIcmpPacketTest, IpHeaderFieldsThatLie) {
  Bytes good = Ip(kTarget, kUs, 64, Icmp(kIcmpEchoReply, 0, kId, kSeq, kData), 1);
  ASSERT_EQ(good.size(), 24u + 8 + 32);
  struct Case {
    const char* name;
    size_t at;
    uint8_t value;
    int reason;
  };
  const Case cases[] = {
      {"version 6", 0, 0x66, kReasonBadIpHeader},
      {"header length 4 bytes", 0, 0x41, kReasonBadIpHeader},
      {"header length 0", 0, 0x40, kReasonBadIpHeader},
      {"header length 60 bytes, leaving 4 for ICMP", 0, 0x4f, kReasonTruncated},
      {"header length 28 bytes, into the ICMP header", 0, 0x47, kReasonBadChecksum},
      {"total length one more than read", 3, 65, kReasonTruncated},
      {"total length 65535", 2, 0xff, kReasonTruncated},
      {"total length shorter than the header", 3, 20, kReasonBadIpHeader},
      {"total length leaves no ICMP header", 3, 31, kReasonTruncated},
      {"total length cuts the data", 3, 40, kReasonBadChecksum},
      {"more fragments", 6, 0x20, kReasonFragment},
      {"fragment offset", 7, 0x01, kReasonFragment},
      {"protocol UDP", 9, 17, kReasonNotIcmp},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes packet = good;
    packet[c.at] = c.value;
    PacketVerdict v = Parse(packet, Expect(kFramingRaw));
    EXPECT_EQ(v.verdict, kNotOurs);
    EXPECT_EQ(v.reason, c.reason);
  }
  // A header length reaching beyond a short packet is a truncation, never a read past it.
  Bytes shortPacket(good.begin(), good.begin() + 40);
  shortPacket[0] = 0x4f;
  EXPECT_EQ(Parse(shortPacket, Expect(kFramingRaw)).reason, kReasonTruncated);
}

TEST(ParseIcmpPacketTest, RouterErrorsMapToStatuses) {
  struct Case {
    uint8_t type;
    uint8_t code;
    ULONG status;
  };
  const Case cases[] = {
      {kIcmpDestUnreachable, 0, IP_DEST_NET_UNREACHABLE},
      {kIcmpDestUnreachable, 1, IP_DEST_HOST_UNREACHABLE},
      {kIcmpDestUnreachable, 2, IP_DEST_PROT_UNREACHABLE},
      {kIcmpDestUnreachable, 3, IP_DEST_PORT_UNREACHABLE},
      {kIcmpDestUnreachable, 4, IP_PACKET_TOO_BIG},
      {kIcmpDestUnreachable, 5, IP_BAD_ROUTE},
      {kIcmpDestUnreachable, 6, IP_DEST_NET_UNREACHABLE},
      {kIcmpDestUnreachable, 7, IP_DEST_HOST_UNREACHABLE},
      {kIcmpDestUnreachable, 10, IP_DEST_HOST_UNREACHABLE},
      {kIcmpDestUnreachable, 13, IP_DEST_UNREACHABLE},
      {kIcmpTimeExceeded, 0, IP_TTL_EXPIRED_TRANSIT},
      {kIcmpTimeExceeded, 1, IP_TTL_EXPIRED_REASSEM},
      {kIcmpTimeExceeded, 7, IP_TIME_EXCEEDED},
      {kIcmpParamProblem, 0, IP_PARAM_PROBLEM},
      {kIcmpSourceQuench, 0, IP_SOURCE_QUENCH},
  };
  Bytes sent = Ip(kUs, kTarget, 64, OurRequest());
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int{c.type} << " code " << int{c.code});
    ULONG status = 0;
    ASSERT_TRUE(IcmpErrorStatus(c.type, c.code, &status));
    EXPECT_EQ(status, c.status);
    PacketVerdict v = Parse(RouterError(c.type, c.code, sent, 61), Expect(kFramingRaw), kRouter);
    ASSERT_EQ(v.verdict, kOurRouterError) << "reason " << v.reason;
    EXPECT_EQ(v.status, c.status);
    EXPECT_EQ(v.source, kRouter);
    EXPECT_EQ(v.ttl, 61);
    EXPECT_EQ(v.dataLength, 0u);
  }
  ULONG status = 0;
  for (uint8_t type : {kIcmpEchoReply, kIcmpEchoRequest, uint8_t{5}, uint8_t{13}, uint8_t{255}}) {
    EXPECT_FALSE(IcmpErrorStatus(type, 0, &status)) << "type " << int{type};
  }
}

TEST(ParseIcmpPacketTest, RouterErrorMustQuoteOurRequest) {
  Bytes sent = Ip(kUs, kTarget, 64, OurRequest());
  auto quoting = [](Bytes packet) { return RouterError(kIcmpDestUnreachable, 1, packet); };
  Bytes otherProtocol = Ip(kUs, kTarget, 64, OurRequest(), 0, 17);
  Bytes laterFragment = sent;
  Put16(laterFragment, 6, 0x0010);
  Bytes badInnerVersion = sent;
  badInnerVersion[0] = 0x65;
  // Routers may quote more than 8 bytes, and our request may have carried IP options.
  Bytes quotesAll = Ip(kRouter, kUs, 64, Icmp(kIcmpTimeExceeded, 0, 0, 0, sent));
  Bytes shortQuote = quoting(sent);
  shortQuote.resize(shortQuote.size() - 1);
  Put16(shortQuote, 2, static_cast<uint16_t>(shortQuote.size()));
  FixIcmpChecksum(shortQuote, 20);
  Bytes badOuterChecksum = quoting(sent);
  badOuterChecksum[24] ^= 0x10;

  struct Case {
    const char* name;
    Bytes packet;
    int verdict;
    int reason;
  };
  const Case cases[] = {
      {"our request", quoting(sent), kOurRouterError, kReasonNone},
      {"our request with IP options", quoting(Ip(kUs, kTarget, 64, OurRequest(), 3)),
       kOurRouterError, kReasonNone},
      {"whole request quoted", quotesAll, kOurRouterError, kReasonNone},
      {"request to another host", quoting(Ip(kUs, kRouter, 64, OurRequest())), kNotOurs,
       kReasonNotOurRequest},
      {"another identifier",
       quoting(Ip(kUs, kTarget, 64, Icmp(kIcmpEchoRequest, 0, kId ^ 1, kSeq, kData))), kNotOurs,
       kReasonWrongIdentifier},
      {"an earlier request",
       quoting(Ip(kUs, kTarget, 64, Icmp(kIcmpEchoRequest, 0, kId, kSeq - 1, kData))), kNotOurs,
       kReasonWrongSequence},
      {"an echo reply, not a request",
       quoting(Ip(kUs, kTarget, 64, Icmp(kIcmpEchoReply, 0, kId, kSeq, kData))), kNotOurs,
       kReasonNotOurRequest},
      {"a UDP packet", quoting(otherProtocol), kNotOurs, kReasonNotOurRequest},
      {"a later fragment", quoting(laterFragment), kNotOurs, kReasonNotOurRequest},
      {"quoted header not IPv4", quoting(badInnerVersion), kNotOurs, kReasonNotOurRequest},
      {"quote one byte short", shortQuote, kNotOurs, kReasonTruncated},
      {"quote without IP header", Ip(kRouter, kUs, 64, Icmp(kIcmpDestUnreachable, 1, 0, 0, {})),
       kNotOurs, kReasonTruncated},
      {"bad checksum on the error", badOuterChecksum, kNotOurs, kReasonBadChecksum},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacketVerdict v = Parse(c.packet, Expect(kFramingRaw), kRouter);
    EXPECT_EQ(v.verdict, c.verdict);
    EXPECT_EQ(v.reason, c.reason);
  }
}

TEST(ParseQueuedErrorTest, OnlyRouterErrorsAboutOurRequest) {
  Bytes request = OurRequest();
  Bytes header(request.begin(), request.begin() + kIcmpHeaderSize);
  Bytes otherSeq = Icmp(kIcmpEchoRequest, 0, kId, kSeq + 1, kData);
  Bytes otherId = Icmp(kIcmpEchoRequest, 0, kId + 1, kSeq, kData);
  Bytes reply = Icmp(kIcmpEchoReply, 0, kId, kSeq, kData);
  const QueuedError hostUnreachable = {kErrorOriginIcmp, kIcmpDestUnreachable, 1, kRouter, kTarget};
  QueuedError local = hostUnreachable;
  local.origin = 1;  // raised by this host, e.g. a message too long to send
  QueuedError elsewhere = hostUnreachable;
  elsewhere.destination = kRouter;
  QueuedError ttl = hostUnreachable;
  ttl.type = kIcmpTimeExceeded;
  ttl.code = 0;
  QueuedError redirect = hostUnreachable;
  redirect.type = 5;

  struct Case {
    const char* name;
    Bytes payload;
    QueuedError error;
    bool checkIdentifier;
    int verdict;
    int reason;
    ULONG status;
  };
  const Case cases[] = {
      {"whole request", request, hostUnreachable, true, kOurRouterError, kReasonNone,
       IP_DEST_HOST_UNREACHABLE},
      {"header only", header, ttl, true, kOurRouterError, kReasonNone, IP_TTL_EXPIRED_TRANSIT},
      {"identifier unknown", otherId, hostUnreachable, false, kOurRouterError, kReasonNone,
       IP_DEST_HOST_UNREACHABLE},
      {"header cut short", Bytes(header.begin(), header.end() - 1), hostUnreachable, true, kNotOurs,
       kReasonTruncated, 0},
      {"empty", {}, hostUnreachable, true, kNotOurs, kReasonTruncated, 0},
      {"an earlier request", otherSeq, hostUnreachable, true, kNotOurs, kReasonWrongSequence, 0},
      {"another identifier", otherId, hostUnreachable, true, kNotOurs, kReasonWrongIdentifier, 0},
      {"not a request", reply, hostUnreachable, true, kNotOurs, kReasonNotOurRequest, 0},
      {"to another host", request, elsewhere, true, kNotOurs, kReasonNotOurRequest, 0},
      {"raised locally", request, local, true, kNotOurs, kReasonNotIcmpOrigin, 0},
      {"a redirect", request, redirect, true, kNotOurs, kReasonWrongType, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes exact(c.payload);
    exact.shrink_to_fit();
    PacketVerdict v;
    ParseQueuedError(exact.empty() ? nullptr : exact.data(), exact.size(), c.error,
                     Expect(kFramingDatagram, c.checkIdentifier), &v);
    EXPECT_EQ(v.verdict, c.verdict);
    EXPECT_EQ(v.reason, c.reason);
    if (c.verdict == kOurRouterError) {
      EXPECT_EQ(v.status, c.status);
      EXPECT_EQ(v.source, kRouter);
    }
  }
}

// Damaged copies of good packets: whatever the parser says, an answer it accepts is ours and
// its data lies inside the bytes it was given.
TEST(ParseIcmpPacketTest, DamagedPacketsNeverYieldForeignOrOutOfBoundsAnswers) {
  const Bytes seeds[] = {
      Ip(kTarget, kUs, 64, Icmp(kIcmpEchoReply, 0, kId, kSeq, kData), 1),
      RouterError(kIcmpDestUnreachable, 3, Ip(kUs, kTarget, 64, OurRequest())),
      Icmp(kIcmpEchoReply, 0, kId, kSeq, kData),
  };
  std::mt19937 random(12345);
  int accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes packet = seeds[round % 3];
    int framing = round % 3 == 2 ? kFramingDatagram : kFramingRaw;
    int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) {
      packet[random() % packet.size()] = static_cast<uint8_t>(random());
    }
    if (random() % 4 == 0) {
      packet.resize(random() % (packet.size() + 16), static_cast<uint8_t>(random()));
    }
    Bytes exact(packet);
    exact.shrink_to_fit();
    PacketVerdict v;
    ParseIcmpPacket(exact.data(), exact.size(), kTarget, Expect(framing), &v);
    if (v.verdict == kNotOurs) {
      EXPECT_NE(v.reason, kReasonNone);
      continue;
    }
    ++accepted;
    ASSERT_LE(v.dataOffset, exact.size());
    ASSERT_LE(v.dataLength, exact.size() - v.dataOffset);
    // Whatever was accepted still carries our sequence number where the framing puts it.
    size_t icmpAt = framing == kFramingRaw ? (exact[0] & 0x0f) * 4u : 0u;
    if (v.verdict == kOurEchoReply) {
      EXPECT_EQ((exact[icmpAt + 6] << 8) | exact[icmpAt + 7], kSeq);
    }
  }
  EXPECT_GT(accepted, 0) << "some damage (in the data, say) leaves an acceptable packet";
}

}  // namespace
