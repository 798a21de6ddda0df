#include "network_fixture.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
  }
  return lines;
}

bool WriteText(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) {
    return false;
  }
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

std::string Join(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    text += (text.empty() ? "" : " ") + word;
  }
  return text;
}

// The test process's own namespaces: nothing it sets up reaches the machine's.
std::string Isolate() {
  if (geteuid() != 0) {
    return "needs root: the tests make network namespaces, TUN devices and mounts";
  }
  if (access("/dev/net/tun", R_OK | W_OK) != 0) {
    return std::string("no TUN device: /dev/net/tun: ") + std::strerror(errno);
  }
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    return std::string("cannot make network and mount namespaces: ") + std::strerror(errno);
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return std::string("cannot make the mounts private: ") + std::strerror(errno);
  }
  ToolRun up = RunTool({"ip", "link", "set", "lo", "up"}, {});
  if (up.status != 0) {
    return "cannot bring loopback up (is iproute2 installed?): " + up.err;
  }
  return "";
}

void KillAndReap(pid_t pid) {
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

std::vector<EchoLine> ParseToolLines(const std::string& out) {
  static const std::regex kReply(
      "Reply from ([0-9.]+): byte=([0-9]+) time:(-?[0-9]+)ms TTL:([0-9]+) at "
      "[0-9]{4}/[0-9]{2}/[0-9]{2}-[0-9]{2}:[0-9]{2}:[0-9]{2}");
  std::vector<EchoLine> lines;
  for (const std::string& text : SplitLines(out)) {
    std::smatch match;
    EchoLine line;
    if (std::regex_match(text, match, kReply)) {
      line.reply = true;
      line.from = match[1];
      line.bytes = std::stoi(match[2]);
      line.ms = std::stoi(match[3]);
      line.ttl = std::stoi(match[4]);
    } else if (text != "Failed to get response.") {
      ADD_FAILURE() << "not a report line: \"" << text << "\"";
      continue;
    }
    lines.push_back(line);
  }
  return lines;
}

std::vector<EchoLine> ParsePingLines(const std::string& out) {
  static const std::regex kAnswer(
      "[0-9]+ bytes from ([0-9.]+): icmp_seq=[0-9]+ ttl=([0-9]+) time=([0-9.]+) ms");
  static const std::regex kError("From ([0-9.]+) icmp_seq=[0-9]+ (.*)");
  std::vector<EchoLine> lines;
  for (const std::string& text : SplitLines(out)) {
    std::smatch match;
    EchoLine line;
    if (std::regex_match(text, match, kAnswer)) {
      line.reply = true;
      line.from = match[1];
      line.ttl = std::stoi(match[2]);
      line.ms = std::stod(match[3]);
      lines.push_back(line);
    } else if (std::regex_match(text, match, kError)) {
      line.from = match[1];
      lines.push_back(line);
    }
  }
  return lines;
}

double Median(std::vector<double> values) {
  if (values.empty()) {
    return -1;
  }
  std::sort(values.begin(), values.end());
  size_t half = values.size() / 2;
  return values.size() % 2 != 0 ? values[half] : (values[half - 1] + values[half]) / 2;
}

std::vector<int> IcmpSocketOwners(const std::string& kind) {
  std::ifstream table("/proc/self/net/" + kind);
  std::vector<int> owners;
  std::string line;
  std::getline(table, line);  // column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits;
    int uid = -1;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid;
    // A raw socket's "port" is its protocol; ICMP is 1.
    if (kind != "raw" || local.ends_with(":0001")) {
      owners.push_back(uid);
    }
  }
  return owners;
}

void NetworkTest::SetUp() {
  std::string problem = Isolate();
  if (!problem.empty()) {
    GTEST_SKIP() << problem;
  }
  char pattern[] = "/tmp/vakto-network-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr) << std::strerror(errno);
  dir_ = pattern;
  chmod(dir_.c_str(), 0755);
}

