// Test tool standing in for Windows PowerShell, which Wine lacks. Tests copy it to
// C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe (and syswow64) so that the updater's
// script runner, which starts PowerShell to install app packages and to show toast notifications,
// finds a program there. The updater starts it with exactly this command line:
//   powershell.exe -NonInteractive -NoLogo -ExecutionPolicy Unrestricted -WindowStyle Hidden
//     -Command "$host.UI.RawUI.BufferSize = new-object System.Management.Automation.Host.Size(1024,50);"
//     "&""<script path>""" 2> "<output path>"
// (on one line). No shell handles the "2>": PowerShell redirects its error stream itself, so this
// stand-in creates the output file itself as well.
//
// The stand-in checks that command line strictly (the CRT's argv splitting mangles the &""...""
// argument, so it parses GetCommandLineW), reads the script (UTF-16LE with byte-order mark, as the
// updater writes it), recognises what the script is for, appends a record of the run for the test
// to inspect, writes the error text the test asked for to the output file and exits with the exit
// code the test asked for.
//
// Control file: the environment variable UPDATER_PS_STANDIN names an INI file; when it is unset or
// empty, standin.ini beside this executable is used. Section [Run]:
//   RecordFile     where to append the record; default record.txt beside the control file
//   ExitCode       process exit code (for an app package: the script's $error.count); default 0
//   ErrorText      text written to the output file; default empty (the file is created empty)
//   ErrorEncoding  utf16bom (default), utf16, utf8, ansi or utf16be: how ErrorText is written
//   SleepMs        milliseconds to wait before exiting, after writing everything; default 0
//
// Record (UTF-8, one block per run, lines ending in "\n"):
//   run / shape <app-package|toast|unknown> / argument <package path or empty> /
//   script-path <path> / output-path <path> / command-line <raw command line> /
//   script-begin / <script text> / script-end
// The script text keeps its own line breaks; a "\n" is added only when it does not end in one.
//
// Failures, each recorded as a single line in the record file:
//   "bad command line: <command line>"      exit code 3
//   "bad script encoding"                   exit code 4 (no FF FE mark, odd size, invalid UTF-16)
//   "cannot read script: <script path>"     exit code 5
//   "bad ErrorEncoding: <value>"            exit code 6 (a mistake in the test's control file)
//   "cannot write output: <output path>"    exit code 7
#include <windows.h>

#include <string>
#include <string_view>
#include "support/tool_support.h"

namespace {

constexpr std::wstring_view kBufferSizeStatement =
    L"$host.UI.RawUI.BufferSize = new-object System.Management.Automation.Host.Size(1024,50);";
constexpr std::wstring_view kSwitches =
    L" -NonInteractive -NoLogo -ExecutionPolicy Unrestricted -WindowStyle Hidden -Command ";
constexpr std::wstring_view kProgramName = L"powershell.exe";
constexpr std::wstring_view kToastMarker = L"[Windows.UI.Notifications.ToastNotificationManager";
constexpr std::wstring_view kAppPackagePrefix = L"Add-AppPackage -Path \"";
constexpr std::wstring_view kAppPackageSuffix = L"\" \n exit $error.count\n";

// What the command line said.
struct Invocation {
  std::wstring scriptPath;
  std::wstring outputPath;
};

// What the control file asked for.
struct Control {
  std::wstring recordFile;
  int exitCode = 0;
  std::wstring errorText;
  std::wstring errorEncoding;
  DWORD sleepMs = 0;
};

// Bytes of a text in the code page given (CP_UTF8 or CP_ACP), without any byte-order mark.
std::string ToCodePage(UINT codePage, std::wstring_view text) {
  if (codePage == CP_UTF8) return tools::ToUtf8(text);
  if (text.empty()) return {};
  int size = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                        nullptr);
  return bytes;
}

// UTF-16 bytes of a text, little or big endian, without any byte-order mark.
std::string ToUtf16(std::wstring_view text, bool bigEndian) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (wchar_t unit : text) {
    char low = static_cast<char>(unit & 0xFF);
    char high = static_cast<char>((unit >> 8) & 0xFF);
    if (bigEndian) {
      bytes += high;
      bytes += low;
    } else {
      bytes += low;
      bytes += high;
    }
  }
  return bytes;
}

// The folder part of a path including its final separator, or empty when it has none.
std::wstring FolderOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring ModulePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring EnvironmentVariable(const wchar_t* name) {
  DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  DWORD length = ::GetEnvironmentVariableW(name, value.data(), size);
  value.resize(length < size ? length : 0);
  return value;
}

