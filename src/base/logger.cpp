#include "base/logger.h"
#include "base/security.h"

#include <aclapi.h>
#include <intrin.h>
#include <shlobj.h>

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "base/os_version.h"
#include "base/paths.h"
#include "base/win_handles.h"

namespace updater {
namespace {

constexpr wchar_t kBanner[] = L"\r\n<< Kestrune Installer (x86) Log >>\r\n";
constexpr wchar_t kLogFolder[] = L"MORVASK_LOGS";
constexpr size_t kHeaderWidth = 120;
constexpr size_t kDebugPiece = 255;
// Every updater process that shares the log locks this byte, far beyond any real log size, while it
// moves to the end and writes: otherwise two processes can find the same end and overwrite each
// other's lines.
constexpr ULONGLONG kAppendLockOffset = 0x7FFFFFFF00000000ull;

void DebugOut(const std::wstring& text) { ::OutputDebugStringW(text.c_str()); }

// The executable's path with its extension replaced by "LOG" (or ".LOG" appended).
std::wstring ExecutableLogPath() {
  std::wstring path = ExecutablePath();
  size_t slash = path.find_last_of(L"\\/");
  size_t dot = path.find_last_of(L'.');
  if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) return path.substr(0, dot + 1) + L"LOG";
  return path + L".LOG";
}

std::wstring FileNameOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Creates a folder whose access list gives the group Everyone full access.
bool CreateFolderForEveryone(const std::wstring& folder) {
  UniqueLocalMem acl;
  if (BuildAccessList({{WellKnownAccount::kEveryone, GENERIC_ALL, SET_ACCESS, SUB_CONTAINERS_AND_OBJECTS_INHERIT}},
                      nullptr, acl) != kOk)
    return ::CreateDirectoryW(folder.c_str(), nullptr) != FALSE;
  SecurityDescriptorFor descriptor(static_cast<PACL>(acl.Get()));
  return ::CreateDirectoryW(folder.c_str(), descriptor.Attributes()) != FALSE;
}

bool FolderExists(const std::wstring& folder) {
  DWORD attributes = ::GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring CpuBrand() {
  int registers[4] = {};
  __cpuid(registers, static_cast<int>(0x80000000));
  if (static_cast<unsigned>(registers[0]) <= 0x80000003u) return L"UnkownCPU";
  char brand[49] = {};
  for (unsigned leaf = 0; leaf < 3; ++leaf) {
    __cpuid(registers, static_cast<int>(0x80000002u + leaf));
    memcpy(brand + leaf * 16, registers, 16);
  }
  std::wstring text;
  for (const char* p = brand; *p; ++p) text.push_back(static_cast<unsigned char>(*p));
  return text;
}

std::wstring OsVersionLine() {
  OSVERSIONINFOEXW info = RealOsVersion();
  SYSTEM_INFO system{};
  ::GetNativeSystemInfo(&system);
  bool x64 = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
             system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
  wchar_t line[160];
  swprintf(line, 160, L"OS Version: %u.%u.%u SP%u (%ls) [%ls]\r\n", static_cast<unsigned>(info.dwMajorVersion),
           static_cast<unsigned>(info.dwMinorVersion), static_cast<unsigned>(info.dwBuildNumber),
           static_cast<unsigned>(info.wServicePackMajor),
           info.wProductType == VER_NT_WORKSTATION ? L"workstation" : L"server", x64 ? L"x64" : L"x86");
  return line;
}

}  // namespace

Logger::Logger() = default;

Logger& Logger::Instance() {
  // Function-local statics are initialised thread-safely; the object is leaked on purpose so that
  // lines written during process exit still have a logger.
  static Logger* instance = new Logger();
  return *instance;
}

void Logger::EnsureLock() {
  if (::InterlockedCompareExchange(&lockReady_, 1, 0) == 0) {
    ::InitializeCriticalSection(&lock_);
    ::InterlockedExchange(&lockReady_, 2);
  }
  while (lockReady_ != 2) ::Sleep(0);
}

void Logger::SetLogFile(const std::wstring& path) {
  EnsureLock();
  CriticalSectionLock hold(lock_);
  DebugOut(L"Logger::SetLogFile( " + path + L" ) while OLD path is:" + path_);
  if (!file_ || path == path_) path_ = path;
}

void Logger::SetFileName(const std::wstring& name) {
  EnsureLock();
  CriticalSectionLock hold(lock_);
  fileName_ = name;
}

void Logger::Enable(bool enabled) {
  EnsureLock();
  CriticalSectionLock hold(lock_);
  enabled_ = enabled;
}

void Logger::SetLevel(std::uint32_t mask) {
  EnsureLock();
  CriticalSectionLock hold(lock_);
  level_ = mask;
}

bool Logger::Enabled() const { return enabled_; }
std::uint32_t Logger::Level() const { return level_; }

std::wstring Logger::Path() const {
  const_cast<Logger*>(this)->EnsureLock();
  CriticalSectionLock hold(const_cast<CRITICAL_SECTION&>(lock_));
  return path_;
}

std::wstring Logger::FormatLine(const std::wstring& timeStamp, DWORD processId, DWORD threadId,
                                const std::wstring& prefix, const std::wstring& message) {
  std::wstring line = L"# " + timeStamp + L" [PID=" + std::to_wstring(processId) +
                      L"|Thread=" + std::to_wstring(threadId) + L"] " + prefix;
  if (line.size() < kHeaderWidth)
    line.append(kHeaderWidth - line.size(), L' ');
  else
    line.push_back(L' ');
  line += L"|\t\t";
  line += message;
  line += L"\r\n";
  return line;
}

std::vector<std::wstring> Logger::DebugOutputPieces(const std::wstring& line) {
  std::vector<std::wstring> pieces;
  for (size_t offset = 0; offset < line.size(); offset += kDebugPiece) pieces.push_back(line.substr(offset, kDebugPiece));
  return pieces;
}

void Logger::Write(const std::wstring& prefix, const std::wstring& message) {
  EnsureLock();
  CriticalSectionLock hold(lock_);
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  wchar_t stamp[32];
  swprintf(stamp, 32, L"%04d-%02d-%02d %02d-%02d-%02d", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
           now.wSecond);
  std::wstring line = FormatLine(stamp, ::GetCurrentProcessId(), ::GetCurrentThreadId(), prefix, message);
  for (const std::wstring& piece : DebugOutputPieces(line)) DebugOut(piece);
  if (!file_ && !OpenFileLocked()) return;
  WriteRawLocked(line);
}

void Logger::WriteRawLocked(const std::wstring& text) {
  FileRangeLock append(file_.Get(), kAppendLockOffset, 1);
  AppendHoldingFileLock(text);
}

void Logger::AppendHoldingFileLock(const std::wstring& text) {
  LARGE_INTEGER zero{};
  ::SetFilePointerEx(file_.Get(), zero, nullptr, FILE_END);
  DWORD written = 0;
  ::WriteFile(file_.Get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
  ::FlushFileBuffers(file_.Get());
}

bool Logger::TryOpenPathLocked(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DebugOut(L"LOGGER->failed to create LOG at:" + path);
    return false;
  }
  bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  file_.Reset(file);
  path_ = path;
  // Another process may be creating or writing the same file right now: the size, the byte-order
  // mark and the banner are decided and written as one step.
  FileRangeLock append(file_.Get(), kAppendLockOffset, 1);
  // The size decides, not who created the file: an empty file (left by a process that died before
  // its first write, or created by another process a moment ago) still needs the byte-order mark,
  // and a file that another process started after our open has it already.
  LARGE_INTEGER size{};
  if (::GetFileSizeEx(file, &size)) existed = size.QuadPart != 0;
  if (existed) {
    DebugOut(L"LOGGER->Reusing LOG file at:" + path + L"\r\n");
  } else {
    DebugOut(L"LOGGER->Creating LOG file at:" + path + L"\r\n");
    AppendHoldingFileLock(std::wstring(1, static_cast<wchar_t>(0xFEFF)));
  }
  WriteBannerHoldingFileLock();
  return true;
}

void Logger::WriteBannerHoldingFileLock() {
  AppendHoldingFileLock(kBanner);
  AppendHoldingFileLock(OsVersionLine());
  AppendHoldingFileLock(L"CPU: " + CpuBrand() + L"\r\n");
  AppendHoldingFileLock(L"\r\n");
}

bool Logger::OpenFileLocked() {
  if (!path_.empty() && TryOpenPathLocked(path_)) return true;
  path_.clear();
  std::wstring name = fileName_.empty() ? FileNameOf(ExecutableLogPath()) : fileName_;
  while (nextFallback_ < 3) {
    int location = nextFallback_++;
    std::wstring candidate;
    if (location == 0) {
      wchar_t common[MAX_PATH] = {};
      if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common))) continue;
      std::wstring folder = std::wstring(common) + L"\\" + kLogFolder;
      if (!FolderExists(folder) && !CreateFolderForEveryone(folder)) continue;
      candidate = folder + L"\\" + name;
    } else if (location == 1) {
      candidate = ExecutableLogPath();
    } else {
      wchar_t temp[MAX_PATH + 1] = {};
      if (::GetTempPathW(MAX_PATH + 1, temp) == 0) continue;
      std::wstring folder = std::wstring(temp) + kLogFolder;
      // Only a folder created here is trusted in the shared temporary area.
      if (!::CreateDirectoryW(folder.c_str(), nullptr)) continue;
      candidate = folder + L"\\" + name;
    }
    if (TryOpenPathLocked(candidate)) return true;
    path_.clear();
  }
  return false;
}

