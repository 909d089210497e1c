// The process-wide log: debugger output plus a UTF-16LE file that several updater processes share.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/win_handles.h"

namespace updater {

enum LogCategory : std::uint32_t {
  kLogOff = 0,
  kLogError = 1,
  kLogInfo = 2,
  kLogDebug = 4,
  kLogTrace = 8,
};

class Logger {
 public:
  static Logger& Instance();

  void SetLogFile(const std::wstring& path);
  // File name used by the fallback locations; empty means the executable's name with ".LOG".
  void SetFileName(const std::wstring& name);
  void Enable(bool enabled);
  void SetLevel(std::uint32_t mask);
  bool Enabled() const;
  std::uint32_t Level() const;
  std::wstring Path() const;

  // Appends one line; callers check Enabled()/Level() first (LogIf below does).
  void Write(const std::wstring& prefix, const std::wstring& message);

  // The line as written to the file, without time-dependent parts computed here (exposed for tests).
  static std::wstring FormatLine(const std::wstring& timeStamp, DWORD processId, DWORD threadId,
                                 const std::wstring& prefix, const std::wstring& message);
  // The pieces in which a line goes to the debugger output (at most 255 characters each).
  static std::vector<std::wstring> DebugOutputPieces(const std::wstring& line);

 private:
  Logger();
  ~Logger() = delete;  // lives until the process ends
  void EnsureLock();
  bool OpenFileLocked();
  bool TryOpenPathLocked(const std::wstring& path);
  // "Locked": the critical section is held. "HoldingFileLock": the append lock of the shared file
  // is held too, so the move to the end and the write are one step for every process.
  void WriteBannerHoldingFileLock();
  void WriteRawLocked(const std::wstring& text);
  void AppendHoldingFileLock(const std::wstring& text);

  CRITICAL_SECTION lock_{};
  volatile LONG lockReady_ = 0;
  bool enabled_ = false;
  std::uint32_t level_ = 0;
  std::wstring path_;
  std::wstring fileName_;
  UniqueFile file_;  // the logger is never destroyed, so the file stays open until the process ends
  int nextFallback_ = 0;
};

// True when a line of this category would be written.
bool LogWants(std::uint32_t category);
// Writes the message when the category is enabled.
void Log(std::uint32_t category, const std::wstring& message);
// printf-style variant.
void LogFormat(std::uint32_t category, const wchar_t* format, ...);
// Error line: message, " LastError: ", and the code in its log form.
void LogError(const std::wstring& message, Result code);

}  // namespace updater
