// The ICMP helper library for POSIX: the three entry points of the Windows one, over an ICMP
// datagram socket where the system allows one to this user, else over a raw ICMP socket.
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <linux/errqueue.h>  // needs struct timespec from time.h
#include <linux/icmp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "icmp_packet.h"
#include "windows_names.h"

#define ICMP_EXPORT __attribute__((visibility("default")))

static_assert(kErrorOriginIcmp == SO_EE_ORIGIN_ICMP);

namespace {

// Room for the largest IPv4 packet, so that nothing is ever cut on reading.
constexpr size_t kPacketBufferSize = kIpv4MaxPacketSize + 1;

struct EchoHandle {
  int socket;
  int framing;          // kFramingDatagram or kFramingRaw
  uint16_t identifier;  // ours on a raw socket; on a datagram socket the kernel's
  uint16_t sequence;    // of the last request sent
  uint8_t* request;     // kPacketBufferSize bytes each
  uint8_t* packet;
};

int64_t MonotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Every handle starts from fresh random numbers: the library keeps nothing between loads, and
// a late answer to an earlier request must not pass for the answer to this one.
void RandomBytes(void* out, size_t size) {
  uint8_t* bytes = static_cast<uint8_t*>(out);
  size_t filled = 0;
  while (filled < size) {
    ssize_t got = getrandom(bytes + filled, size - filled, GRND_NONBLOCK);
    if (got <= 0) {
      break;
    }
    filled += static_cast<size_t>(got);
  }
  if (filled < size) {  // no entropy to be had yet: the clock and the process at least differ
    uint64_t mix = static_cast<uint64_t>(MonotonicNs()) ^ (static_cast<uint64_t>(getpid()) << 32) ^
                   reinterpret_cast<uintptr_t>(out);
    for (; filled < size; ++filled) {
      mix = mix * 6364136223846793005ull + 1442695040888963407ull;
      bytes[filled] = static_cast<uint8_t>(mix >> 56);
    }
  }
}

void SetOption(int socket, int level, int name, int value) {
  setsockopt(socket, level, name, &value, sizeof value);
}

// Only what can answer an echo request gets through; our own requests on loopback and the
// rest of the machine's ICMP traffic stay in the kernel.
void FilterRawSocket(int socket) {
  icmp_filter filter;
  filter.data = ~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_SOURCE_QUENCH) |
                  (1u << ICMP_TIME_EXCEEDED) | (1u << ICMP_PARAMETERPROB));
  setsockopt(socket, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
}

bool OpenSocket(EchoHandle* handle) {
  int datagram = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (datagram >= 0) {
    handle->socket = datagram;
    handle->framing = kFramingDatagram;
    SetOption(datagram, IPPROTO_IP, IP_RECVTTL, 1);
    SetOption(datagram, IPPROTO_IP, IP_RECVTOS, 1);
    SetOption(datagram, IPPROTO_IP, IP_RECVERR, 1);  // router errors come on the error queue
    return true;
  }
  int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (raw >= 0) {
    handle->socket = raw;
    handle->framing = kFramingRaw;
    FilterRawSocket(raw);
    return true;
  }
  return false;
}

bool ValidHandle(HANDLE icmpHandle) {
  return icmpHandle != nullptr && icmpHandle != INVALID_HANDLE_VALUE;
}

// Applies the caller's TTL and type of service to this request, or the system's defaults.
void ApplyOptions(const EchoHandle* handle, const IP_OPTION_INFORMATION* options) {
  int ttl = options != nullptr && options->Ttl != 0 ? options->Ttl : -1;  // -1: the default
  SetOption(handle->socket, IPPROTO_IP, IP_TTL, ttl);
  SetOption(handle->socket, IPPROTO_IP, IP_TOS, options != nullptr ? options->Tos : 0);
}

// The kernel chooses the identifier of a datagram socket when it first sends.
bool DatagramIdentifier(int socket, uint16_t* identifier) {
  sockaddr_in local;
  socklen_t size = sizeof local;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
      local.sin_family != AF_INET || local.sin_port == 0) {
    return false;
  }
  *identifier = ntohs(local.sin_port);
  return true;
}

void ReadIpCmsgs(msghdr* message, PacketVerdict* verdict) {
  for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
    if (c->cmsg_level != IPPROTO_IP) {
      continue;
    }
    if (c->cmsg_type == IP_TTL && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
      int ttl;
      std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
      verdict->ttl = ttl;
    } else if (c->cmsg_type == IP_TOS && c->cmsg_len >= CMSG_LEN(1)) {
      verdict->tos = *CMSG_DATA(c);
    }
  }
}

union ControlBuffer {
  cmsghdr align;
  char bytes[512];
};

