// kestrune-publish, the publisher's command-line tool: it hashes installers, writes their size and
// hash into the updates configuration file, stamps the keys of a signed file, lints the file the way
// the updater will read it and verifies a signed file as the updater does. Built from the updater's
// own reader, rules and codes.
#pragma once

#include <string>
#include <vector>

#include "base/utc_time.h"

namespace updater {

// What a command printed and its exit code: 0 clean, 1 warnings only (lint), 2 errors or bad input.
struct CommandOutput {
  int exitCode = 0;
  std::wstring out;
  std::wstring err;
};

inline constexpr int kExitClean = 0;
inline constexpr int kExitWarnings = 1;
inline constexpr int kExitErrors = 2;

// Runs one command line (the arguments after the program's name).
CommandOutput RunPublishCommand(const std::vector<std::wstring>& arguments, FileTime64 now = CurrentUtcFileTime());

// "Serial" for a new stamp: the seconds since 1970 at `now`, or one more than the old serial when
// that is higher (a clock set back must not make the file older than one already published).
std::uint64_t NextSerial(std::uint64_t oldSerial, FileTime64 now);
// "ValidUntil" `days` days after `now` (UTC), as day/month/year with two-digit day and month.
std::wstring ValidUntilAfter(FileTime64 now, int days);

}  // namespace updater
