// Whole runs of the built tool inside a network namespace of the test's own, compared with the
// text they must write. VAKTO_COMMAND points the same cases at another build of the tool.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tool_runner.h"

namespace {

std::string isolationProblem;

// A Windows build run by Wine, which differs from Windows in a few ways the tests allow for.
bool UnderWine() {
  const char* command = std::getenv("VAKTO_COMMAND");
  return command != nullptr && std::strstr(command, "wine") != nullptr;
}

// Sets an environment variable for the tool runs of one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { unsetenv(name_); }

 private:
  const char* name_;
};

// The loopback echo counters of the network namespace this process is in.
struct EchoCounters {
  long outEchos = -1;
  long inEchoReps = -1;
};

EchoCounters ReadEchoCounters() {
  std::istringstream snmp(ReadFile("/proc/self/net/snmp"));
  std::vector<std::string> names, values;
  for (std::string line; std::getline(snmp, line);) {
    if (line.rfind("Icmp: ", 0) == 0) {
      (names.empty() ? names : values).push_back(line);
    }
  }
  EchoCounters counters;
  if (names.empty() || values.empty()) {
    return counters;
  }
  std::istringstream nameWords(names[0]), valueWords(values[0]);
  for (std::string name, value; nameWords >> name && valueWords >> value;) {
    if (name == "OutEchos") {
      counters.outEchos = std::stol(value);
    } else if (name == "InEchoReps") {
      counters.inEchoReps = std::stol(value);
    }
  }
  return counters;
}

std::string Reply(const std::string& address, int bytes) {
  return "Reply from " + address + ": byte=" + std::to_string(bytes) +
         " time:#ms TTL:64 at <when>\n";
}

std::string Replies(int count, const std::string& address = "127.0.0.1", int bytes = 32) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += Reply(address, bytes);
  }
  return text;
}

const char kUsage[] =
    "\n"
    "Usage: vakto [-l size] [-t] [-x file_name] target_name\n"
    "\n"
    "Options:\n"
    "     -t             Ping the specified host until stopped.\n"
    "                    To stop - type Control-C.\n"
    "     -n count       Number of echo requests to send.\n"
    "     -l size        Send buffer size.\n"
    "     -x file_name   Save Messages to logfile <file_name>;\n"
    "     -y time(ms)    ICMP Send Interval in miliseconds.\n"
    "\n";

const std::string kLongName(300, 'a');

struct RunCase {
  std::string name;
  std::vector<std::string> args;
  std::string out;  // with times and timestamps masked
  std::string err;
  int status;
  double minSeconds;
  double maxSeconds;
};

