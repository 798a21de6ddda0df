#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "probe/probe.h"

namespace {

struct LineCase {
  const char* name;
  unsigned char address[4];
  ULONG roundTripMs;
  UCHAR ttl;
  int payloadSize;
  USHORT dataSize;  // what came back; the line shows the size asked for
  int year, month, day, hour, minute, second;
  const char* expected;
};

const LineCase kLineCases[] = {
    {"Afternoon",
     {192, 0, 2, 1},
     3,
     128,
     32,
     32,
     2004,
     3,
     3,
     16,
     5,
     9,
     "Reply from 192.0.2.1: byte=32 time:3ms TTL:128 at 2004/03/03-16:05:09\n"},
    {"JustAfterMidnight",
     {127, 0, 0, 1},
     0,
     64,
     0,
     0,
     2026,
     2,
     1,
     0,
     4,
     5,
     "Reply from 127.0.0.1: byte=0 time:0ms TTL:64 at 2026/02/01-00:04:05\n"},
    {"January",
     {203, 0, 113, 255},
     1,
     1,
     56,
     56,
     1999,
     1,
     31,
     23,
     59,
     59,
     "Reply from 203.0.113.255: byte=56 time:1ms TTL:1 at 1999/01/31-23:59:59\n"},
    {"December",
     {198, 51, 100, 7},
     4999,
     255,
     65500,
     65500,
     2026,
     12,
     11,
     9,
     0,
     0,
     "Reply from 198.51.100.7: byte=65500 time:4999ms TTL:255 at 2026/12/11-09:00:00\n"},
    {"ShortAnswerStillShowsAskedSize",
     {198, 51, 100, 7},
     12,
     60,
     1000,
     8,
     2026,
     6,
     9,
     12,
     30,
     0,
     "Reply from 198.51.100.7: byte=1000 time:12ms TTL:60 at 2026/06/09-12:30:00\n"},
    {"EarlyYearPadsToFourDigits",
     {0, 0, 0, 0},
     0,
     0,
     32,
     32,
     999,
     10,
     10,
     10,
     10,
     10,
     "Reply from 0.0.0.0: byte=32 time:0ms TTL:0 at 0999/10/10-10:10:10\n"},
};

class ReportLineTest : public testing::TestWithParam<LineCase> {};

TEST_P(ReportLineTest, FormatsTheAnswerRecord) {
  const LineCase& c = GetParam();
  ICMP_ECHO_REPLY reply = {};
  std::memcpy(&reply.Address, c.address, sizeof reply.Address);
  reply.RoundTripTime = c.roundTripMs;
  reply.Options.Ttl = c.ttl;
  reply.DataSize = c.dataSize;
  std::tm sentAt = {};
  sentAt.tm_year = c.year - 1900;
  sentAt.tm_mon = c.month - 1;
  sentAt.tm_mday = c.day;
  sentAt.tm_hour = c.hour;
  sentAt.tm_min = c.minute;
  sentAt.tm_sec = c.second;

  ReportLine line;
  std::memset(line, 'z', sizeof line);
  FormatReportLine(&reply, c.payloadSize, &sentAt, line);
  EXPECT_EQ(std::string(line), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Lines, ReportLineTest, testing::ValuesIn(kLineCases),
                         [](const testing::TestParamInfo<LineCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(ReportLineTest, NoAnswerLine) {
  ReportLine line;
  FormatNoAnswerLine(line);
  EXPECT_EQ(std::string(line), "Failed to get response.\n");
}

}  // namespace
