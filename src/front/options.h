// The command line: usage screen, option scan, and the values the options take.
#pragma once

#include "front/echo_settings.h"

// Writes one whole line to standard error at once: text, then detail.
void SayLine(const char* text, const char* detail = "");

void PrintUsage();

// Walks argv[1] up to, not including, the target in argv[argc - 1] and fills settings, opening
// the log file when -x asks for one. Returns false after writing the message of the first word
// it cannot accept.
bool ScanOptions(char** argv, int argc, EchoSettings* settings);

// The option value of a word: leading white space, an optional sign, then digits up to the
// first non-digit; 0 when there are none. Wraps modulo 2^32 rather than saturating.
int DecimalValue(const char* word);

// Refuses values the scan lets through but the run cannot honour (negative counts, sizes and
// intervals, payloads past what fits in one datagram). Returns false after writing a message.
bool CheckSettingRanges(const EchoSettings* settings);
