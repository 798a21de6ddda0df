#include "front/options.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "probe/probe.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char LowerLetter(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool OpenLogFile(const char* name, EchoSettings* settings) {
  std::FILE* file = std::fopen(name, "a");
  if (file == nullptr) {
    SayLine("Can't create file:", name);
    return false;
  }
  // An earlier -x file stays created but gets nothing; it need not stay open.
  if (settings->logFile != nullptr) {
    std::fclose(settings->logFile);
  }
  settings->logFile = file;
  settings->logFileName = name;
  return true;
}

bool SayOutOfRange(const char* option, int value, const char* allowed) {
  std::fprintf(stderr, "Value out of range for %s: %d (allowed: %s)\n", option, value, allowed);
  std::fflush(stderr);
  return false;
}

}  // namespace

void SayLine(const char* text, const char* detail) {
  std::fprintf(stderr, "%s%s\n", text, detail);
  std::fflush(stderr);
}

void SetDefaultSettings(EchoSettings* settings) {
  settings->count = 4;
  settings->continuous = false;
  settings->payloadSize = 32;
  settings->intervalMs = 1000;
  settings->logFile = nullptr;
  settings->logFileName = nullptr;
}

void PrintUsage() {
  static const char* const kLines[] = {
      "",
      "Usage: vakto [-l size] [-t] [-x file_name] target_name",
      "",
      "Options:",
      "     -t             Ping the specified host until stopped.",
      "                    To stop - type Control-C.",
      "     -n count       Number of echo requests to send.",
      "     -l size        Send buffer size.",
      "     -x file_name   Save Messages to logfile <file_name>;",
      "     -y time(ms)    ICMP Send Interval in miliseconds.",
      "",
  };
  for (const char* line : kLines) {
    SayLine(line);
  }
}

int DecimalValue(const char* word) {
  while (IsBlank(*word)) {
    ++word;
  }
  bool negative = *word == '-';
  if (*word == '-' || *word == '+') {
    ++word;
  }
  std::uint32_t value = 0;
  for (; *word >= '0' && *word <= '9'; ++word) {
    value = value * 10u + static_cast<std::uint32_t>(*word - '0');
  }
  if (negative) {
    value = 0u - value;
  }
  return static_cast<int>(value);
}

bool ScanOptions(char** argv, int argc, EchoSettings* settings) {
  int target = argc - 1;
  for (int i = 1; i < target; ++i) {
    const char* word = argv[i];
    // Plain words are passed over; this is also how the values of -n, -l and -y are consumed.
    if (word[0] != '-') {
      continue;
    }
    char letter = std::strlen(word) == 2 ? LowerLetter(word[1]) : '\0';
    if (letter == 't') {
      settings->continuous = true;
      continue;
    }
    if (letter != 'n' && letter != 'l' && letter != 'y' && letter != 'x') {
      SayLine("Unrecognized Argument :", word);
      return false;
    }
    if (i + 1 >= target) {
      SayLine("Argument is not enough");
      return false;
    }
    const char* value = argv[i + 1];
    if (letter == 'n') {
      settings->count = DecimalValue(value);
    } else if (letter == 'l') {
      settings->payloadSize = DecimalValue(value);
    } else if (letter == 'y') {
      settings->intervalMs = DecimalValue(value);
    } else {
      if (!OpenLogFile(value, settings)) {
        return false;
      }
      ++i;  // a log file name may itself begin with "-"
    }
  }
  return true;
}

bool CheckSettingRanges(const EchoSettings* settings) {
  if (settings->count < 0) {
    return SayOutOfRange("-n", settings->count, "0 or more");
  }
  if (settings->payloadSize < 0 || settings->payloadSize > kMaxPayloadSize) {
    return SayOutOfRange("-l", settings->payloadSize, "0 to 65500");
  }
  if (settings->intervalMs < 0) {
    return SayOutOfRange("-y", settings->intervalMs, "0 or more");
  }
  return true;
}
