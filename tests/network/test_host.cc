// A scripted remote network for the tests: owns a TUN device and plays the hosts behind it.
// Each --host gives one address and how it treats the echo requests routed to it, so a test
// can show the tool delay, silence, router errors and hostile traffic that loopback cannot.
//
//   network_test_host --tun NAME [--host ADDRESS [option...]]...
//
// Options of the host before them:
//   --ttl N            TTL of its answers (default 64)
//   --delay MS         answer after MS milliseconds (default 0); other packets are not held up
//   --router ADDRESS   the router that sends unreach and exceeded (default 198.51.100.254)
//   --answer LIST      what it does with its 1st, 2nd, ... request, comma-separated, the last
//                      repeating (default echo):
//       echo      answer after the delay
//       silent    nothing
//       unreach   destination unreachable (host unreachable) from the router
//       exceeded  time exceeded in transit from the router
//       late      the right answer, but 5600 ms later, after the sender gave up
//       dup       answer, then copies of that same answer every 100 ms for 12 s
//       wrongid   answers with a wrong identifier every 100 ms for 6 s, never the right one
//       wrongseq  answers with sequence numbers one off, likewise
//       badsum    the right answer with a broken ICMP checksum, likewise
//       stray     echo replies with identifiers and sequences nobody sent, from this host and
//                 from 203.0.113.77, likewise
//       bysize    answer with a TTL of the data length and after 10 ms per data byte
//                 Actions joined by "+" are all done for the same request.
//
// Writes "ready" on standard output once the device exists; runs until killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <queue>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kLateMs = 5600;
constexpr int64_t kRepeatMs = 100;
constexpr int64_t kJunkForMs = 6000;
constexpr int64_t kDupForMs = 12000;

struct Host {
  int ttl = 64;
  int64_t delayMs = 0;
  uint32_t router = 0;
  std::vector<std::string> answers{"echo"};
  size_t requestsSeen = 0;
};

struct Send {
  int64_t atNs;
  std::vector<uint8_t> packet;
  bool operator<(const Send& other) const { return atNs > other.atNs; }  // earliest first
};

std::map<uint32_t, Host> hosts;
std::priority_queue<Send> pending;
std::mt19937 randomBits(12345);

int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

uint16_t Checksum(const uint8_t* bytes, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) {
    sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  }
  if (length % 2 != 0) {
    sum += static_cast<uint32_t>(bytes[length - 1] << 8);
  }
  while (sum >> 16 != 0) {
    sum = (sum & 0xffff) + (sum >> 16);
  }
  return static_cast<uint16_t>(~sum);
}

void Put16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// An IPv4 packet around an ICMP message; addresses in network byte order.
std::vector<uint8_t> IpPacket(uint32_t source, uint32_t destination, int ttl,
                              const std::vector<uint8_t>& icmp) {
  std::vector<uint8_t> packet(20 + icmp.size());
  packet[0] = 0x45;
  Put16(&packet[2], static_cast<uint16_t>(packet.size()));
  Put16(&packet[4], static_cast<uint16_t>(randomBits()));
  packet[8] = static_cast<uint8_t>(ttl);
  packet[9] = 1;  // ICMP
  std::memcpy(&packet[12], &source, 4);
  std::memcpy(&packet[16], &destination, 4);
  Put16(&packet[10], Checksum(packet.data(), 20));
  std::memcpy(&packet[20], icmp.data(), icmp.size());
  return packet;
}

std::vector<uint8_t> EchoReply(uint16_t identifier, uint16_t sequence, const uint8_t* data,
                               size_t dataLength) {
  std::vector<uint8_t> icmp(8 + dataLength);
  Put16(&icmp[4], identifier);
  Put16(&icmp[6], sequence);
  if (dataLength > 0) {
    std::memcpy(&icmp[8], data, dataLength);
  }
  Put16(&icmp[2], Checksum(icmp.data(), icmp.size()));
  return icmp;
}

void Schedule(int64_t atNs, std::vector<uint8_t> packet) {
  pending.push(Send{atNs, std::move(packet)});
}

