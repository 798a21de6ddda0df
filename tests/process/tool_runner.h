// Runs the built tool as a child process and captures what it writes, for tests that compare
// a whole run against the text it should produce.
#pragma once

#include <string>
#include <vector>

struct ToolRun {
  std::string out;
  std::string err;
  int status = -1;     // exit status, or 128 + signal number when a signal ended it
  double seconds = 0;  // wall time from start to exit
};

// The command that starts the tool: VAKTO_COMMAND split on blanks when set (a Windows build
// under Wine, say), else the binary this test was built with.
std::vector<std::string> ToolCommand();

// What the tool ends its lines with: VAKTO_LINE_END ("crlf") or a plain line feed.
std::string LineEnd();

// Runs command + args with standard input closed and waits for it to end.
ToolRun RunTool(const std::vector<std::string>& args,
                const std::vector<std::string>& command = ToolCommand());

// Starts command + args with standard output sent to outPath; returns the child's pid.
int StartTool(const std::vector<std::string>& args, const std::string& outPath,
              const std::string& errPath, const std::vector<std::string>& command = ToolCommand());
// Waits for pid and returns its status as RunTool does.
int WaitTool(int pid);

// Masks what changes from run to run: each "time:<n>ms" becomes "time:#ms" and each
// timestamp "YYYY/MM/DD-hh:mm:ss" becomes "<when>".
std::string MaskTimes(const std::string& text);

// Replaces each "\n" in text with LineEnd().
std::string WithLineEnds(const std::string& text);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// Moves this process into a network namespace of its own with only loopback up, so that no
// request of the tool's can leave the machine. Returns "" on success, else why it could not.
std::string IsolateNetwork();