bool LogWants(std::uint32_t category) {
  Logger& logger = Logger::Instance();
  return logger.Enabled() && (logger.Level() & category) != 0;
}

void Log(std::uint32_t category, const std::wstring& message) {
  if (LogWants(category)) Logger::Instance().Write(L"", message);
}

void LogFormat(std::uint32_t category, const wchar_t* format, ...) {
  if (!LogWants(category)) return;
  // Formats with the same (C++ stdio) formatter as every other swprintf of the program, so that
  // the conversions callers write ("%ls", "%zu", ...) mean the same here; the buffer grows until the
  // line fits.
  std::wstring text(256, L'\0');
  for (;;) {
    va_list args;
    va_start(args, format);
    int length = vswprintf(text.data(), text.size(), format, args);
    va_end(args);
    if (length >= 0 && static_cast<size_t>(length) < text.size()) {
      text.resize(static_cast<size_t>(length));
      break;
    }
    if (text.size() >= (1u << 20)) return;  // a format that never fits is not logged
    text.assign(text.size() * 2, L'\0');
  }
  Logger::Instance().Write(L"", text);
}

void LogError(const std::wstring& message, Result code) {
  if (LogWants(kLogError)) Logger::Instance().Write(L"", message + L" LastError: " + FormatResultForLog(code));
}

}  // namespace updater
