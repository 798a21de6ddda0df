// Names through the system's resolver, fed from a private hosts file that only this test's
// mount namespace sees: the machine's own /etc/hosts is never touched.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "network_fixture.h"
#include "tool_runner.h"

namespace {

// Every version of the file has the same length and differs only in place, so a tool that
// reads it while it is rewritten sees the old text or the new, never a short one.
std::string Hosts(const std::string& movingLine) {
  return "127.0.0.1 localhost\n"
         "198.51.100.10 onehost\n"
         "198.51.100.11 twohost\n"
         "198.51.100.12 twohost\n" +
         movingLine;
}
const char kMovingFirst[] = "198.51.100.10 movinghost\n";
const char kMovingSecond[] = "198.51.100.13 movinghost\n";
const char kMovingGone[] = "198.51.100.13 xxxxxxxxxx\n";

void Rewrite(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  close(fd);
}

class NamesTest : public NetworkTest {
 public:
  void SetUp() override {
    NetworkTest::SetUp();
    if (IsSkipped()) {
      return;
    }
    StartTestHosts({"--host", "198.51.100.10",                        //
                    "--host", "198.51.100.11", "--ttl", "111",        //
                    "--host", "198.51.100.12", "--answer", "silent",  //
                    "--host", "198.51.100.13", "--ttl", "113"});
    // Files alone, every address of a name: no name server is ever asked.
    OverlayFile("/etc/nsswitch.conf", "hosts: files\n");
    OverlayFile("/etc/host.conf", "multi on\n");
    hostsFile_ = OverlayFile("/etc/hosts", Hosts(kMovingFirst));
  }

  std::string hostsFile_;
};

TEST_F(NamesTest, FirstAddressOfANameAndDottedAddresses) {
  ASSERT_FALSE(HasFailure());
  std::vector<Expected> cases = {
      {{"-n", "2", "-y", "0", "onehost"}, {"198.51.100.10", "198.51.100.10"}, 64, 0, 3},
      // The second address never answers: a tool that used it would wait out both requests.
      {{"-n", "2", "-y", "0", "twohost"}, {"198.51.100.11", "198.51.100.11"}, 111, 0, 3},
      {{"-n", "1", "-y", "0", "198.51.100.13"}, {"198.51.100.13"}, 113, 0, 3},
  };
  std::vector<ConcurrentRun> runs;
  for (const Expected& want : cases) {
    runs.push_back(ConcurrentRun{want.args});
  }
  RunTogether(&runs);
  for (size_t i = 0; i < cases.size(); ++i) {
    CheckRun(runs[i], cases[i]);
  }
}

// The name is looked up anew for every request: a run follows it to a new address, and ends
// with status 3 once it no longer resolves, keeping every line written before.
TEST_F(NamesTest, NameThatMovesAndThenStopsResolving) {
  ASSERT_FALSE(HasFailure());
  std::vector<std::vector<std::string>> argLists = {{"-t", "-y", "100", "movinghost"},
                                                    {"-n", "1000", "-y", "100", "movinghost"}};
  std::vector<pid_t> pids;
  for (size_t i = 0; i < argLists.size(); ++i) {
    std::string base = dir_ + "/moving" + std::to_string(i);
    pids.push_back(StartTool(argLists[i], base + ".out", base + ".err"));
  }
  auto waitForText = [&](const std::string& text) {
    for (int tries = 0; tries < 300; ++tries) {
      bool all = true;
      for (size_t i = 0; i < pids.size(); ++i) {
        all = all && ReadFile(dir_ + "/moving" + std::to_string(i) + ".out").find(text) !=
                         std::string::npos;
      }
      if (all) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  bool first = waitForText("Reply from 198.51.100.10:");
  Rewrite(hostsFile_, Hosts(kMovingSecond));
  bool second = first && waitForText("Reply from 198.51.100.13:");
  Rewrite(hostsFile_, Hosts(kMovingGone));

  for (size_t i = 0; i < pids.size(); ++i) {
    SCOPED_TRACE(argLists[i][0]);
    int status = -1;
    for (int tries = 0; tries < 300 && status == -1; ++tries) {
      int raw = 0;
      if (waitpid(pids[i], &raw, WNOHANG) == pids[i]) {
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (status == -1) {
      kill(pids[i], SIGKILL);
      waitpid(pids[i], nullptr, 0);
      ADD_FAILURE() << "still running 3 s after the name stopped resolving";
    }
    std::string base = dir_ + "/moving" + std::to_string(i);
    std::string out = ReadFile(base + ".out");
    SCOPED_TRACE(out);
    EXPECT_TRUE(first) << "never answered from the first address";
    EXPECT_TRUE(second) << "never followed the name to its new address";
    EXPECT_EQ(status, 3);
    EXPECT_EQ(ReadFile(base + ".err"), WithLineEnds("Can't find IP address for movinghost\n"));
    // Every line answered, from the old address first and then from the new one only.
    std::vector<EchoLine> lines = ParseToolLines(out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front().from, "198.51.100.10");
    EXPECT_EQ(lines.back().from, "198.51.100.13");
    bool moved = false;
    for (const EchoLine& line : lines) {
      EXPECT_TRUE(line.reply);
      moved = moved || line.from == "198.51.100.13";
      EXPECT_EQ(line.from, moved ? "198.51.100.13" : "198.51.100.10");
    }
  }
}

}  // namespace
