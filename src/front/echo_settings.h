// The run's settings: defaults from the entry point, filled in by the option scan.
#pragma once

#include <cstdio>

struct EchoSettings {
  int count;           // echo requests still to send
  bool continuous;     // send until stopped; count is then left alone
  int payloadSize;     // bytes of data in each request
  int intervalMs;      // pause after each request
  std::FILE* logFile;  // every report line is appended here too, when set
  const char* logFileName;
};

void SetDefaultSettings(EchoSettings* settings);
