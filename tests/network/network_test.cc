// The tool against remote hosts that the tests script: delay, TTL, silence, router errors and
// hostile traffic, each inside the test's own network namespace. Cases that show the same
// thing run as concurrent tool runs in one namespace, since most of them wait five seconds.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "network_fixture.h"
#include "tool_runner.h"

namespace {

const char kRouter[] = "198.51.100.254";

// TTL, router errors, and silence that neither ends the run nor outlasts the 5000 ms wait;
// iputils ping, fed the same answers, says the same of TTL and routers.
TEST_P(EchoPathTest, AnswersTtlRouterErrorsAndSilence) {
  StartTestHosts({"--host", "198.51.100.64",  "--ttl",    "64",                           //
                  "--host", "198.51.100.128", "--ttl",    "128",                          //
                  "--host", "203.0.113.1",    "--answer", "unreach",     "--ttl", "250",  //
                  "--host", "203.0.113.2",    "--answer", "exceeded",    "--ttl", "250",  //
                  "--host", "198.51.100.30",  "--answer", "silent,echo",                  //
                  "--host", "198.51.100.31",  "--answer", "silent"});
  if (HasFatalFailure()) {
    return;
  }
  RunCases({
      {{"-n", "1", "-y", "0", "198.51.100.64"}, {"198.51.100.64"}, 64, 0, 3},
      {{"-n", "1", "-y", "0", "198.51.100.128"}, {"198.51.100.128"}, 128, 0, 3},
      // The router's own packet gives the TTL.
      {{"-n", "1", "-y", "0", "203.0.113.1"}, {kRouter}, 250, 0, 3},
      {{"-n", "1", "-y", "0", "203.0.113.2"}, {kRouter}, 250, 0, 3},
      {{"-n", "2", "-y", "0", "198.51.100.30"}, {"", "198.51.100.30"}, 64, 5.0, 5.3},
      {{"-n", "1", "-y", "0", "198.51.100.31"}, {""}, -1, 5.0, 5.3},
  });

  SKIP_WITHOUT_PING();
  struct PingCase {
    const char* target;
    bool reply;
    const char* from;
    int ttl;
  } pings[] = {{"198.51.100.64", true, "198.51.100.64", 64},
               {"198.51.100.128", true, "198.51.100.128", 128},
               {"203.0.113.1", false, kRouter, -1},
               {"203.0.113.2", false, kRouter, -1}};
  std::vector<ConcurrentRun> runs;
  for (const PingCase& ping : pings) {
    runs.push_back(ConcurrentRun{{"-n", "-c", "1", "-W", "2", ping.target}, {"ping"}});
  }
  RunTogether(&runs);
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(Describe(runs[i]));
    std::vector<EchoLine> lines = ParsePingLines(runs[i].result.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].reply, pings[i].reply);
    EXPECT_EQ(lines[0].from, pings[i].from);
    EXPECT_EQ(lines[0].ttl, pings[i].ttl);
  }
}

// Traffic that is not the answer to the request in flight: it must neither be reported nor
// push the 5000 ms deadline back, however much of it comes. Each host floods its own kind
// for six seconds; a raw socket sees every host's flood at once.
TEST_P(EchoPathTest, ForeignTrafficIsNeverTheAnswer) {
  StartTestHosts({"--host",   "198.51.100.41",
                  "--answer", "wrongid",  //
                  "--host",   "198.51.100.42",
                  "--answer", "wrongseq",  //
                  "--host",   "198.51.100.43",
                  "--answer", "badsum",  //
                  "--host",   "198.51.100.44",
                  "--answer", "stray",  //
                  "--host",   "198.51.100.45",
                  "--answer", "dup,silent",  //
                  "--host",   "198.51.100.46",
                  "--answer", "late",  //
                  "--host",   "198.51.100.47",
                  "--delay",  "300",  //
                  "--answer", "wrongid+wrongseq+badsum+stray+echo"});
  if (HasFatalFailure()) {
    return;
  }
  RunCases({
      {{"-n", "1", "-y", "0", "198.51.100.41"}, {""}, -1, 5.0, 5.3},
      {{"-n", "1", "-y", "0", "198.51.100.42"}, {""}, -1, 5.0, 5.3},
      {{"-n", "1", "-y", "0", "198.51.100.43"}, {""}, -1, 5.0, 5.3},
      {{"-n", "1", "-y", "0", "198.51.100.44"}, {""}, -1, 5.0, 5.3},
      // Copies of the first answer keep coming during the second request.
      {{"-n", "2", "-y", "0", "198.51.100.45"}, {"198.51.100.45", ""}, 64, 5.0, 5.3},
      // The answer to the first request comes 600 ms into the second one's wait.
      {{"-n", "2", "-y", "0", "198.51.100.46"}, {"", ""}, -1, 10.0, 10.5},
      // The real answer, 300 ms late, behind a flood of everything else: found, not hidden.
      {{"-n", "3", "-y", "0", "198.51.100.47"},
       {"198.51.100.47", "198.51.100.47", "198.51.100.47"},
       64,
       0.9,
       3},
  });
}

