// One echo request to one report line, and the statuses the whole tool shares.
#pragma once

#include <ctime>

#include "platform.h"

// A probe's result. The values double as the process exit status, so every status the tool can
// end with is named here.
typedef int ProbeStatus;
constexpr ProbeStatus kStatusOk = 0;
constexpr ProbeStatus kStatusUsage = 1;  // usage screen, or an argument error
constexpr ProbeStatus kStatusNoLibrary = 2;
constexpr ProbeStatus kStatusNoAddress = 3;
constexpr ProbeStatus kStatusNoEntryPoint = 4;
constexpr ProbeStatus kStatusNoService = 5;
constexpr ProbeStatus kStatusNoReplyArea = 6;
constexpr ProbeStatus kStatusWriteFailed = 7;  // a report line could not be written out
constexpr ProbeStatus kStatusNoSockets = 255;

constexpr int kReportLineSize = 256;
typedef char ReportLine[kReportLineSize];

constexpr int kMaxTargetLength = 255;
constexpr int kMaxPayloadSize = 65500;
constexpr DWORD kReplyWaitMs = 5000;

// Sends one echo request of payloadSize bytes (0 to kMaxPayloadSize) to target and, on kStatusOk,
// leaves one line ending in a line feed in line. Any other status has written its message to
// standard error and left line untouched.
ProbeStatus ProbeOnce(const char* target, ReportLine line, int payloadSize);

// The line for an answer record: payloadSize is the size asked for, sentAt the local time the
// request left.
void FormatReportLine(const ICMP_ECHO_REPLY* reply, int payloadSize, const std::tm* sentAt,
                      ReportLine line);
void FormatNoAnswerLine(ReportLine line);
