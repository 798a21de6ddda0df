// A private network for each test: the test process moves into network and mount namespaces
// of its own, so the scripted hosts, the routes, the sysctls and the hosts file it sets up
// are seen by the tools it starts and by nothing else on the machine. Everything it starts is
// ended by pid when the test ends, and the namespaces go with the test process.
#pragma once

#include <sys/types.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tool_runner.h"

// One report line of the tool, or one answer line of iputils ping, taken apart.
struct EchoLine {
  bool reply = false;  // false: "Failed to get response." (or, for ping, no answer)
  std::string from;
  int bytes = -1;
  double ms = -1;
  int ttl = -1;
};

// Splits a tool's standard output into report lines; a line of any other shape fails the test.
std::vector<EchoLine> ParseToolLines(const std::string& out);
// The answers and router errors in iputils ping's output, in the order it printed them.
std::vector<EchoLine> ParsePingLines(const std::string& out);
double Median(std::vector<double> values);

struct ConcurrentRun {
  // The tool with these arguments, or another program (command) with them.
  explicit ConcurrentRun(std::vector<std::string> words,
                         std::vector<std::string> program = ToolCommand())
      : args(std::move(words)), command(std::move(program)) {}
  std::vector<std::string> args;
  std::vector<std::string> command;
  ToolRun result;
};

class NetworkTest : public ::testing::Test {
 public:
  void SetUp() override;
  void TearDown() override;

  // Starts the scripted hosts (network_test_host's --host options) behind a TUN device and
  // routes 198.51.100.0/24 and 203.0.113.0/24 to it; this side is 192.0.2.1.
  void StartTestHosts(const std::vector<std::string>& hostOptions);

  // Who may open datagram ICMP sockets in the test's namespace: "1 0" nobody.
  void SetPingGroupRange(const std::string& range);

  // A further network namespace, held open by a child process; returns that child's pid.
  pid_t NewNamespace();
  // Runs argv inside the namespace of pid (0: the test's own); fails the test when it fails.
  void Command(const std::vector<std::string>& argv, pid_t inNamespace = 0);

  // Starts every run at once and waits for all; a run still going after limitSeconds is
  // killed. sampleAtSeconds > 0 calls sample() once that long after the start.
  void RunTogether(std::vector<ConcurrentRun>* runs, double limitSeconds = 30,
                   double sampleAtSeconds = 0, void (*sample)(void*) = nullptr,
                   void* sampleContext = nullptr);

  // Bind-mounts a file with this text over path, for this test's mount namespace only;
  // returns the file that now shows there, to rewrite it in place.
  std::string OverlayFile(const std::string& path, const std::string& text);

  // Copies the native tool and its helper library into a folder every user may read and
  // run; returns the tool's path there.
  std::string ToolForEveryone();

  std::string dir_;  // private scratch folder, removed at the end

 private:
  std::vector<pid_t> children_;
  std::vector<std::string> overlays_;
};

// ICMP sockets open in the test's namespace: "raw" or "icmp" (datagram), with their owners.
std::vector<int> IcmpSocketOwners(const std::string& kind);

// Both ways the helper library can reach the network: a datagram ICMP socket where the
// namespace admits the user's group, else a raw one.
enum class SocketKind { kRaw, kDatagram };
std::string SocketKindName(const testing::TestParamInfo<SocketKind>& info);
void PrintTo(SocketKind kind, std::ostream* out);

bool HavePing();
#define SKIP_WITHOUT_PING()                                                               \
  if (!HavePing()) {                                                                      \
    GTEST_SKIP() << "iputils ping is missing (scripts/test-network-deps.sh installs it)"; \
  }

// The command line, output, status and time of a finished run, for failure messages.
std::string Describe(const ConcurrentRun& run);

// What one run must write: for each request the address that answered, or "" for
// "Failed to get response.".
struct Expected {
  std::vector<std::string> args;
  std::vector<std::string> answeredBy;
  int ttl;  // of every answer; -1 when not checked
  double minSeconds;
  double maxSeconds;
};

void CheckRun(const ConcurrentRun& run, const Expected& want);

// A NetworkTest run once with each socket kind forced in the test's namespace.
class EchoPathTest : public NetworkTest, public testing::WithParamInterface<SocketKind> {
 public:
  void SetUp() override;
  // Runs the cases at once and checks each; half a second in, while they wait, it checks
  // that the tools hold sockets of the kind this test is about.
  void RunCases(const std::vector<Expected>& cases, double limitSeconds = 30);

 private:
  static void CheckSocketKind(void* self);
};