std::wstring ProfileString(const std::wstring& file, const wchar_t* key, const wchar_t* fallback) {
  std::wstring buffer(256, L'\0');
  for (;;) {
    DWORD length = ::GetPrivateProfileStringW(L"Run", key, fallback, buffer.data(), static_cast<DWORD>(buffer.size()),
                                              file.c_str());
    // A result filling the buffer up to its terminator may have been cut off: try a bigger buffer.
    if (length + 1 < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

Control ReadControl() {
  std::wstring controlFile = EnvironmentVariable(L"UPDATER_PS_STANDIN");
  if (controlFile.empty()) controlFile = FolderOf(ModulePath()) + L"standin.ini";
  Control control;
  control.recordFile = ProfileString(controlFile, L"RecordFile", L"");
  if (control.recordFile.empty()) control.recordFile = FolderOf(controlFile) + L"record.txt";
  control.exitCode = static_cast<int>(::GetPrivateProfileIntW(L"Run", L"ExitCode", 0, controlFile.c_str()));
  control.errorText = ProfileString(controlFile, L"ErrorText", L"");
  control.errorEncoding = ProfileString(controlFile, L"ErrorEncoding", L"utf16bom");
  control.sleepMs = ::GetPrivateProfileIntW(L"Run", L"SleepMs", 0, controlFile.c_str());
  return control;
}

// Appends text to the record file as UTF-8. Several stand-in runs may go on at the same time, so a
// named mutex keeps each block whole and the blocks in the order the runs got there.
void AppendRecord(const std::wstring& recordFile, std::wstring_view text) {
  std::string bytes = tools::ToUtf8(text);
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, L"Local\\UpdaterPowerShellStandInRecord");
  if (mutex) ::WaitForSingleObject(mutex, INFINITE);
  HANDLE file = ::CreateFileW(recordFile.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
  }
  if (mutex) {
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
  }
}

// Whether text starts with prefix at position and, if so, moves position past it.
bool Take(std::wstring_view text, size_t& position, std::wstring_view prefix) {
  if (text.substr(position, prefix.size()) != prefix) return false;
  position += prefix.size();
  return true;
}

// Whether the program token (what CreateProcessW got as the start of the command line) names
// powershell.exe, bare or with a folder, in any letter case.
bool IsProgramName(std::wstring_view token) {
  if (token.size() < kProgramName.size()) return false;
  std::wstring_view name = token.substr(token.size() - kProgramName.size());
  if (::CompareStringOrdinal(name.data(), static_cast<int>(name.size()), kProgramName.data(),
                             static_cast<int>(kProgramName.size()), TRUE) != CSTR_EQUAL)
    return false;
  if (token.size() == kProgramName.size()) return true;
  wchar_t before = token[token.size() - kProgramName.size() - 1];
  return before == L'\\' || before == L'/';
}

// Checks the command line against the exact shape the updater's script runner uses and extracts
// the script path and the output path from it.
bool ParseCommandLine(std::wstring_view line, Invocation& invocation) {
  size_t position = 0;
  std::wstring_view program;
  if (!line.empty() && line[0] == L'"') {
    size_t close = line.find(L'"', 1);
    if (close == std::wstring_view::npos) return false;
    program = line.substr(1, close - 1);
    position = close + 1;
  } else {
    position = line.find(L' ');
    if (position == std::wstring_view::npos) return false;
    program = line.substr(0, position);
  }
  if (!IsProgramName(program)) return false;
  if (!Take(line, position, kSwitches)) return false;
  // The buffer-size statement as one quoted argument.
  if (!Take(line, position, L"\"") || !Take(line, position, kBufferSizeStatement) || !Take(line, position, L"\" "))
    return false;
  // "&""<script path>""": the call operator with the quoted script path, the inner quotes doubled.
  if (!Take(line, position, L"\"&\"\"")) return false;
  size_t scriptEnd = line.find(L'"', position);
  if (scriptEnd == std::wstring_view::npos || scriptEnd == position) return false;
  invocation.scriptPath = line.substr(position, scriptEnd - position);
  position = scriptEnd;
  if (!Take(line, position, L"\"\"\"")) return false;
  // The error stream redirection: 2> "<output path>" ending the command line.
  if (!Take(line, position, L" 2> \"")) return false;
  size_t outputEnd = line.find(L'"', position);
  if (outputEnd == std::wstring_view::npos || outputEnd == position || outputEnd + 1 != line.size()) return false;
  invocation.outputPath = line.substr(position, outputEnd - position);
  return true;
}

enum class ScriptRead { kOk, kCannotRead, kBadEncoding };

// Reads the script, which must be UTF-16LE text after an FF FE byte-order mark.
ScriptRead ReadScript(const std::wstring& path, std::wstring& text) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ScriptRead::kCannotRead;
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ::ReadFile(file, chunk, sizeof(chunk), &got, nullptr) != FALSE) && got > 0) bytes.append(chunk, got);
  ::CloseHandle(file);
  if (!ok) return ScriptRead::kCannotRead;
  if (bytes.size() < 2 || bytes.size() % 2 != 0 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xFE)
    return ScriptRead::kBadEncoding;
  text.clear();
  for (size_t i = 2; i < bytes.size(); i += 2)
    text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  // Unpaired surrogates are not UTF-16 text.
  if (!text.empty() && ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                             nullptr, 0, nullptr, nullptr) == 0)
    return ScriptRead::kBadEncoding;
  return ScriptRead::kOk;
}