// Reads one packet from the socket, or one error from its queue. Returns false when there is
// nothing more to read; verdict says whether what was read is the answer.
bool ReadOne(EchoHandle* handle, bool errorQueue, const EchoExpectation& expect,
             PacketVerdict* verdict) {
  sockaddr_in from;
  std::memset(&from, 0, sizeof from);
  iovec part = {handle->packet, kPacketBufferSize};
  ControlBuffer control;
  msghdr message;
  std::memset(&message, 0, sizeof message);
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.bytes;
  message.msg_controllen = sizeof control.bytes;

  ssize_t got;
  do {
    got = recvmsg(handle->socket, &message, MSG_DONTWAIT | (errorQueue ? MSG_ERRQUEUE : 0));
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && !errorQueue) {
      // A pending socket error (a refused or unreachable send) was reported and is now cleared;
      // the answer may still follow.
      verdict->verdict = kNotOurs;
      return true;
    }
    return false;
  }
  size_t length = static_cast<size_t>(got);
  if ((message.msg_flags & MSG_TRUNC) != 0) {
    verdict->verdict = kNotOurs;
    return true;
  }

  if (!errorQueue) {
    ParseIcmpPacket(handle->packet, length, from.sin_addr.s_addr, expect, verdict);
    if (verdict->verdict != kNotOurs && handle->framing == kFramingDatagram) {
      ReadIpCmsgs(&message, verdict);
    }
    return true;
  }

  const sock_extended_err* extended = nullptr;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR &&
        c->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err) + sizeof(sockaddr_in))) {
      extended = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
    }
  }
  if (extended == nullptr) {
    verdict->verdict = kNotOurs;
    return true;
  }
  sockaddr_in offender;
  std::memcpy(&offender, SO_EE_OFFENDER(extended), sizeof offender);
  QueuedError error;
  error.origin = extended->ee_origin;
  error.type = extended->ee_type;
  error.code = extended->ee_code;
  error.offender = offender.sin_family == AF_INET ? offender.sin_addr.s_addr : 0;
  error.destination = from.sin_addr.s_addr;
  ParseQueuedError(handle->packet, length, error, expect, verdict);
  if (verdict->verdict != kNotOurs) {
    ReadIpCmsgs(&message, verdict);
  }
  return true;
}

// Stores the answer as one record at the start of the reply area, its data right after it.
void StoreReply(const EchoHandle* handle, const PacketVerdict& verdict, int64_t sentNs,
                int64_t receivedNs, uint8_t* reply, DWORD replySize) {
  ICMP_ECHO_REPLY record;
  std::memset(&record, 0, sizeof record);
  record.Address = verdict.source;
  record.Status = verdict.status;
  int64_t elapsedMs = (receivedNs - sentNs) / 1000000;
  record.RoundTripTime = static_cast<ULONG>(elapsedMs > 0 ? elapsedMs : 0);
  size_t room = replySize - sizeof record;
  size_t copied = verdict.verdict == kOurEchoReply ? verdict.dataLength : 0;
  if (copied > room) {
    copied = room;
  }
  if (copied > 0xffff) {
    copied = 0xffff;
  }
  std::memcpy(reply + sizeof record, handle->packet + verdict.dataOffset, copied);
  record.DataSize = static_cast<USHORT>(copied);
  record.Data = reply + sizeof record;
  record.Options.Ttl = static_cast<UCHAR>(verdict.ttl > 0 ? verdict.ttl : 0);
  record.Options.Tos = static_cast<UCHAR>(verdict.tos > 0 ? verdict.tos : 0);
  record.Options.Flags = 0;
  record.Options.OptionsSize = 0;
  record.Options.OptionsData = nullptr;
  std::memcpy(reply, &record, sizeof record);
}

}  // namespace

