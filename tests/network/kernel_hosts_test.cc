// A second witness: real kernel network stacks in namespaces of their own, joined by veth
// pairs, in place of the scripted host. What they send is what the tool meets on a real LAN.
//
//   test namespace 192.0.2.1 --- 192.0.2.2 router 198.51.100.1 --- 198.51.100.10 far host
//
// The router forwards, ignores echo requests itself and has no way to 203.0.113.0/24; the far
// host answers with a TTL of 128, one less when it reaches the tool.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "network_fixture.h"

namespace {

class KernelHostsTest : public EchoPathTest {
 public:
  void SetUp() override {
    EchoPathTest::SetUp();
    if (IsSkipped()) {
      return;
    }
    pid_t router = NewNamespace();
    pid_t far = NewNamespace();
    ASSERT_FALSE(HasFailure());
    std::string routerPid = std::to_string(router), farPid = std::to_string(far);

    Command(
        {"ip", "link", "add", "vk0", "type", "veth", "peer", "name", "vk1", "netns", routerPid});
    Command({"ip", "addr", "add", "192.0.2.1/24", "dev", "vk0"});
    Command({"ip", "link", "set", "vk0", "up"});
    Command({"ip", "route", "add", "198.51.100.0/24", "via", "192.0.2.2"});
    Command({"ip", "route", "add", "203.0.113.0/24", "via", "192.0.2.2"});

    Command({"ip", "link", "set", "lo", "up"}, router);
    Command({"ip", "addr", "add", "192.0.2.2/24", "dev", "vk1"}, router);
    Command({"ip", "link", "set", "vk1", "up"}, router);
    Command({"ip", "link", "add", "vr0", "type", "veth", "peer", "name", "vr1", "netns", farPid},
            router);
    Command({"ip", "addr", "add", "198.51.100.1/24", "dev", "vr0"}, router);
    Command({"ip", "link", "set", "vr0", "up"}, router);
    Command({"ip", "route", "add", "unreachable", "203.0.113.0/24"}, router);
    Command({"sysctl", "-qw", "net.ipv4.ip_forward=1"}, router);
    Command({"sysctl", "-qw", "net.ipv4.icmp_echo_ignore_all=1"}, router);

    Command({"ip", "link", "set", "lo", "up"}, far);
    Command({"ip", "addr", "add", "198.51.100.10/24", "dev", "vr1"}, far);
    Command({"ip", "link", "set", "vr1", "up"}, far);
    Command({"ip", "route", "add", "default", "via", "198.51.100.1"}, far);
    Command({"sysctl", "-qw", "net.ipv4.ip_default_ttl=128"}, far);
  }
};

TEST_P(KernelHostsTest, ForwardedAnswerRouterErrorAndSilence) {
  ASSERT_FALSE(HasFailure()) << "the namespaces could not be set up";
  RunCases({
      {{"-n", "2", "-y", "0", "198.51.100.10"}, {"198.51.100.10", "198.51.100.10"}, 127, 0, 3},
      {{"-n", "1", "-y", "0", "203.0.113.5"}, {"192.0.2.2"}, -1, 0, 3},
      {{"-n", "1", "-y", "0", "192.0.2.2"}, {""}, -1, 5.0, 5.3},
  });

  SKIP_WITHOUT_PING();
  std::vector<ConcurrentRun> pings = {
      ConcurrentRun{{"-n", "-c", "1", "-W", "2", "198.51.100.10"}, {"ping"}},
      ConcurrentRun{{"-n", "-c", "1", "-W", "2", "203.0.113.5"}, {"ping"}},
  };
  RunTogether(&pings);
  const char* from[] = {"198.51.100.10", "192.0.2.2"};
  for (size_t i = 0; i < pings.size(); ++i) {
    SCOPED_TRACE(Describe(pings[i]));
    std::vector<EchoLine> lines = ParsePingLines(pings[i].result.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].from, from[i]);
    EXPECT_EQ(lines[0].reply, i == 0);
    EXPECT_EQ(lines[0].ttl, i == 0 ? 127 : -1);
  }
}

INSTANTIATE_TEST_SUITE_P(Sockets, KernelHostsTest,
                         testing::Values(SocketKind::kRaw, SocketKind::kDatagram), SocketKindName);

}  // namespace
