#include "icmp_packet.h"

#include <cstring>

#include "windows_names.h"

namespace {

constexpr uint8_t kProtocolIcmp = 1;

uint16_t ReadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void WriteBe16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

// Addresses stay in network byte order, as the socket interfaces want them.
uint32_t ReadAddress(const uint8_t* p) {
  uint32_t address;
  std::memcpy(&address, p, sizeof address);
  return address;
}

// Replies to a group or broadcast address come from whoever answers, not from the address
// the request went to.
bool IsGroupAddress(uint32_t address) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&address);
  return (p[0] >= 224 && p[0] <= 239) || address == 0xffffffffu;
}

void Reject(PacketVerdict* verdict, int reason) {
  verdict->verdict = kNotOurs;
  verdict->reason = reason;
}

// An IPv4 header that fits in length: its header length in bytes, or 0 with the reason.
size_t CheckIpHeader(const uint8_t* bytes, size_t length, int* reason) {
  if (length < kIpv4MinHeaderSize) {
    *reason = kReasonTruncated;
    return 0;
  }
  size_t headerLength = static_cast<size_t>(bytes[0] & 0x0f) * 4;
  if ((bytes[0] >> 4) != 4 || headerLength < kIpv4MinHeaderSize) {
    *reason = kReasonBadIpHeader;
    return 0;
  }
  if (headerLength > length) {
    *reason = kReasonTruncated;
    return 0;
  }
  return headerLength;
}

// The error quotes the IP header and the first 8 bytes of the packet it is about; that packet
// must be our echo request.
void CheckQuotedRequest(const uint8_t* quoted, size_t length, const EchoExpectation& expect,
                        PacketVerdict* verdict) {
  int reason = kReasonNone;
  size_t headerLength = CheckIpHeader(quoted, length, &reason);
  if (headerLength == 0) {
    Reject(verdict, reason == kReasonTruncated ? kReasonTruncated : kReasonNotOurRequest);
    return;
  }
  if (headerLength + kIcmpHeaderSize > length) {
    Reject(verdict, kReasonTruncated);
    return;
  }
  // A later fragment starts with data, not with the ICMP header.
  bool laterFragment = (ReadBe16(quoted + 6) & 0x1fff) != 0;
  if (quoted[9] != kProtocolIcmp || laterFragment ||
      ReadAddress(quoted + 16) != expect.destination) {
    Reject(verdict, kReasonNotOurRequest);
    return;
  }
  const uint8_t* icmp = quoted + headerLength;
  if (icmp[0] != kIcmpEchoRequest) {
    Reject(verdict, kReasonNotOurRequest);
    return;
  }
  if (expect.checkIdentifier && ReadBe16(icmp + 4) != expect.identifier) {
    Reject(verdict, kReasonWrongIdentifier);
    return;
  }
  if (ReadBe16(icmp + 6) != expect.sequence) {
    Reject(verdict, kReasonWrongSequence);
    return;
  }
  verdict->verdict = kOurRouterError;
  verdict->reason = kReasonNone;
}

// The ICMP message at bytes[offset], length bytes long; the caller has checked both.
void ParseIcmpMessage(const uint8_t* bytes, size_t offset, size_t length, uint32_t source,
                      const EchoExpectation& expect, PacketVerdict* verdict) {
  const uint8_t* icmp = bytes + offset;
  if (length < kIcmpHeaderSize) {
    Reject(verdict, kReasonTruncated);
    return;
  }
  if (InternetChecksum(icmp, length) != 0) {
    Reject(verdict, kReasonBadChecksum);
    return;
  }
  uint8_t type = icmp[0];
  bool identifierMatches = !expect.checkIdentifier || ReadBe16(icmp + 4) == expect.identifier;
  bool sequenceMatches = ReadBe16(icmp + 6) == expect.sequence;
  verdict->source = source;

  if (type == kIcmpEchoReply) {
    if (!identifierMatches) {
      Reject(verdict, kReasonWrongIdentifier);
    } else if (!sequenceMatches) {
      Reject(verdict, kReasonWrongSequence);
    } else if (source != expect.destination && !IsGroupAddress(expect.destination)) {
      Reject(verdict, kReasonWrongSource);
    } else {
      verdict->verdict = kOurEchoReply;
      verdict->reason = kReasonNone;
      verdict->status = IP_SUCCESS;
      verdict->dataOffset = offset + kIcmpHeaderSize;
      verdict->dataLength = length - kIcmpHeaderSize;
    }
    return;
  }
  if (type == kIcmpEchoRequest) {
    Reject(verdict, identifierMatches && sequenceMatches ? kReasonOwnRequest : kReasonWrongType);
    return;
  }
  uint32_t status = IP_GENERAL_FAILURE;
  if (!IcmpErrorStatus(type, icmp[1], &status)) {
    Reject(verdict, kReasonWrongType);
    return;
  }
  CheckQuotedRequest(icmp + kIcmpHeaderSize, length - kIcmpHeaderSize, expect, verdict);
  if (verdict->verdict == kOurRouterError) {
    verdict->status = status;
  }
}

void ClearVerdict(PacketVerdict* verdict, size_t length) {
  verdict->verdict = kNotOurs;
  verdict->reason = kReasonNone;
  verdict->source = 0;
  verdict->status = IP_GENERAL_FAILURE;
  verdict->ttl = -1;
  verdict->tos = -1;
  verdict->dataOffset = length;
  verdict->dataLength = 0;
}

}  // namespace

