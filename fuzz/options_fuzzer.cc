// Arbitrary command lines through the option scan, the decimal value reading and the range
// check. The bytes are split into words at each NUL, as the platform hands argv over.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "front/echo_settings.h"
#include "front/options.h"

namespace {

constexpr size_t kMaxWords = 64;

// A second reading of a word's value, by other means: 64-bit arithmetic reduced modulo 2^32
// at each digit. The scan's reading must agree with it for every word.
int ReferenceValue(const char* word) {
  while (*word != '\0' && std::strchr(" \t\n\v\f\r", *word) != nullptr) {
    ++word;
  }
  bool negative = *word == '-';
  if (*word == '-' || *word == '+') {
    ++word;
  }
  uint64_t value = 0;
  while (*word >= '0' && *word <= '9') {
    value = (value * 10 + static_cast<uint64_t>(*word - '0')) % (uint64_t{1} << 32);
    ++word;
  }
  if (negative) {
    value = ((uint64_t{1} << 32) - value) % (uint64_t{1} << 32);
  }
  return static_cast<int>(static_cast<uint32_t>(value));
}

// -x creates files: every one lands in a scratch folder of this process and goes again after
// each input, so a long run neither fills the disk nor writes anywhere else. The fuzzer works
// from that folder, so give it its corpus and artifact paths as absolute paths.
char gScratch[] = "/tmp/vakto-options-fuzz-XXXXXX";

void EmptyScratch() {
  DIR* folder = opendir(".");
  if (folder == nullptr) {
    std::abort();
  }
  while (dirent* entry = readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      unlink(entry->d_name);
    }
  }
  closedir(folder);
}

void RemoveScratch() {
  EmptyScratch();
  if (chdir("/") == 0) {
    rmdir(gScratch);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (mkdtemp(gScratch) == nullptr || chdir(gScratch) != 0) {
    std::abort();
  }
  std::atexit(RemoveScratch);
  // The scan's messages would drown the fuzzer's own output; the sanitizers write to the
  // descriptor, not through this stream, so their reports still show.
  std::FILE* sink = std::fopen("/dev/null", "w");
  if (sink != nullptr) {
    stderr = sink;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each word in a heap block of its own, so a read past a word's end is caught.
  std::vector<char*> argv;
  argv.push_back(strdup("vakto"));
  bool mayCreateFiles = false;
  size_t start = 0;
  while (start <= size && argv.size() < kMaxWords) {
    const void* nul = std::memchr(data + start, 0, size - start);
    size_t end =
        nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
    char* word = static_cast<char*>(std::malloc(end - start + 1));
    std::memcpy(word, data + start, end - start);
    word[end - start] = '\0';
    // File names stay inside the scratch folder.
    for (char* c = word; *c != '\0'; ++c) {
      if (*c == '/') {
        *c = '_';
      }
    }
    if (word[0] == '-' && (word[1] == 'x' || word[1] == 'X') && word[2] == '\0') {
      mayCreateFiles = true;
    }
    argv.push_back(word);
    start = end + 1;
  }
  int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);

  for (int i = 0; i < argc; ++i) {
    if (DecimalValue(argv[i]) != ReferenceValue(argv[i])) {
      std::abort();
    }
  }

  if (argc >= 2) {
    EchoSettings settings;
    SetDefaultSettings(&settings);
    bool scanned = ScanOptions(argv.data(), argc, &settings);
    if (settings.logFile != nullptr) {
      // The name the run reports write failures under must be one of the words.
      bool named = false;
      for (int i = 1; i < argc - 1; ++i) {
        named = named || settings.logFileName == argv[i];
      }
      if (!named) {
        std::abort();
      }
    }
    if (scanned) {
      bool inRange = CheckSettingRanges(&settings);
      bool expected = settings.count >= 0 && settings.payloadSize >= 0 &&
                      settings.payloadSize <= 65500 && settings.intervalMs >= 0;
      if (inRange != expected) {
        std::abort();
      }
    }
    if (settings.logFile != nullptr) {
      std::fclose(settings.logFile);
    }
  }
  if (mayCreateFiles) {
    EmptyScratch();
  }
  for (int i = 0; i < argc; ++i) {
    std::free(argv[i]);
  }
  return 0;
}