// Recognises what the updater wrote the script for; argument receives the package path of an
// app package installation.
std::wstring ScriptShape(std::wstring_view script, std::wstring& argument) {
  argument.clear();
  if (script.size() > kAppPackagePrefix.size() + kAppPackageSuffix.size() && script.starts_with(kAppPackagePrefix) &&
      script.ends_with(kAppPackageSuffix)) {
    std::wstring_view path = script.substr(kAppPackagePrefix.size(),
                                           script.size() - kAppPackagePrefix.size() - kAppPackageSuffix.size());
    if (path.find_first_of(L"\"\r\n") == std::wstring_view::npos) {
      argument = path;
      return L"app-package";
    }
  }
  if (script.find(kToastMarker) != std::wstring_view::npos) return L"toast";
  return L"unknown";
}

// The output file's bytes for the error text in the encoding the control file names; false for
// an encoding name the stand-in does not know.
bool EncodeErrorText(const Control& control, std::string& bytes) {
  const std::wstring& encoding = control.errorEncoding;
  auto is = [&encoding](const wchar_t* name) { return ::_wcsicmp(encoding.c_str(), name) == 0; };
  if (is(L"utf16bom"))
    bytes = "\xFF\xFE" + ToUtf16(control.errorText, false);
  else if (is(L"utf16"))
    bytes = ToUtf16(control.errorText, false);
  else if (is(L"utf8"))
    bytes = ToCodePage(CP_UTF8, control.errorText);
  else if (is(L"ansi"))
    bytes = ToCodePage(CP_ACP, control.errorText);
  else if (is(L"utf16be"))
    bytes = "\xFE\xFF" + ToUtf16(control.errorText, true);
  else
    return false;
  return true;
}

// Creates (or empties) the output file and writes the error text into it, as PowerShell's
// redirection of its error stream would. No error text means an empty file.
bool WriteOutput(const std::wstring& path, const std::string& bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = bytes.empty() || ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  return ok && written == bytes.size();
}

}  // namespace

int wmain(int /*argc*/, wchar_t** /*argv*/) {
  Control control = ReadControl();
  std::wstring commandLine = ::GetCommandLineW();

  Invocation invocation;
  if (!ParseCommandLine(commandLine, invocation)) {
    AppendRecord(control.recordFile, L"bad command line: " + commandLine + L"\n");
    return 3;
  }

  std::wstring script;
  switch (ReadScript(invocation.scriptPath, script)) {
    case ScriptRead::kOk:
      break;
    case ScriptRead::kCannotRead:
      AppendRecord(control.recordFile, L"cannot read script: " + invocation.scriptPath + L"\n");
      return 5;
    case ScriptRead::kBadEncoding:
      AppendRecord(control.recordFile, L"bad script encoding\n");
      return 4;
  }

  std::wstring argument;
  std::wstring shape = ScriptShape(script, argument);
  std::wstring record = L"run\n";
  record += L"shape " + shape + L"\n";
  record += L"argument " + argument + L"\n";
  record += L"script-path " + invocation.scriptPath + L"\n";
  record += L"output-path " + invocation.outputPath + L"\n";
  record += L"command-line " + commandLine + L"\n";
  record += L"script-begin\n";
  record += script;
  if (!script.empty() && script.back() != L'\n') record += L"\n";
  record += L"script-end\n";
  AppendRecord(control.recordFile, record);

  std::string output;
  if (!EncodeErrorText(control, output)) {
    AppendRecord(control.recordFile, L"bad ErrorEncoding: " + control.errorEncoding + L"\n");
    return 6;
  }
  if (control.errorText.empty()) output.clear();  // no byte-order mark either: PowerShell leaves it empty
  if (!WriteOutput(invocation.outputPath, output)) {
    AppendRecord(control.recordFile, L"cannot write output: " + invocation.outputPath + L"\n");
    return 7;
  }

  if (control.sleepMs > 0) ::Sleep(control.sleepMs);
  return control.exitCode;
}
