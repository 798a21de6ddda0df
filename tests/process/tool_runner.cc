#include "tool_runner.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

std::vector<char*> Argv(const std::vector<std::string>& command,
                        const std::vector<std::string>& args, std::vector<std::string>* keep) {
  *keep = command;
  keep->insert(keep->end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : *keep) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  return argv;
}

[[noreturn]] void ExecChild(std::vector<char*>& argv) {
  int null = open("/dev/null", O_RDONLY);
  dup2(null, 0);
  execvp(argv[0], argv.data());
  _exit(127);
}

int DecodeStatus(int raw) {
  if (WIFEXITED(raw)) {
    return WEXITSTATUS(raw);
  }
  return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

bool WriteLo(int sock, short flags) {
  ifreq request = {};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  request.ifr_flags = flags;
  return ioctl(sock, SIOCSIFFLAGS, &request) == 0;
}

bool WriteProcFile(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY);
  if (fd < 0) {
    return false;
  }
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

}  // namespace

std::vector<std::string> ToolCommand() {
  const char* command = std::getenv("VAKTO_COMMAND");
  if (command == nullptr || *command == '\0') {
    return {VAKTO_BINARY};
  }
  std::vector<std::string> words;
  std::istringstream in(command);
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return words;
}

std::string LineEnd() {
  const char* end = std::getenv("VAKTO_LINE_END");
  return end != nullptr && std::strcmp(end, "crlf") == 0 ? "\r\n" : "\n";
}

ToolRun RunTool(const std::vector<std::string>& args, const std::vector<std::string>& command) {
  std::vector<std::string> keep;
  std::vector<char*> argv = Argv(command, args, &keep);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return {};
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    ExecChild(argv);
  }
  close(out[1]);
  close(err[1]);
  ToolRun run;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) {
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && fds[i].revents != 0) {
        char buffer[4096];
        ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          sinks[i]->append(buffer, n);
        } else if (n == 0 || errno != EINTR) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        }
      }
    }
  }
  run.status = WaitTool(pid);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

int StartTool(const std::vector<std::string>& args, const std::string& outPath,
              const std::string& errPath, const std::vector<std::string>& command) {
  std::vector<std::string> keep;
  std::vector<char*> argv = Argv(command, args, &keep);
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    ExecChild(argv);
  }
  return pid;
}

int WaitTool(int pid) {
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return DecodeStatus(raw);
}

std::string MaskTimes(const std::string& text) {
  static const std::regex kTime("time:[0-9]+ms");
  static const std::regex kWhen("[0-9]{4}/[0-9]{2}/[0-9]{2}-[0-9]{2}:[0-9]{2}:[0-9]{2}");
  return std::regex_replace(std::regex_replace(text, kTime, "time:#ms"), kWhen, "<when>");
}

std::string WithLineEnds(const std::string& text) {
  std::string end = LineEnd();
  std::string result;
  for (char c : text) {
    if (c == '\n') {
      result += end;
    } else {
      result += c;
    }
  }
  return result;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string IsolateNetwork() {
  if (unshare(CLONE_NEWNET) != 0) {
    // Without root, a user namespace of our own still gives a private network.
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
      return std::string("cannot make a network namespace: ") + std::strerror(errno);
    }
    WriteProcFile("/proc/self/setgroups", "deny");
    if (!WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      return "cannot map this user into a user namespace";
    }
  }
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool up = sock >= 0 && WriteLo(sock, IFF_UP | IFF_RUNNING);
  if (sock >= 0) {
    close(sock);
  }
  return up ? "" : "cannot bring loopback up in the test's network namespace";
}
