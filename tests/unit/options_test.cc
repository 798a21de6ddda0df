#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "front/echo_settings.h"
#include "front/options.h"

namespace {

struct DecimalCase {
  const char* word;
  int value;
};

const DecimalCase kDecimalCases[] = {
    {"0", 0},
    {"17", 17},
    {"007", 7},
    {"12ms", 12},
    {"", 0},
    {"abc", 0},
    {"-", 0},
    {"+", 0},
    {"-t", 0},
    {"-5", -5},
    {"+42", 42},
    {" \t\n\v\f\r9", 9},
    {" -3", -3},
    {"- 3", 0},
    {"2147483647", 2147483647},
    {"2147483648", -2147483647 - 1},
    {"4294967295", -1},
    {"4294967297", 1},
    {"-4294967297", -1},
    {"99999999999", 1215752191},  // 99999999999 mod 2^32
};

TEST(DecimalValueTest, ReadsLikeTheCommandLineDoes) {
  for (const DecimalCase& c : kDecimalCases) {
    EXPECT_EQ(DecimalValue(c.word), c.value) << "word \"" << c.word << "\"";
  }
}

struct ScanCase {
  std::vector<std::string> words;  // after the program's name; the last is the target
  bool accepted;
  std::string message;
  int count;
  bool continuous;
  int payloadSize;
  int intervalMs;
};

const ScanCase kScanCases[] = {
    {{"host"}, true, "", 4, false, 32, 1000},
    {{"-n", "1", "host"}, true, "", 1, false, 32, 1000},
    {{"-N", "9", "-T", "-L", "64", "-Y", "0", "host"}, true, "", 9, true, 64, 0},
    {{"-n", "3", "-n", "7", "host"}, true, "", 7, false, 32, 1000},
    {{"-y", "250", "host"}, true, "", 4, false, 32, 250},
    {{"-n", "many", "host"}, true, "", 0, false, 32, 1000},
    {{"stray", "words", "host"}, true, "", 4, false, 32, 1000},
    {{"-n", "-t", "host"}, true, "", 0, true, 32, 1000},
    {{"-n", " -5", "host"}, true, "", -5, false, 32, 1000},
    {{"-l", "4294967296", "host"}, true, "", 4, false, 0, 1000},
    {{"-n", "-5", "host"}, false, "Unrecognized Argument :-5\n", -5, false, 32, 1000},
    {{"-q", "host"}, false, "Unrecognized Argument :-q\n", 4, false, 32, 1000},
    {{"-1", "host"}, false, "Unrecognized Argument :-1\n", 4, false, 32, 1000},
    {{"-tn", "host"}, false, "Unrecognized Argument :-tn\n", 4, false, 32, 1000},
    {{"--", "host"}, false, "Unrecognized Argument :--\n", 4, false, 32, 1000},
    {{"-", "host"}, false, "Unrecognized Argument :-\n", 4, false, 32, 1000},
    {{"-\xc3", "host"}, false, "Unrecognized Argument :-\xc3\n", 4, false, 32, 1000},
    {{"-n", "host"}, false, "Argument is not enough\n", 4, false, 32, 1000},
    {{"-l", "host"}, false, "Argument is not enough\n", 4, false, 32, 1000},
    {{"-Y", "host"}, false, "Argument is not enough\n", 4, false, 32, 1000},
    {{"-x", "host"}, false, "Argument is not enough\n", 4, false, 32, 1000},
    {{"-t", "-n", "host"}, false, "Argument is not enough\n", 4, true, 32, 1000},
    // The scan stops at the first failure: the later -n is never read.
    {{"-q", "-n", "2", "host"}, false, "Unrecognized Argument :-q\n", 4, false, 32, 1000},
    {{"-n", "2", "-z", "-n", "3", "host"},
     false,
     "Unrecognized Argument :-z\n",
     2,
     false,
     32,
     1000},
};

std::string CaseName(const testing::TestParamInfo<ScanCase>& info) {
  return "Case" + std::to_string(info.index);
}

class ScanOptionsTest : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanOptionsTest, SetsSettingsOrSaysWhy) {
  const ScanCase& c = GetParam();
  std::vector<std::string> words = c.words;
  words.insert(words.begin(), "vakto");
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  EchoSettings settings;
  SetDefaultSettings(&settings);

  testing::internal::CaptureStderr();
  bool accepted = ScanOptions(argv.data(), static_cast<int>(argv.size()), &settings);
  std::string message = testing::internal::GetCapturedStderr();

  EXPECT_EQ(accepted, c.accepted);
  EXPECT_EQ(message, c.message);
  EXPECT_EQ(settings.count, c.count);
  EXPECT_EQ(settings.continuous, c.continuous);
  EXPECT_EQ(settings.payloadSize, c.payloadSize);
  EXPECT_EQ(settings.intervalMs, c.intervalMs);
  EXPECT_EQ(settings.logFile, nullptr);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, ScanOptionsTest, testing::ValuesIn(kScanCases), CaseName);

class LogFileOptionTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::path(testing::TempDir()) /
              (std::string("vakto-options-") +
               testing::UnitTest::GetInstance()->current_test_info()->name());
    home_ = std::filesystem::current_path();
    std::filesystem::create_directories(folder_);
    SetDefaultSettings(&settings_);
  }
  void TearDown() override {
    if (settings_.logFile != nullptr) {
      std::fclose(settings_.logFile);
    }
    std::filesystem::current_path(home_);
    std::filesystem::remove_all(folder_);
  }

  bool Scan(std::vector<std::string> words) {
    words.insert(words.begin(), "vakto");
    words_ = words;
    std::vector<char*> argv;
    for (std::string& word : words_) {
      argv.push_back(word.data());
    }
    testing::internal::CaptureStderr();
    bool accepted = ScanOptions(argv.data(), static_cast<int>(argv.size()), &settings_);
    message_ = testing::internal::GetCapturedStderr();
    return accepted;
  }

  std::string Path(const char* name) { return (folder_ / name).string(); }

  std::filesystem::path folder_;
  std::filesystem::path home_;
  std::vector<std::string> words_;
  EchoSettings settings_;
  std::string message_;
};

TEST_F(LogFileOptionTest, NameBeginningWithDashIsAFileNotAnOption) {
  std::filesystem::current_path(folder_);
  ASSERT_TRUE(Scan({"-x", "-n", "host"}));
  EXPECT_NE(settings_.logFile, nullptr);
  EXPECT_EQ(settings_.count, 4);
  EXPECT_TRUE(std::filesystem::exists(folder_ / "-n"));
  EXPECT_EQ(message_, "");
}

TEST_F(LogFileOptionTest, PayloadValueThatIsAnOptionStillOpensTheFile) {
  ASSERT_TRUE(Scan({"-l", "-x", Path("log.txt"), "host"}));
  EXPECT_EQ(settings_.payloadSize, 0);
  EXPECT_NE(settings_.logFile, nullptr);
}

TEST_F(LogFileOptionTest, MissingFolderFails) {
  std::string name = Path("no-such-folder/log.txt");
  EXPECT_FALSE(Scan({"-x", name, "host"}));
  EXPECT_EQ(message_, "Can't create file:" + name + "\n");
  EXPECT_EQ(settings_.logFile, nullptr);
}

TEST_F(LogFileOptionTest, SecondFileWinsAndFirstStaysCreated) {
  ASSERT_TRUE(Scan({"-x", Path("first"), "-x", Path("second"), "host"}));
  ASSERT_NE(settings_.logFile, nullptr);
  EXPECT_EQ(std::string(settings_.logFileName), Path("second"));
  EXPECT_TRUE(std::filesystem::exists(Path("first")));
  EXPECT_EQ(std::filesystem::file_size(Path("first")), 0u);
}

TEST_F(LogFileOptionTest, FileOpenedBeforeALaterErrorStaysCreated) {
  EXPECT_FALSE(Scan({"-x", Path("log"), "-q", "host"}));
  EXPECT_EQ(message_, "Unrecognized Argument :-q\n");
  EXPECT_TRUE(std::filesystem::exists(Path("log")));
}

struct RangeCase {
  int count, payloadSize, intervalMs;
  const char* message;  // empty when the settings are accepted
};

const RangeCase kRangeCases[] = {
    {0, 0, 0, ""},
    {4, 65500, 1000, ""},
    {-1, 32, 1000, "Value out of range for -n: -1 (allowed: 0 or more)\n"},
    {4, -1, 1000, "Value out of range for -l: -1 (allowed: 0 to 65500)\n"},
    {4, 65501, 1000, "Value out of range for -l: 65501 (allowed: 0 to 65500)\n"},
    {4, 32, -2147483647 - 1, "Value out of range for -y: -2147483648 (allowed: 0 or more)\n"},
};

TEST(SettingRangesTest, RefusesWhatCannotBeSent) {
  for (const RangeCase& c : kRangeCases) {
    EchoSettings settings;
    SetDefaultSettings(&settings);
    settings.count = c.count;
    settings.payloadSize = c.payloadSize;
    settings.intervalMs = c.intervalMs;
    testing::internal::CaptureStderr();
    bool accepted = CheckSettingRanges(&settings);
    std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(accepted, c.message[0] == '\0') << c.message;
    EXPECT_EQ(message, c.message);
  }
}

TEST(UsageTest, ScreenIsExact) {
  testing::internal::CaptureStderr();
  PrintUsage();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\n"
            "Usage: vakto [-l size] [-t] [-x file_name] target_name\n"
            "\n"
            "Options:\n"
            "     -t             Ping the specified host until stopped.\n"
            "                    To stop - type Control-C.\n"
            "     -n count       Number of echo requests to send.\n"
            "     -l size        Send buffer size.\n"
            "     -x file_name   Save Messages to logfile <file_name>;\n"
            "     -y time(ms)    ICMP Send Interval in miliseconds.\n"
            "\n");
}

}  // namespace