// The same packet now and then every kRepeatMs until forMs have passed.
void Repeat(int64_t nowNs, int64_t forMs, const std::vector<uint8_t>& packet) {
  for (int64_t t = 0; t <= forMs; t += kRepeatMs) {
    Schedule(nowNs + t * kMs, packet);
  }
}

void Answer(const uint8_t* request, size_t length, int64_t nowNs) {
  size_t headerLength = static_cast<size_t>(request[0] & 0x0f) * 4;
  uint32_t source, destination;
  std::memcpy(&source, request + 12, 4);
  std::memcpy(&destination, request + 16, 4);
  auto found = hosts.find(destination);
  if (found == hosts.end()) {
    return;  // nobody lives there
  }
  Host& host = found->second;
  const std::string& actions = host.answers[std::min(host.requestsSeen, host.answers.size() - 1)];
  ++host.requestsSeen;

  const uint8_t* icmp = request + headerLength;
  uint16_t identifier = Get16(icmp + 4);
  uint16_t sequence = Get16(icmp + 6);
  const uint8_t* data = icmp + 8;
  size_t dataLength = length - headerLength - 8;
  std::vector<uint8_t> reply =
      IpPacket(destination, source, host.ttl, EchoReply(identifier, sequence, data, dataLength));
  int64_t delayNs = host.delayMs * kMs;

  std::istringstream parts(actions);
  for (std::string action; std::getline(parts, action, '+');) {
    if (action == "echo") {
      Schedule(nowNs + delayNs, reply);
    } else if (action == "silent") {
    } else if (action == "unreach" || action == "exceeded") {
      // As a router sends it: type and code, four unused bytes, then the offending packet's IP
      // header and the first 8 bytes of what it carried.
      std::vector<uint8_t> error(8 + headerLength + 8);
      error[0] = action == "unreach" ? 3 : 11;
      error[1] = action == "unreach" ? 1 : 0;
      std::memcpy(&error[8], request, headerLength + 8);
      Put16(&error[2], Checksum(error.data(), error.size()));
      Schedule(nowNs + delayNs, IpPacket(host.router, source, host.ttl, error));
    } else if (action == "late") {
      Schedule(nowNs + kLateMs * kMs, reply);
    } else if (action == "dup") {
      Repeat(nowNs + delayNs, kDupForMs, reply);
    } else if (action == "wrongid") {
      Repeat(nowNs, kJunkForMs,
             IpPacket(destination, source, host.ttl,
                      EchoReply(identifier ^ 0x5a5a, sequence, data, dataLength)));
    } else if (action == "wrongseq") {
      Repeat(
          nowNs, kJunkForMs,
          IpPacket(destination, source, host.ttl,
                   EchoReply(identifier, static_cast<uint16_t>(sequence + 1), data, dataLength)));
      Repeat(
          nowNs + 50 * kMs, kJunkForMs,
          IpPacket(destination, source, host.ttl,
                   EchoReply(identifier, static_cast<uint16_t>(sequence - 1), data, dataLength)));
    } else if (action == "badsum") {
      std::vector<uint8_t> broken = reply;
      broken[20 + 2] ^= 0x01;
      Repeat(nowNs, kJunkForMs, broken);
    } else if (action == "stray") {
      uint32_t elsewhere = inet_addr("203.0.113.77");
      for (int64_t t = 0; t <= kJunkForMs; t += kRepeatMs) {
        uint16_t strayId = static_cast<uint16_t>(randomBits());
        uint16_t straySeq = static_cast<uint16_t>(randomBits());
        Schedule(nowNs + t * kMs, IpPacket(destination, source, host.ttl,
                                           EchoReply(strayId, straySeq, data, dataLength)));
        Schedule(nowNs + t * kMs, IpPacket(elsewhere, source, host.ttl,
                                           EchoReply(strayId, straySeq, data, dataLength)));
      }
    } else if (action == "bysize") {
      std::vector<uint8_t> sized =
          IpPacket(destination, source, static_cast<int>(dataLength & 0xff),
                   EchoReply(identifier, sequence, data, dataLength));
      Schedule(nowNs + static_cast<int64_t>(dataLength) * 10 * kMs, sized);
    }
  }
}