extern "C" {

ICMP_EXPORT HANDLE WINAPI IcmpCreateFile() {
  EchoHandle* handle = static_cast<EchoHandle*>(std::calloc(1, sizeof(EchoHandle)));
  if (handle == nullptr) {
    return INVALID_HANDLE_VALUE;
  }
  handle->request = static_cast<uint8_t*>(std::malloc(kPacketBufferSize));
  handle->packet = static_cast<uint8_t*>(std::malloc(kPacketBufferSize));
  if (handle->request == nullptr || handle->packet == nullptr || !OpenSocket(handle)) {
    int saved = errno;
    std::free(handle->request);
    std::free(handle->packet);
    std::free(handle);
    errno = saved;
    return INVALID_HANDLE_VALUE;
  }
  RandomBytes(&handle->identifier, sizeof handle->identifier);
  RandomBytes(&handle->sequence, sizeof handle->sequence);
  return handle;
}

ICMP_EXPORT BOOL WINAPI IcmpCloseHandle(HANDLE icmpHandle) {
  if (!ValidHandle(icmpHandle)) {
    errno = EBADF;
    return 0;
  }
  EchoHandle* handle = static_cast<EchoHandle*>(icmpHandle);
  close(handle->socket);
  std::free(handle->request);
  std::free(handle->packet);
  std::free(handle);
  return 1;
}

ICMP_EXPORT DWORD WINAPI IcmpSendEcho(HANDLE icmpHandle, IPAddr destinationAddress,
                                      LPVOID requestData, WORD requestSize,
                                      PIP_OPTION_INFORMATION requestOptions, LPVOID replyBuffer,
                                      DWORD replySize, DWORD timeout) {
  if (!ValidHandle(icmpHandle)) {
    errno = EBADF;
    return 0;
  }
  // The Windows rule: room for one record, the data, and the 8 bytes an ICMP error quotes.
  if (replyBuffer == nullptr || replySize < sizeof(ICMP_ECHO_REPLY) + requestSize + 8) {
    errno = ENOBUFS;
    return 0;
  }
  EchoHandle* handle = static_cast<EchoHandle*>(icmpHandle);
  ++handle->sequence;  // a handle used again never waits for the same number twice
  size_t requestLength =
      BuildEchoRequest(handle->identifier, handle->sequence, static_cast<uint8_t*>(requestData),
                       requestSize, handle->request, kPacketBufferSize);
  if (requestLength == 0) {
    errno = EINVAL;
    return 0;
  }
  ApplyOptions(handle, requestOptions);

  sockaddr_in destination;
  std::memset(&destination, 0, sizeof destination);
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = destinationAddress;

  int64_t sentNs = MonotonicNs();
  int64_t deadlineNs = sentNs + static_cast<int64_t>(timeout) * 1000000;
  ssize_t sent;
  do {
    sent = sendto(handle->socket, handle->request, requestLength, 0,
                  reinterpret_cast<sockaddr*>(&destination), sizeof destination);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    return 0;  // no route, or no way to send at all: nothing can answer
  }

  EchoExpectation expect;
  expect.framing = handle->framing;
  expect.destination = destinationAddress;
  expect.identifier = handle->identifier;
  expect.sequence = handle->sequence;
  expect.checkIdentifier = true;
  if (handle->framing == kFramingDatagram) {
    // The kernel replaced our identifier with its own and delivers only answers that carry it.
    expect.checkIdentifier = DatagramIdentifier(handle->socket, &handle->identifier);
    expect.identifier = handle->identifier;
  }

  pollfd watch = {handle->socket, POLLIN, 0};
  for (;;) {
    int64_t leftNs = deadlineNs - MonotonicNs();
    if (leftNs < 0) {
      leftNs = 0;
    }
    timespec left = {static_cast<time_t>(leftNs / 1000000000),
                     static_cast<long>(leftNs % 1000000000)};
    watch.revents = 0;
    int ready = ppoll(&watch, 1, &left, nullptr);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      errno = ETIMEDOUT;
      return 0;
    }
    bool readError = (watch.revents & POLLERR) != 0;
    if (readError && handle->framing == kFramingRaw) {
      int pending = 0;
      socklen_t size = sizeof pending;
      getsockopt(handle->socket, SOL_SOCKET, SO_ERROR, &pending, &size);  // clears it
      readError = false;
    }
    // Drain both queues: a flood of foreign packets must not hide the answer behind them, and
    // every packet read counts against the same deadline.
    PacketVerdict verdict;
    bool any = false;
    while (readError && ReadOne(handle, true, expect, &verdict)) {
      any = true;
      if (verdict.verdict != kNotOurs) {
        StoreReply(handle, verdict, sentNs, MonotonicNs(), static_cast<uint8_t*>(replyBuffer),
                   replySize);
        return 1;
      }
    }
    while ((watch.revents & POLLIN) != 0 && ReadOne(handle, false, expect, &verdict)) {
      any = true;
      if (verdict.verdict != kNotOurs) {
        StoreReply(handle, verdict, sentNs, MonotonicNs(), static_cast<uint8_t*>(replyBuffer),
                   replySize);
        return 1;
      }
      if (MonotonicNs() >= deadlineNs) {
        break;
      }
    }
    if (!any && readError) {
      // The error was a pending socket error with an empty queue; take it so poll rests.
      int pending = 0;
      socklen_t size = sizeof pending;
      getsockopt(handle->socket, SOL_SOCKET, SO_ERROR, &pending, &size);
    }
    if (MonotonicNs() >= deadlineNs) {  // what had arrived by then has been looked at
      errno = ETIMEDOUT;
      return 0;
    }
  }
}

}  // extern "C"