const RunCase kRunCases[] = {
    {"NoArguments", {}, "", kUsage, 1, 0, 10},
    {"UnknownLetter", {"-q", "x"}, "", "Unrecognized Argument :-q\n", 1, 0, 10},
    {"Digit", {"-4", "127.0.0.1"}, "", "Unrecognized Argument :-4\n", 1, 0, 10},
    {"LongOptionWord", {"-nn", "2", "127.0.0.1"}, "", "Unrecognized Argument :-nn\n", 1, 0, 10},
    {"LoneDash", {"-", "127.0.0.1"}, "", "Unrecognized Argument :-\n", 1, 0, 10},
    {"NegativeCountWord", {"-n", "-5", "127.0.0.1"}, "", "Unrecognized Argument :-5\n", 1, 0, 10},
    {"CountBeforeTarget", {"-n", "127.0.0.1"}, "", "Argument is not enough\n", 1, 0, 10},
    {"SizeBeforeTarget", {"-l", "127.0.0.1"}, "", "Argument is not enough\n", 1, 0, 10},
    {"IntervalBeforeTarget", {"-y", "127.0.0.1"}, "", "Argument is not enough\n", 1, 0, 10},
    {"LogBeforeTarget", {"-x", "127.0.0.1"}, "", "Argument is not enough\n", 1, 0, 10},
    {"OptionAsTarget", {"-t"}, "", "Argument is not enough\n", 1, 0, 10},
    {"OptionAsTargetAfterCount", {"-n", "1", "-t"}, "", "Argument is not enough\n", 1, 0, 10},
    {"NegativeCount",
     {"-n", " -5", "127.0.0.1"},
     "",
     "Value out of range for -n: -5 (allowed: 0 or more)\n",
     1,
     0,
     10},
    {"NegativeSize",
     {"-l", " -1", "127.0.0.1"},
     "",
     "Value out of range for -l: -1 (allowed: 0 to 65500)\n",
     1,
     0,
     10},
    {"OversizedPayload",
     {"-l", "65501", "127.0.0.1"},
     "",
     "Value out of range for -l: 65501 (allowed: 0 to 65500)\n",
     1,
     0,
     10},
    {"NegativeInterval",
     {"-y", " -1000", "127.0.0.1"},
     "",
     "Value out of range for -y: -1000 (allowed: 0 or more)\n",
     1,
     0,
     10},
    {"CountZero", {"-n", "0", "127.0.0.1"}, "", "", 0, 0, 10},
    {"CountWithoutDigits", {"-n", "none", "127.0.0.1"}, "", "", 0, 0, 10},
    {"CountZeroContinuous", {"-n", "-t", "127.0.0.1"}, "", "", 0, 0, 10},
    {"Default", {"127.0.0.1"}, Replies(4), "", 0, 4.0, 20},
    {"OneRequestStillPauses", {"-n", "1", "127.0.0.1"}, Replies(1), "", 0, 1.0, 10},
    {"NoPause", {"-n", "3", "-y", "0", "127.0.0.1"}, Replies(3), "", 0, 0, 2.5},
    {"ShortPause", {"-n", "3", "-y", "300", "127.0.0.1"}, Replies(3), "", 0, 0.9, 5},
    {"UpperCaseOptions", {"-N", "2", "-Y", "0", "127.0.0.1"}, Replies(2), "", 0, 0, 10},
    {"CountGivenTwice", {"-n", "5", "-n", "2", "-y", "0", "127.0.0.1"}, Replies(2), "", 0, 0, 10},
    {"StrayWordsIgnored", {"stray", "-n", "1", "-y", "0", "127.0.0.1"}, Replies(1), "", 0, 0, 10},
    {"EmptyPayload",
     {"-n", "1", "-y", "0", "-l", "0", "127.0.0.1"},
     Reply("127.0.0.1", 0),
     "",
     0,
     0,
     10},
    {"LargestPayload",
     {"-n", "2", "-y", "0", "-l", "65500", "127.0.0.1"},
     Replies(2, "127.0.0.1", 65500),
     "",
     0,
     0,
     10},
    {"OtherLoopbackAddress",
     {"-n", "1", "-y", "0", "127.0.0.2"},
     Reply("127.0.0.2", 32),
     "",
     0,
     0,
     10},
    {"Localhost", {"-n", "1", "-y", "0", "localhost"}, Reply("127.0.0.1", 32), "", 0, 0, 10},
    {"UnresolvableName",
     {"-n", "2", "no-such-host.invalid"},
     "",
     "Can't find IP address for no-such-host.invalid\n",
     3,
     0,
     30},
    {"OverlongName",
     {"-n", "1", kLongName},
     "",
     "Can't find IP address for " + kLongName + "\n",
     3,
     0,
     30},
    {"LogFolderMissing",
     {"-x", "/no-such-folder/vakto.log", "127.0.0.1"},
     "",
     "Can't create file:/no-such-folder/vakto.log\n",
     1,
     0,
     10},
};

class RunCaseTest : public testing::TestWithParam<RunCase> {
 protected:
  void SetUp() override {
    if (!isolationProblem.empty()) {
      GTEST_SKIP() << isolationProblem;
    }
  }
};

TEST_P(RunCaseTest, WritesExactlyThis) {
  const RunCase& c = GetParam();
  ToolRun run = RunTool(c.args);
  EXPECT_EQ(MaskTimes(run.out), WithLineEnds(c.out));
  EXPECT_EQ(run.err, WithLineEnds(c.err));
  EXPECT_EQ(run.status, c.status);
  EXPECT_GE(run.seconds, c.minSeconds);
  EXPECT_LE(run.seconds, c.maxSeconds);
}

