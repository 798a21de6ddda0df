#include <cstdio>
#include <cstring>

#include "probe/probe.h"

void FormatReportLine(const ICMP_ECHO_REPLY* reply, int payloadSize, const std::tm* sentAt,
                      ReportLine line) {
  // The address is in network order: its first byte in memory is the first one written.
  unsigned char address[4];
  std::memcpy(address, &reply->Address, sizeof address);
  std::snprintf(
      line, kReportLineSize,
      "Reply from %d.%d.%d.%d: byte=%d time:%dms TTL:%d at %04d/%02d/%02d-%02d:%02d:%02d\n",
      address[0], address[1], address[2], address[3], payloadSize,
      static_cast<int>(reply->RoundTripTime), reply->Options.Ttl, sentAt->tm_year + 1900,
      sentAt->tm_mon + 1, sentAt->tm_mday, sentAt->tm_hour, sentAt->tm_min, sentAt->tm_sec);
}

void FormatNoAnswerLine(ReportLine line) {
  std::snprintf(line, kReportLineSize, "Failed to get response.\n");
}
