#include "install/script_runner.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <vector>

#include "base/process.h"
#include "base/win_handles.h"

namespace updater {
namespace {

constexpr wchar_t kPowerShellRelativePath[] = L"\\WindowsPowerShell\\v1.0\\powershell.exe";
// The error output of a script is read up to this size; a runaway script cannot exhaust memory.
constexpr DWORD kMaxOutputBytes = 4 * 1024 * 1024;

bool FileExists(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A fresh name in the user's temporary folder with the extension; the name is reserved by creating
// the file and then removed again, so that the caller creates it anew.
bool UniqueTempName(const wchar_t* extension, std::wstring& path) {
  wchar_t folder[MAX_PATH + 1];
  DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) return false;
  for (int attempt = 0; attempt < 16; ++attempt) {
    GUID guid{};
    if (FAILED(::CoCreateGuid(&guid))) return false;
    wchar_t name[64];
    swprintf(name, 64, L"kxw%08lX%04X%04X.%ls", static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3,
             extension);
    path = std::wstring(folder) + name;
    UniqueFile reserved(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!reserved) continue;
    reserved.Reset();
    ::DeleteFileW(path.c_str());
    return true;
  }
  return false;
}

bool WriteScriptFile(const std::wstring& path, const std::wstring& script) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  std::vector<BYTE> bytes = {0xFF, 0xFE};
  for (wchar_t c : script) {
    bytes.push_back(static_cast<BYTE>(c & 0xFF));
    bytes.push_back(static_cast<BYTE>((c >> 8) & 0xFF));
  }
  DWORD written = 0;
  return ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::string ReadSmallFile(const std::wstring& path) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {};
  std::string bytes;
  char buffer[8192];
  DWORD read = 0;
  while (bytes.size() < kMaxOutputBytes && ::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
    bytes.append(buffer, read);
  if (bytes.size() > kMaxOutputBytes) bytes.resize(kMaxOutputBytes);
  return bytes;
}

std::wstring Utf16LeText(const char* data, size_t size) {
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2)
    text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(data[i]) |
                                        (static_cast<unsigned char>(data[i + 1]) << 8)));
  return text;
}

}  // namespace

std::wstring LocatePowerShell() {
  wchar_t system[MAX_PATH];
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, system))) return {};
  std::wstring path = std::wstring(system) + kPowerShellRelativePath;
  return FileExists(path) ? path : std::wstring();
}

std::wstring PowerShellCommandLine(const std::wstring& scriptPath, const std::wstring& outputPath) {
  return L"powershell.exe -NonInteractive -NoLogo -ExecutionPolicy Unrestricted -WindowStyle Hidden -Command "
         L"\"$host.UI.RawUI.BufferSize = new-object System.Management.Automation.Host.Size(1024,50);\" "
         L"\"&\"\"" + scriptPath + L"\"\"\" 2> \"" + outputPath + L"\"";
}

bool ClassifyScriptOutput(const std::string& bytes, std::wstring& text) {
  text.clear();
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    text = Utf16LeText(bytes.data() + 2, bytes.size() - 2);
    return true;
  }
  if (bytes.size() >= 2 && bytes[0] != 0 && bytes[1] == 0) {
    INT tests = IS_TEXT_UNICODE_STATISTICS;
    if (::IsTextUnicode(bytes.data(), static_cast<int>(bytes.size()), &tests)) {
      text = Utf16LeText(bytes.data(), bytes.size());
      return true;
    }
  }
  return false;
}

PowerShellRunner::PowerShellRunner() : powerShellPath_(LocatePowerShell()) {}

PowerShellRunner::PowerShellRunner(std::wstring powerShellPath) : powerShellPath_(std::move(powerShellPath)) {}

bool PowerShellRunner::RunScript(const std::wstring& script) {
  message_.clear();
  std::wstring scriptPath;
  if (!UniqueTempName(L"ps1", scriptPath)) {
    message_ = L"Unable to get temp file " + scriptPath;
    return false;
  }
  if (!WriteScriptFile(scriptPath, script)) {
    ::DeleteFileW(scriptPath.c_str());
    message_ = L"Unable to save script file " + scriptPath;
    return false;
  }
  if (powerShellPath_.empty()) {
    ::DeleteFileW(scriptPath.c_str());
    message_ = L"Unable to find file " + powerShellPath_;
    return false;
  }
  std::wstring outputPath;
  if (!UniqueTempName(L"txt", outputPath)) {
    ::DeleteFileW(scriptPath.c_str());
    message_ = L"Unable to get a temp file for script output, temp path: " + outputPath;
    return false;
  }

  UniqueHandle process;
  ProgramStart start{powerShellPath_, PowerShellCommandLine(scriptPath, outputPath)};
  start.hidden = true;
  if (StartProgram(start, &process) != kOk) {
    ::DeleteFileW(scriptPath.c_str());
    message_ = L"Unable to create process: " + powerShellPath_;
    return false;
  }
  WaitForExit(process.Get());

  std::wstring output;
  bool taken = ClassifyScriptOutput(ReadSmallFile(outputPath), output);
  if (taken) message_ = output;
  ::DeleteFileW(outputPath.c_str());
  ::DeleteFileW(scriptPath.c_str());

  DWORD exitCode = 0;
  if (!::GetExitCodeProcess(process.Get(), &exitCode)) {
    message_ = L"Unable to retrieve exit code from process.";
    return false;
  }
  if (exitCode == 0) return true;
  if (!taken) message_ = L"Unable to retrieve PowerShell output from file: " + outputPath;
  return false;
}

}  // namespace updater
