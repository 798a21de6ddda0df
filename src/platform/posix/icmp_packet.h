// ICMP echo packets without sockets: building a request, and deciding whether one received
// packet answers it. Every function reads only the bytes it is given, checked against the
// length it is given, so any bytes at all may be passed in.
#pragma once

#include <cstddef>
#include <cstdint>

// Only the helper library links these in, and it must export nothing but its three entry points.
#pragma GCC visibility push(hidden)

constexpr size_t kIcmpHeaderSize = 8;
constexpr size_t kIpv4MinHeaderSize = 20;
constexpr size_t kIpv4MaxPacketSize = 65535;

constexpr uint8_t kIcmpEchoReply = 0;
constexpr uint8_t kIcmpDestUnreachable = 3;
constexpr uint8_t kIcmpSourceQuench = 4;
constexpr uint8_t kIcmpEchoRequest = 8;
constexpr uint8_t kIcmpTimeExceeded = 11;
constexpr uint8_t kIcmpParamProblem = 12;

// How a socket hands over what it received.
constexpr int kFramingRaw = 0;       // IPv4 header (options included), then the ICMP message
constexpr int kFramingDatagram = 1;  // the ICMP message alone; address and TTL come beside it

// What the request we wait for looked like.
struct EchoExpectation {
  int framing;           // kFramingRaw or kFramingDatagram
  uint32_t destination;  // where the request went, network byte order
  uint16_t identifier;   // host byte order
  uint16_t sequence;     // host byte order
  bool checkIdentifier;  // false when the identifier is unknown (the kernel chose it)
};

// Verdicts.
constexpr int kNotOurs = 0;
constexpr int kOurEchoReply = 1;
constexpr int kOurRouterError = 2;

// Why a packet is not ours; kept so that callers and tests can tell the cases apart.
constexpr int kReasonNone = 0;
constexpr int kReasonTruncated = 1;    // shorter than a header or a length field says
constexpr int kReasonBadIpHeader = 2;  // version, header length or total length wrong
constexpr int kReasonNotIcmp = 3;      // IP protocol is not ICMP
constexpr int kReasonFragment = 4;     // a piece of a packet, not a whole one
constexpr int kReasonBadChecksum = 5;
constexpr int kReasonOwnRequest = 6;  // our own echo request, seen on the way out
constexpr int kReasonWrongType = 7;   // neither an echo reply nor an error we report
constexpr int kReasonWrongIdentifier = 8;
constexpr int kReasonWrongSequence = 9;
constexpr int kReasonWrongSource = 10;    // an echo reply from a host we did not ask
constexpr int kReasonNotOurRequest = 11;  // an error about some other packet
constexpr int kReasonNotIcmpOrigin = 12;  // a queued error the host raised, not a router

struct PacketVerdict {
  int verdict;        // kNotOurs, kOurEchoReply or kOurRouterError
  int reason;         // for kNotOurs; kReasonNone otherwise
  uint32_t source;    // answering host or router, network byte order
  uint32_t status;    // IP_SUCCESS or the IP_* status of the router's error
  int ttl;            // TTL of the answer's IP header; -1 when the framing does not carry it
  int tos;            // type of service of the answer's IP header; -1 likewise
  size_t dataOffset;  // the echoed data, as an offset into the bytes given
  size_t dataLength;
};

// The Internet checksum (RFC 1071) of the bytes, ready to store in network byte order. Over
// a message that holds its own checksum, the result is 0 when the message is intact.
uint16_t InternetChecksum(const uint8_t* bytes, size_t length);

// Writes an echo request (header, then the data) with its checksum into out. Returns its
// length, or 0 when it does not fit in capacity or would not fit in one IPv4 packet.
size_t BuildEchoRequest(uint16_t identifier, uint16_t sequence, const uint8_t* data,
                        size_t dataSize, uint8_t* out, size_t capacity);

// The IP_* status for an ICMP error of this type and code; false for a type that is no error
// about the packet we sent (redirects, echo traffic and the like).
bool IcmpErrorStatus(uint8_t type, uint8_t code, uint32_t* status);

// Decides what one packet read from the socket is. from is the sender's address as the
// socket reported it (network byte order); on a raw socket the IP header's own is used.
void ParseIcmpPacket(const uint8_t* bytes, size_t length, uint32_t from,
                     const EchoExpectation& expect, PacketVerdict* verdict);

// An error taken from a datagram socket's error queue, as the kernel describes it.
struct QueuedError {
  uint8_t origin;  // SO_EE_ORIGIN_*; only SO_EE_ORIGIN_ICMP comes from the network
  uint8_t type;    // ICMP type and code of the error
  uint8_t code;
  uint32_t offender;     // the router that sent it, network byte order
  uint32_t destination;  // destination of the packet it is about, network byte order
};

constexpr uint8_t kErrorOriginIcmp = 2;  // SO_EE_ORIGIN_ICMP

// Decides whether a queued error is about our request. payload is the request as the error
// quotes it: the ICMP header we sent and whatever data the router kept.
void ParseQueuedError(const uint8_t* payload, size_t length, const QueuedError& error,
                      const EchoExpectation& expect, PacketVerdict* verdict);

#pragma GCC visibility pop