void NetworkTest::TearDown() {
  for (pid_t pid : children_) {
    KillAndReap(pid);
  }
  children_.clear();
  for (auto it = overlays_.rbegin(); it != overlays_.rend(); ++it) {
    umount2(it->c_str(), MNT_DETACH);
  }
  overlays_.clear();
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

void NetworkTest::StartTestHosts(const std::vector<std::string>& hostOptions) {
  int ready[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  std::vector<std::string> words = {NETWORK_TEST_HOST, "--tun", "vtun0"};
  words.insert(words.end(), hostOptions.begin(), hostOptions.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that died
    dup2(ready[1], 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  children_.push_back(pid);
  close(ready[1]);
  char said[16] = {};
  ssize_t got = read(ready[0], said, sizeof said - 1);
  close(ready[0]);
  ASSERT_GT(got, 0) << "network_test_host did not start: " << Join(words);
  ASSERT_STREQ(said, "ready\n");

  Command({"ip", "addr", "add", "192.0.2.1/32", "dev", "vtun0"});
  Command({"ip", "link", "set", "vtun0", "up"});
  Command({"ip", "route", "add", "198.51.100.0/24", "dev", "vtun0", "src", "192.0.2.1"});
  Command({"ip", "route", "add", "203.0.113.0/24", "dev", "vtun0", "src", "192.0.2.1"});
}

void NetworkTest::SetPingGroupRange(const std::string& range) {
  ASSERT_TRUE(WriteText("/proc/sys/net/ipv4/ping_group_range", range))
      << "cannot set ping_group_range: " << std::strerror(errno);
}

pid_t NetworkTest::NewNamespace() {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    char ok = unshare(CLONE_NEWNET) == 0 ? '1' : '0';
    if (write(ready[1], &ok, 1) != 1 || ok != '1') {
      _exit(1);
    }
    for (;;) {
      pause();
    }
  }
  close(ready[1]);
  char ok = '0';
  if (pid < 0 || read(ready[0], &ok, 1) != 1 || ok != '1') {
    ADD_FAILURE() << "cannot make another network namespace";
  }
  close(ready[0]);
  if (pid > 0) {
    children_.push_back(pid);
  }
  return pid;
}

void NetworkTest::Command(const std::vector<std::string>& argv, pid_t inNamespace) {
  std::vector<std::string> command;
  if (inNamespace != 0) {
    command = {"nsenter", "-t", std::to_string(inNamespace), "-n"};
  }
  ToolRun run = RunTool(argv, command);
  EXPECT_EQ(run.status, 0) << Join(command) << " " << Join(argv) << ": " << run.err;
}

void NetworkTest::RunTogether(std::vector<ConcurrentRun>* runs, double limitSeconds,
                              double sampleAtSeconds, void (*sample)(void*), void* sampleContext) {
  using Clock = std::chrono::steady_clock;
  std::vector<pid_t> pids;
  auto start = Clock::now();
  for (size_t i = 0; i < runs->size(); ++i) {
    std::string base = dir_ + "/run" + std::to_string(i);
    pids.push_back(StartTool((*runs)[i].args, base + ".out", base + ".err", (*runs)[i].command));
  }
  size_t left = runs->size();
  bool sampled = sample == nullptr;
  while (left > 0) {
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (!sampled && elapsed >= sampleAtSeconds) {
      sample(sampleContext);
      sampled = true;
    }
    for (size_t i = 0; i < runs->size(); ++i) {
      if (pids[i] <= 0) {
        continue;
      }
      int raw = 0;
      pid_t done = waitpid(pids[i], &raw, WNOHANG);
      if (done == 0 && elapsed < limitSeconds) {
        continue;
      }
      if (done == 0) {
        ADD_FAILURE() << "still running after " << limitSeconds << " s: " << Join((*runs)[i].args);
        kill(pids[i], SIGKILL);
        waitpid(pids[i], &raw, 0);
      }
      ToolRun& result = (*runs)[i].result;
      result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
      std::string base = dir_ + "/run" + std::to_string(i);
      result.out = ReadFile(base + ".out");
      result.err = ReadFile(base + ".err");
      pids[i] = -1;
      --left;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string NetworkTest::OverlayFile(const std::string& path, const std::string& text) {
  std::string source = dir_ + "/overlay" + std::to_string(overlays_.size());
  WriteFile(source, text);
  chmod(source.c_str(), 0644);
  if (mount(source.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    ADD_FAILURE() << "bind mount over " << path << ": " << std::strerror(errno);
  } else {
    overlays_.push_back(path);
  }
  return source;
}

std::string NetworkTest::ToolForEveryone() {
  namespace fs = std::filesystem;
  std::string tool = dir_ + "/vakto";
  std::error_code error;
  fs::copy_file(VAKTO_BINARY, tool, fs::copy_options::overwrite_existing, error);
  EXPECT_FALSE(error) << "copy " << VAKTO_BINARY << ": " << error.message();
  fs::copy_file(ICMP_LIBRARY, dir_ + "/icmp.so", fs::copy_options::overwrite_existing, error);
  EXPECT_FALSE(error) << "copy " << ICMP_LIBRARY << ": " << error.message();
  chmod(tool.c_str(), 0755);
  chmod((dir_ + "/icmp.so").c_str(), 0644);
  return tool;
}

std::string SocketKindName(const testing::TestParamInfo<SocketKind>& info) {
  return info.param == SocketKind::kRaw ? "RawSocket" : "DatagramSocket";
}

void PrintTo(SocketKind kind, std::ostream* out) {
  *out << (kind == SocketKind::kRaw ? "raw" : "datagram");
}

bool HavePing() { return access("/usr/bin/ping", X_OK) == 0 || access("/bin/ping", X_OK) == 0; }

std::string Describe(const ConcurrentRun& run) {
  std::string text = Join(run.command) + " " + Join(run.args);
  return text + "\n--- stdout:\n" + run.result.out + "--- stderr:\n" + run.result.err +
         "--- status " + std::to_string(run.result.status) + " after " +
         std::to_string(run.result.seconds) + " s";
}

void CheckRun(const ConcurrentRun& run, const Expected& want) {
  SCOPED_TRACE(Describe(run));
  EXPECT_EQ(run.result.status, 0);
  EXPECT_EQ(run.result.err, "");
  std::vector<EchoLine> lines = ParseToolLines(run.result.out);
  ASSERT_EQ(lines.size(), want.answeredBy.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE("request " + std::to_string(i + 1));
    if (want.answeredBy[i].empty()) {
      EXPECT_FALSE(lines[i].reply) << "took something else for the answer";
      continue;
    }
    ASSERT_TRUE(lines[i].reply);
    EXPECT_EQ(lines[i].from, want.answeredBy[i]);
    EXPECT_EQ(lines[i].bytes, 32);
    EXPECT_GE(lines[i].ms, 0);
    if (want.ttl >= 0) {
      EXPECT_EQ(lines[i].ttl, want.ttl);
    }
  }
  EXPECT_GE(run.result.seconds, want.minSeconds);
  EXPECT_LT(run.result.seconds, want.maxSeconds);
}

void EchoPathTest::SetUp() {
  NetworkTest::SetUp();
  if (IsSkipped()) {
    return;
  }
  // Root may always open raw sockets, so only a closed range makes the library use them.
  SetPingGroupRange(GetParam() == SocketKind::kRaw ? "1 0" : "0 2147483647");
}

void EchoPathTest::RunCases(const std::vector<Expected>& cases, double limitSeconds) {
  std::vector<ConcurrentRun> runs;
  for (const Expected& want : cases) {
    runs.push_back(ConcurrentRun{want.args});
  }
  RunTogether(&runs, limitSeconds, 0.5, &EchoPathTest::CheckSocketKind, this);
  for (size_t i = 0; i < cases.size(); ++i) {
    CheckRun(runs[i], cases[i]);
  }
}

void EchoPathTest::CheckSocketKind(void* self) {
  auto* test = static_cast<EchoPathTest*>(self);
  size_t raw = IcmpSocketOwners("raw").size();
  size_t datagram = IcmpSocketOwners("icmp").size();
  if (test->GetParam() == SocketKind::kRaw) {
    EXPECT_GT(raw, 0u) << "no raw ICMP socket open while the tools wait";
    EXPECT_EQ(datagram, 0u);
  } else {
    EXPECT_GT(datagram, 0u) << "no datagram ICMP socket open while the tools wait";
    EXPECT_EQ(raw, 0u);
  }
}
