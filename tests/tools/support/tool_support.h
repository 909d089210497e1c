// What the test tools share: UTF-8 output the tests read, the updater's full log for a tool's run,
// and walking the command line.
#pragma once

#include <cstdio>
#include <string>

#include "base/logger.h"
#include "base/text_util.h"

namespace tools {

using updater::ToUtf8;

// The line and a line end on standard output in UTF-8, flushed at once (tests read while the tool runs).
inline void PrintLine(const std::wstring& line) {
  std::string bytes = ToUtf8(line);
  bytes.push_back('\n');
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

// Every category of the updater's log, written to `path`.
inline void LogEverythingTo(const std::wstring& path) {
  updater::Logger& logger = updater::Logger::Instance();
  logger.SetLogFile(path);
  logger.SetLevel(updater::kLogError | updater::kLogInfo | updater::kLogDebug | updater::kLogTrace);
  logger.Enable(true);
}

// The command line's arguments one after another.
class Arguments {
 public:
  Arguments(int argc, wchar_t** argv) : argc_(argc), argv_(argv) {}
  bool More() const { return index_ < argc_; }
  // The next argument; empty when there is none.
  std::wstring Next() { return index_ < argc_ ? argv_[index_++] : L""; }

 private:
  int argc_;
  wchar_t** argv_;
  int index_ = 1;
};

}  // namespace tools
