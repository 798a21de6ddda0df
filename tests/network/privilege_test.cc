// Who may ping: a datagram ICMP socket for a user whose group ping_group_range admits, a raw
// socket for one with CAP_NET_RAW, and "Unable to open ping service." for anyone else.
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "network_fixture.h"
#include "tool_runner.h"

namespace {

const std::vector<std::string> kNobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                          "--clear-groups"};

struct PrivilegeCase {
  const char* name;
  bool unprivileged;
  const char* pingGroupRange;
  const char* socketTable;  // where the tool's socket shows while it waits; "" none
  int owner;                // its uid
};

const PrivilegeCase kPrivilegeCases[] = {
    {"UnprivilegedWithRangeOpenUsesDatagram", true, "0 2147483647", "icmp", 65534},
    {"UnprivilegedAdmittedByItsGroupAlone", true, "65534 65534", "icmp", 65534},
    {"RootWithRangeClosedUsesRaw", false, "1 0", "raw", 0},
    {"UnprivilegedWithRangeClosedCannotPing", true, "1 0", "", -1},
    {"UnprivilegedOutsideTheRangeCannotPing", true, "0 65533", "", -1},
};

void PrintTo(const PrivilegeCase& c, std::ostream* out) { *out << c.name; }

class PrivilegeTest : public NetworkTest, public testing::WithParamInterface<PrivilegeCase> {};

struct Sockets {
  std::vector<int> raw, datagram;
};

void TakeSockets(void* sockets) {
  static_cast<Sockets*>(sockets)->raw = IcmpSocketOwners("raw");
  static_cast<Sockets*>(sockets)->datagram = IcmpSocketOwners("icmp");
}

TEST_P(PrivilegeTest, OpensTheSocketItMay) {
  const PrivilegeCase& c = GetParam();
  // The answer comes after a second, so the socket can be seen while the tool waits.
  StartTestHosts({"--host", "198.51.100.70", "--delay", "1000"});
  SetPingGroupRange(c.pingGroupRange);
  ASSERT_FALSE(HasFailure());
  std::vector<std::string> command;
  if (c.unprivileged) {
    command = kNobody;
  }
  command.push_back(ToolForEveryone());

  std::vector<ConcurrentRun> runs = {
      ConcurrentRun{{"-n", "1", "-y", "0", "198.51.100.70"}, command}};
  Sockets sockets;
  RunTogether(&runs, 30, 0.5, &TakeSockets, &sockets);
  const ToolRun& run = runs[0].result;
  SCOPED_TRACE(Describe(runs[0]));

  if (*c.socketTable == '\0') {
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, WithLineEnds("Unable to open ping service.\n"));
    return;
  }
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  std::vector<EchoLine> lines = ParseToolLines(run.out);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].reply);
  EXPECT_EQ(lines[0].from, "198.51.100.70");
  EXPECT_GE(lines[0].ms, 1000);
  std::vector<int> expected = {c.owner};
  EXPECT_EQ(std::string(c.socketTable) == "raw" ? sockets.raw : sockets.datagram, expected);
  EXPECT_TRUE((std::string(c.socketTable) == "raw" ? sockets.datagram : sockets.raw).empty());
}

INSTANTIATE_TEST_SUITE_P(Users, PrivilegeTest, testing::ValuesIn(kPrivilegeCases),
                         [](const testing::TestParamInfo<PrivilegeCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