uint16_t InternetChecksum(const uint8_t* bytes, size_t length) {
  uint64_t sum = 0;
  size_t i = 0;
  for (; i + 1 < length; i += 2) {
    sum += ReadBe16(bytes + i);
  }
  if (i < length) {
    sum += static_cast<uint64_t>(bytes[i]) << 8;
  }
  while ((sum >> 16) != 0) {
    sum = (sum & 0xffff) + (sum >> 16);
  }
  return static_cast<uint16_t>(~sum & 0xffff);
}

size_t BuildEchoRequest(uint16_t identifier, uint16_t sequence, const uint8_t* data,
                        size_t dataSize, uint8_t* out, size_t capacity) {
  if (dataSize > kIpv4MaxPacketSize - kIpv4MinHeaderSize - kIcmpHeaderSize ||
      capacity < kIcmpHeaderSize + dataSize || (dataSize > 0 && data == nullptr)) {
    return 0;
  }
  out[0] = kIcmpEchoRequest;
  out[1] = 0;
  WriteBe16(out + 2, 0);
  WriteBe16(out + 4, identifier);
  WriteBe16(out + 6, sequence);
  if (dataSize > 0) {
    std::memcpy(out + kIcmpHeaderSize, data, dataSize);
  }
  size_t length = kIcmpHeaderSize + dataSize;
  WriteBe16(out + 2, InternetChecksum(out, length));
  return length;
}

bool IcmpErrorStatus(uint8_t type, uint8_t code, uint32_t* status) {
  switch (type) {
    case kIcmpDestUnreachable:
      switch (code) {
        case 0:   // network
        case 6:   // network unknown
        case 9:   // network administratively prohibited
        case 11:  // network, for this type of service
          *status = IP_DEST_NET_UNREACHABLE;
          break;
        case 1:   // host
        case 7:   // host unknown
        case 8:   // source host isolated
        case 10:  // host administratively prohibited
        case 12:  // host, for this type of service
          *status = IP_DEST_HOST_UNREACHABLE;
          break;
        case 2:
          *status = IP_DEST_PROT_UNREACHABLE;
          break;
        case 3:
          *status = IP_DEST_PORT_UNREACHABLE;
          break;
        case 4:  // fragmentation needed with DF set
          *status = IP_PACKET_TOO_BIG;
          break;
        case 5:  // source route failed
          *status = IP_BAD_ROUTE;
          break;
        default:
          *status = IP_DEST_UNREACHABLE;
          break;
      }
      return true;
    case kIcmpTimeExceeded:
      *status = code == 0   ? IP_TTL_EXPIRED_TRANSIT
                : code == 1 ? IP_TTL_EXPIRED_REASSEM
                            : IP_TIME_EXCEEDED;
      return true;
    case kIcmpParamProblem:
      *status = IP_PARAM_PROBLEM;
      return true;
    case kIcmpSourceQuench:
      *status = IP_SOURCE_QUENCH;
      return true;
    default:
      return false;
  }
}

void ParseIcmpPacket(const uint8_t* bytes, size_t length, uint32_t from,
                     const EchoExpectation& expect, PacketVerdict* verdict) {
  ClearVerdict(verdict, length);
  if (bytes == nullptr) {
    Reject(verdict, kReasonTruncated);
    return;
  }
  if (expect.framing == kFramingDatagram) {
    ParseIcmpMessage(bytes, 0, length, from, expect, verdict);
    return;
  }

  int reason = kReasonNone;
  size_t headerLength = CheckIpHeader(bytes, length, &reason);
  if (headerLength == 0) {
    Reject(verdict, reason);
    return;
  }
  // The total length rules, not the read length, but it may not claim bytes we never got.
  size_t totalLength = ReadBe16(bytes + 2);
  if (totalLength < headerLength) {
    Reject(verdict, kReasonBadIpHeader);
    return;
  }
  if (totalLength > length) {
    Reject(verdict, kReasonTruncated);
    return;
  }
  if ((ReadBe16(bytes + 6) & 0x3fff) != 0) {  // more fragments, or a fragment offset
    Reject(verdict, kReasonFragment);
    return;
  }
  if (bytes[9] != kProtocolIcmp) {
    Reject(verdict, kReasonNotIcmp);
    return;
  }
  ParseIcmpMessage(bytes, headerLength, totalLength - headerLength, ReadAddress(bytes + 12), expect,
                   verdict);
  if (verdict->verdict != kNotOurs) {
    verdict->ttl = bytes[8];
    verdict->tos = bytes[1];
  }
}

void ParseQueuedError(const uint8_t* payload, size_t length, const QueuedError& error,
                      const EchoExpectation& expect, PacketVerdict* verdict) {
  ClearVerdict(verdict, length);
  verdict->source = error.offender;
  if (error.origin != kErrorOriginIcmp) {
    Reject(verdict, kReasonNotIcmpOrigin);
    return;
  }
  uint32_t status = IP_GENERAL_FAILURE;
  if (!IcmpErrorStatus(error.type, error.code, &status)) {
    Reject(verdict, kReasonWrongType);
    return;
  }
  if (error.destination != expect.destination) {
    Reject(verdict, kReasonNotOurRequest);
    return;
  }
  if (payload == nullptr || length < kIcmpHeaderSize) {
    Reject(verdict, kReasonTruncated);
    return;
  }
  if (payload[0] != kIcmpEchoRequest) {
    Reject(verdict, kReasonNotOurRequest);
    return;
  }
  if (expect.checkIdentifier && ReadBe16(payload + 4) != expect.identifier) {
    Reject(verdict, kReasonWrongIdentifier);
    return;
  }
  if (ReadBe16(payload + 6) != expect.sequence) {
    Reject(verdict, kReasonWrongSequence);
    return;
  }
  verdict->verdict = kOurRouterError;
  verdict->reason = kReasonNone;
  verdict->status = status;
}
