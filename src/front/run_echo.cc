#include "front/run_echo.h"

#include <cstdio>

#include "front/echo_settings.h"
#include "front/options.h"
#include "probe/probe.h"

namespace {

// Each line is flushed as it is written, so a run stopped by Ctrl-C, the only way to end -t,
// has lost no line it reported, even behind a pipe.
bool WriteLine(std::FILE* file, const char* line) {
  return std::fputs(line, file) != EOF && std::fflush(file) == 0;
}

int EchoLoop(const char* target, EchoSettings* settings) {
  ProbeStatus status = kStatusOk;
  ReportLine line;
  while (settings->count != 0) {
    status = ProbeOnce(target, line, settings->payloadSize);
    if (status != kStatusOk) {
      break;
    }
    // A line that cannot be kept ends the run: going on would report success for lost lines.
    if (settings->logFile != nullptr && !WriteLine(settings->logFile, line)) {
      SayLine("Can't write to file:", settings->logFileName);
      return kStatusWriteFailed;
    }
    if (!WriteLine(stdout, line)) {
      SayLine("Can't write to standard output.");
      return kStatusWriteFailed;
    }
    if (settings->intervalMs > 0) {
      Sleep(static_cast<DWORD>(settings->intervalMs));
    }
    if (!settings->continuous) {
      --settings->count;
    }
  }
  return status;
}

int RunWithSettings(int argc, char** argv, EchoSettings* settings) {
  if (!ScanOptions(argv, argc, settings)) {
    return kStatusUsage;
  }
  const char* target = argv[argc - 1];
  if (target[0] == '-') {
    SayLine("Argument is not enough");
    return kStatusUsage;
  }
  if (!CheckSettingRanges(settings)) {
    return kStatusUsage;
  }
  return EchoLoop(target, settings);
}

int RunWithSockets(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return kStatusUsage;
  }
  EchoSettings settings;
  SetDefaultSettings(&settings);
  int status = RunWithSettings(argc, argv, &settings);
  if (settings.logFile != nullptr && std::fclose(settings.logFile) != 0 && status == kStatusOk) {
    SayLine("Can't write to file:", settings.logFileName);
    status = kStatusWriteFailed;
  }
  return status;
}

}  // namespace

int RunEcho(int argc, char** argv) {
  WSADATA socketLayer;
  if (WSAStartup(MAKEWORD(1, 1), &socketLayer) != 0) {
    return kStatusNoSockets;
  }
  int status = RunWithSockets(argc, argv);
  WSACleanup();
  return status;
}