// Round-trip times against a host that answers 20 ms and 150 ms late: whole milliseconds,
// never under the delay, within 1 ms of it, and the same as iputils ping measures.
TEST_P(EchoPathTest, RoundTripTimeMatchesDelayAndPing) {
  SKIP_WITHOUT_PING();
  StartTestHosts({"--host", "198.51.100.20", "--delay", "20",  //
                  "--host", "198.51.100.150", "--delay", "150"});
  if (HasFatalFailure()) {
    return;
  }
  const int delays[] = {20, 150};
  // Both delays at once: a host held up by the slow one would show in the fast one's times.
  std::vector<ConcurrentRun> tools, pings;
  for (int delay : delays) {
    std::string target = "198.51.100." + std::to_string(delay);
    tools.push_back(ConcurrentRun{{"-n", "8", "-y", "50", target}});
    pings.push_back(ConcurrentRun{{"-n", "-c", "8", "-i", "0.05", target}, {"ping"}});
  }
  RunTogether(&tools);
  RunTogether(&pings);
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(Describe(tools[i]));
    SCOPED_TRACE(Describe(pings[i]));
    EXPECT_EQ(tools[i].result.status, 0);
    std::vector<EchoLine> lines = ParseToolLines(tools[i].result.out);
    std::vector<EchoLine> peer = ParsePingLines(pings[i].result.out);
    ASSERT_EQ(lines.size(), 8u);
    ASSERT_EQ(peer.size(), 8u);
    std::vector<double> ours, theirs;
    int withinOneMs = 0;
    for (const EchoLine& line : lines) {
      ASSERT_TRUE(line.reply);
      EXPECT_GE(line.ms, delays[i]) << "an answer cannot come before the host sent it";
      EXPECT_LE(line.ms, delays[i] + 10);
      withinOneMs += line.ms <= delays[i] + 1 ? 1 : 0;
      ours.push_back(line.ms);
    }
    // A busy machine may wake the host or the tool late now and then, never most of the time.
    EXPECT_GE(withinOneMs, 6);
    for (const EchoLine& line : peer) {
      theirs.push_back(line.ms);
    }
    double error = Median(ours) - delays[i];
    double disagreement = Median(ours) - Median(theirs);
    std::printf(
        "delay %d ms: vakto median %.1f ms (error %+.1f), ping median %.3f ms "
        "(vakto - ping %+.3f)\n",
        delays[i], Median(ours), error, Median(theirs), disagreement);
    RecordProperty("delay" + std::to_string(delays[i]) + "_vakto_minus_delay_ms",
                   std::to_string(error));
    RecordProperty("delay" + std::to_string(delays[i]) + "_vakto_minus_ping_ms",
                   std::to_string(disagreement));
    // The tool truncates to whole milliseconds where ping shows the fraction.
    EXPECT_LE(disagreement, 0.5);
    EXPECT_GE(disagreement, -1.0);
  }
}

// Two tools asking the same host at once: each takes only the answers to its own requests.
// The host answers by size, so a borrowed answer shows in TTL and time.
TEST_P(EchoPathTest, TwoToolsAtOnceKeepTheirOwnAnswers) {
  StartTestHosts({"--host", "198.51.100.50", "--answer", "bysize"});
  if (HasFatalFailure()) {
    return;
  }
  struct Tool {
    int size;
    int count;
  } tools[] = {{30, 4}, {2, 30}};  // 300 ms answers with TTL 30, 20 ms answers with TTL 2
  std::vector<ConcurrentRun> runs;
  for (const Tool& tool : tools) {
    runs.push_back(ConcurrentRun{{"-n", std::to_string(tool.count), "-l", std::to_string(tool.size),
                                  "-y", "0", "198.51.100.50"}});
  }
  RunTogether(&runs);
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(Describe(runs[i]));
    EXPECT_EQ(runs[i].result.status, 0);
    std::vector<EchoLine> lines = ParseToolLines(runs[i].result.out);
    ASSERT_EQ(lines.size(), static_cast<size_t>(tools[i].count));
    for (const EchoLine& line : lines) {
      ASSERT_TRUE(line.reply);
      EXPECT_EQ(line.ttl, tools[i].size);
      EXPECT_EQ(line.bytes, tools[i].size);
      EXPECT_GE(line.ms, tools[i].size * 10);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sockets, EchoPathTest,
                         testing::Values(SocketKind::kRaw, SocketKind::kDatagram), SocketKindName);

}  // namespace