INSTANTIATE_TEST_SUITE_P(Runs, RunCaseTest, testing::ValuesIn(kRunCases),
                         [](const testing::TestParamInfo<RunCase>& info) {
                           return info.param.name;
                         });

// Cases that need files of their own around the run.
class RunFixture : public testing::Test {
 protected:
  void SetUp() override {
    if (!isolationProblem.empty()) {
      GTEST_SKIP() << isolationProblem;
    }
    folder_ = std::filesystem::path(testing::TempDir()) /
              ("vakto-" + std::to_string(getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    if (!folder_.empty()) {
      std::filesystem::remove_all(folder_);
    }
  }
  // Marks the test skipped; the caller returns when IsSkipped(), as GTEST_SKIP leaves only this.
  void LinuxBuildOnly() {
    const char* command = std::getenv("VAKTO_COMMAND");
    if (command != nullptr && *command != '\0') {
      GTEST_SKIP() << "lays out the Linux build's own files";
    }
  }
  std::string Path(const std::string& name) { return (folder_ / name).string(); }
  // A copy of the tool in a folder of the test's, with the given helper library beside it.
  std::string CopyTool(const std::string& folder, const char* library, const char* libraryFolder) {
    std::filesystem::create_directories(Path(folder));
    std::string tool = Path(folder + "/vakto");
    std::filesystem::copy_file(VAKTO_BINARY, tool);
    if (library != nullptr) {
      std::filesystem::create_directories(Path(libraryFolder));
      std::filesystem::copy_file(library, Path(std::string(libraryFolder) + "/icmp.so"));
    }
    return tool;
  }

  std::filesystem::path folder_;
};

TEST_F(RunFixture, LogFileIsAppendedAndMatchesStandardOutput) {
  std::string log = Path("vakto.log");
  WriteFile(log, "earlier line\n");
  ToolRun run = RunTool({"-n", "2", "-y", "0", "-x", log, "127.0.0.1"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(MaskTimes(run.out), WithLineEnds(Replies(2)));
  std::string written = ReadFile(log);
  EXPECT_EQ(written, "earlier line\n" + run.out);
}

TEST_F(RunFixture, LogFileKeepsNothingAfterAnArgumentError) {
  std::string log = Path("vakto.log");
  ToolRun run = RunTool({"-x", log, "-q", "127.0.0.1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, WithLineEnds("Unrecognized Argument :-q\n"));
  ASSERT_TRUE(std::filesystem::exists(log));
  EXPECT_EQ(std::filesystem::file_size(log), 0u);
}

TEST_F(RunFixture, ProbeFailureKeepsEarlierLogAndSendsNothing) {
  std::string log = Path("vakto.log");
  WriteFile(log, "kept\n");
  ToolRun run = RunTool({"-n", "1", "-x", log, "no-such-host.invalid"});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(ReadFile(log), "kept\n");
}

// Ctrl-C is the only way to end -t: every line reported before it must already be in the
// redirected output and in the log, whole.
TEST_F(RunFixture, ContinuousRunStoppedByInterruptKeepsEveryLine) {
  std::string out = Path("out.txt");
  std::string log = Path("vakto.log");
  int pid = StartTool({"-t", "-y", "200", "-x", log, "127.0.0.1"}, out, Path("err.txt"));
  ASSERT_GT(pid, 0);
  for (int waited = 0; waited < 100 && MaskTimes(ReadFile(out)).size() < Replies(5).size();
       ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGINT);
  // Wine's default Ctrl-C action ends the process with status 0, where Windows gives
  // STATUS_CONTROL_C_EXIT; what matters is that the interrupt, not the tool, ends the run.
  EXPECT_EQ(WaitTool(pid), UnderWine() ? 0 : 128 + SIGINT);
  std::string lines = ReadFile(out);
  int count = static_cast<int>(std::count(lines.begin(), lines.end(), '\n'));
  EXPECT_GE(count, 5);
  EXPECT_EQ(MaskTimes(lines), WithLineEnds(Replies(count)));
  EXPECT_EQ(ReadFile(log), lines);
  EXPECT_EQ(ReadFile(Path("err.txt")), "");
}

// The answers must come through this test's own namespace: a Wine server started outside it
// would send the tool's requests from the machine's network instead.
TEST_F(RunFixture, RequestsTravelThroughTheTestsNamespace) {
  EchoCounters before = ReadEchoCounters();
  ASSERT_GE(before.outEchos, 0) << "no ICMP counters in /proc/self/net/snmp";
  ToolRun run = RunTool({"-n", "3", "-y", "0", "127.0.0.1"});
  EchoCounters after = ReadEchoCounters();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(MaskTimes(run.out), WithLineEnds(Replies(3)));
  EXPECT_GE(after.outEchos - before.outEchos, 3);
  EXPECT_GE(after.inEchoReps - before.inEchoReps, 3);
}

TEST_F(RunFixture, WindowsWithoutIcmpDllIsStatusTwo) {
  if (!UnderWine()) {
    GTEST_SKIP() << "needs a Windows build run by Wine (VAKTO_COMMAND)";
  }
  ScopedEnv disabled("WINEDLLOVERRIDES", "icmp=d");
  ToolRun run = RunTool({"-n", "1", "-y", "0", "127.0.0.1"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Unable to locate ICMP.DLL that I need \r\n");
}

// Windows looks in the application's folder first; Wine does so only for DLLs marked native.
TEST_F(RunFixture, WindowsIcmpDllWithoutSendIsStatusFour) {
  if (!UnderWine()) {
    GTEST_SKIP() << "needs a Windows build run by Wine (VAKTO_COMMAND)";
  }
  const char* incomplete = std::getenv("VAKTO_WINE_ICMP_INCOMPLETE");
  if (incomplete == nullptr || *incomplete == '\0') {
    GTEST_SKIP() << "VAKTO_WINE_ICMP_INCOMPLETE names no Windows build of the incomplete library";
  }
  std::vector<std::string> command = ToolCommand();
  std::filesystem::create_directories(Path("bin"));
  std::string tool = Path("bin/vakto.exe");
  std::filesystem::copy_file(command.back(), tool);
  std::filesystem::copy_file(incomplete, Path("bin/icmp.dll"));
  command.back() = tool;
  ScopedEnv native("WINEDLLOVERRIDES", "icmp=n");
  ToolRun run = RunTool({"-n", "1", "-y", "0", "127.0.0.1"}, command);
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Failed to get proc addr for function.\r\n");
}

TEST_F(RunFixture, MissingHelperLibraryIsStatusTwo) {
  LinuxBuildOnly();
  if (IsSkipped()) {
    return;
  }
  ToolRun run = RunTool({"-n", "1", "-y", "0", "127.0.0.1"}, {CopyTool("bin", nullptr, "")});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Unable to locate ICMP.DLL that I need \n");
}

TEST_F(RunFixture, HelperLibraryWithoutSendIsStatusFour) {
  LinuxBuildOnly();
  if (IsSkipped()) {
    return;
  }
  ToolRun run = RunTool({"-n", "1", "-y", "0", "127.0.0.1"},
                        {CopyTool("bin", ICMP_INCOMPLETE_LIBRARY, "bin")});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Failed to get proc addr for function.\n");
}

TEST_F(RunFixture, LibraryOrderCheckedBeforeName) {
  LinuxBuildOnly();
  if (IsSkipped()) {
    return;
  }
  ToolRun run = RunTool({"-n", "1", "no-such-host.invalid"}, {CopyTool("bin", nullptr, "")});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "Unable to locate ICMP.DLL that I need \n");
}

TEST_F(RunFixture, HelperLibraryFoundInInstalledTree) {
  LinuxBuildOnly();
  if (IsSkipped()) {
    return;
  }
  ToolRun run =
      RunTool({"-n", "1", "-y", "0", "127.0.0.1"}, {CopyTool("bin", ICMP_LIBRARY, "lib/vakto")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(MaskTimes(run.out), Replies(1));
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  isolationProblem = IsolateNetwork();
  return RUN_ALL_TESTS();
}