// Only whole, unfragmented IPv4 ICMP echo requests are for us; the kernel's own chatter on a
// new device (IPv6 solicitations and the like) is dropped.
bool IsEchoRequest(const uint8_t* packet, size_t length) {
  if (length < 28 || packet[0] >> 4 != 4 || packet[9] != 1) {
    return false;
  }
  size_t headerLength = static_cast<size_t>(packet[0] & 0x0f) * 4;
  if (headerLength < 20 || length < headerLength + 8 || Get16(packet + 2) != length) {
    return false;
  }
  if ((Get16(packet + 6) & 0x3fff) != 0) {
    return false;
  }
  return packet[headerLength] == 8 && packet[headerLength + 1] == 0;
}

bool ParseArguments(int argc, char** argv, std::string* tunName) {
  uint32_t defaultRouter = inet_addr("198.51.100.254");
  Host* current = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "network_test_host: %s needs a value\n", option.c_str());
      return false;
    }
    std::string value = argv[++i];
    if (option == "--tun") {
      *tunName = value;
    } else if (option == "--host") {
      in_addr address;
      if (inet_aton(value.c_str(), &address) == 0) {
        std::fprintf(stderr, "network_test_host: bad address %s\n", value.c_str());
        return false;
      }
      current = &hosts[address.s_addr];
      current->router = defaultRouter;
    } else if (current == nullptr) {
      std::fprintf(stderr, "network_test_host: %s before any --host\n", option.c_str());
      return false;
    } else if (option == "--ttl") {
      current->ttl = std::atoi(value.c_str());
    } else if (option == "--delay") {
      current->delayMs = std::atoll(value.c_str());
    } else if (option == "--router") {
      current->router = inet_addr(value.c_str());
    } else if (option == "--answer") {
      current->answers.clear();
      std::istringstream list(value);
      for (std::string action; std::getline(list, action, ',');) {
        current->answers.push_back(action);
      }
      if (current->answers.empty()) {
        current->answers.push_back("echo");
      }
    } else {
      std::fprintf(stderr, "network_test_host: unknown option %s\n", option.c_str());
      return false;
    }
  }
  return !tunName->empty();
}

}  // namespace

int main(int argc, char** argv) {
  std::string tunName;
  if (!ParseArguments(argc, argv, &tunName)) {
    std::fprintf(stderr, "usage: network_test_host --tun NAME [--host ADDRESS [option...]]...\n");
    return 2;
  }
  int tun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (tun < 0) {
    std::fprintf(stderr, "network_test_host: /dev/net/tun: %s\n", std::strerror(errno));
    return 1;
  }
  ifreq request;
  std::memset(&request, 0, sizeof request);
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(request.ifr_name, tunName.c_str(), IFNAMSIZ - 1);
  if (ioctl(tun, TUNSETIFF, &request) != 0) {
    std::fprintf(stderr, "network_test_host: TUNSETIFF %s: %s\n", tunName.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  std::vector<uint8_t> packet(65536);
  for (;;) {
    int64_t now = NowNs();
    while (!pending.empty() && pending.top().atNs <= now) {
      const std::vector<uint8_t>& out = pending.top().packet;
      if (write(tun, out.data(), out.size()) < 0 && errno != EIO) {
        std::fprintf(stderr, "network_test_host: write: %s\n", std::strerror(errno));
      }
      pending.pop();
      now = NowNs();
    }
    timespec wait;
    timespec* waitFor = nullptr;
    if (!pending.empty()) {
      int64_t left = pending.top().atNs - now;
      wait = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
      waitFor = &wait;
    }
    pollfd watch = {tun, POLLIN, 0};
    int ready = ppoll(&watch, 1, waitFor, nullptr);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "network_test_host: poll: %s\n", std::strerror(errno));
      return 1;
    }
    if (ready > 0 && (watch.revents & POLLIN) != 0) {
      ssize_t got = read(tun, packet.data(), packet.size());
      if (got > 0 && IsEchoRequest(packet.data(), static_cast<size_t>(got))) {
        Answer(packet.data(), static_cast<size_t>(got), NowNs());
      }
    }
  }
}
