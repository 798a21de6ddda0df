// Report lines that cannot be written: the run must say so and end, not run on reporting
// success for lines that were lost. Each case runs the tool through the shell for its
// redirections, inside a network namespace of the test's own. VAKTO_COMMAND points the cases
// at another build (a Windows one under Wine, say).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tool_runner.h"

namespace {

const char kStdoutMessage[] = "Can't write to standard output.\n";
constexpr int kStatusWriteFailed = 7;

// The tool's command, quoted for the shell.
std::string ToolWords() {
  std::string words;
  for (const std::string& word : ToolCommand()) {
    words += " '" + word + "'";
  }
  return words;
}

ToolRun RunShell(const std::string& script) { return RunTool({"-c", script}, {"/bin/sh"}); }

size_t CountLines(const std::string& text) {
  size_t lines = 0;
  for (char c : text) {
    lines += c == '\n';
  }
  return lines;
}

class WriteFailure : public testing::Test {
 protected:
  void SetUp() override {
    std::string problem = IsolateNetwork();
    if (!problem.empty()) {
      GTEST_SKIP() << problem;
    }
    folder_ = std::filesystem::temp_directory_path() / ("vakto-write-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    if (!folder_.empty()) {
      std::filesystem::remove_all(folder_);
    }
  }
  std::filesystem::path folder_;
};

// A log on a file system that fills up under -t: the run must end on the first line that does
// not fit, and standard output must not hold a line the log lost.
TEST_F(WriteFailure, FullLogFileSystemEndsTheRun) {
  if (getuid() != 0) {
    GTEST_SKIP() << "mounting a small file system needs root";
  }
  std::string mountPoint = (folder_ / "small").string();
  std::string out = (folder_ / "out").string();
  std::string err = (folder_ / "err").string();
  std::filesystem::create_directories(mountPoint);
  // The mount lives only in this shell's own mount namespace.
  std::string script = "mount --make-rprivate / && mount -t tmpfs -o size=16k tmpfs '" +
                       mountPoint + "' || exit 99\n" + "timeout -s KILL 60" + ToolWords() +
                       " -t -y 0 -x '" + mountPoint + "/log' 127.0.0.1 >'" + out + "' 2>'" + err +
                       "'\necho $?; wc -l <'" + mountPoint + "/log'\n";
  ToolRun run = RunTool({"-m", "/bin/sh", "-c", script}, {"unshare"});
  ASSERT_EQ(run.status, 0) << run.err;
  int status = -1;
  size_t logLines = 0;
  ASSERT_EQ(std::sscanf(run.out.c_str(), "%d %zu", &status, &logLines), 2) << run.out;
  EXPECT_EQ(status, kStatusWriteFailed);
  EXPECT_EQ(ReadFile(err), "Can't write to file:" + mountPoint + "/log" + LineEnd());
  // 16 KiB holds a couple of hundred lines; all of them reached standard output too.
  EXPECT_GT(logLines, 100u);
  EXPECT_EQ(CountLines(ReadFile(out)), logLines);
}

struct OutputCase {
  const char* name;
  const char* redirection;
};

const OutputCase kOutputCases[] = {
    {"Closed", ">&-"},
    {"DeviceFull", ">/dev/full"},
};

class UnwritableOutput : public WriteFailure, public testing::WithParamInterface<OutputCase> {};

TEST_P(UnwritableOutput, EndsAtTheFirstLineWithStatusSeven) {
  std::string err = (folder_ / "err").string();
  ToolRun run = RunShell("timeout -s KILL 20" + ToolWords() + " -t -y 0 127.0.0.1 " +
                         GetParam().redirection + " 2>'" + err + "'");
  EXPECT_EQ(run.status, kStatusWriteFailed);
  EXPECT_EQ(ReadFile(err), WithLineEnds(kStdoutMessage));
}

INSTANTIATE_TEST_SUITE_P(Output, UnwritableOutput, testing::ValuesIn(kOutputCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A reader that goes away: the endless run must end soon after, by SIGPIPE or by status 7,
// and the reader has its one line.
TEST_F(WriteFailure, BrokenPipeEndsAContinuousRun) {
  std::string status = (folder_ / "status").string();
  std::string err = (folder_ / "err").string();
  ToolRun run = RunShell("{ timeout -s KILL 20" + ToolWords() + " -t -y 0 127.0.0.1 2>'" + err +
                         "'; echo $? >'" + status + "'; } | head -1");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(MaskTimes(run.out),
            WithLineEnds("Reply from 127.0.0.1: byte=32 time:#ms TTL:64 at <when>\n"));
  EXPECT_LT(run.seconds, 15.0);
  int code = std::stoi(ReadFile(status));
  EXPECT_TRUE(code == 128 + SIGPIPE || code == kStatusWriteFailed) << "status " << code;
  if (code == kStatusWriteFailed) {
    EXPECT_EQ(ReadFile(err), WithLineEnds(kStdoutMessage));
  } else {
    EXPECT_EQ(ReadFile(err), "");
  }
}

}  // namespace
