// Test tool standing in for an update's installer: the updater starts it through ShellExecuteExW
// with the update's command line and waits for it. Each action is optional; arguments come in any
// order and unknown ones are ignored, because the updater may append switches of its own (/qb...).
//   /touch <file>        create an empty marker file first, before sleeping (proves the start)
//   /sleep <ms>          wait that long before doing anything else (lets a test kill it mid-install)
//   /args <file>         write the raw command line (GetCommandLineW) as UTF-8 into the file
//   /regkey <ROOT\sub>   ROOT is HKCU or HKLM; with /regvalue <name> and /regdata <text> writes a
//                        REG_SZ value in the 32-bit registry view, or the 64-bit one with /reg64
//   /order <file>        with /name <text>: appends "<text>" CRLF, so tests see which installers
//                        ran and in which order
//   /exit <number>       the exit code (decimal, default 0)
//   /always-write        write the registry value even for a failing exit code
// The registry value, the installer's "effect", is written only when the exit code means success
// (0, 3010 reboot required, 1641 reboot initiated), so a failing installer leaves nothing behind.
// The order line is written in every case: it proves the installer ran.
// Problems with the files or the registry are reported on stderr; the exit code stays the one
// asked for, so that the updater always sees what the test planned.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include "support/tool_support.h"

namespace {

// The registry value is written only when the installer "succeeded".
constexpr DWORD kSuccess = 0;
constexpr DWORD kSuccessRebootRequired = 3010;
constexpr DWORD kSuccessRebootInitiated = 1641;

// What the command line asks for.
struct Options {
  std::wstring touchPath;
  DWORD sleepMs = 0;
  std::wstring argsPath;
  std::wstring regKey;
  std::wstring regValue;
  std::wstring regData;
  bool reg64 = false;
  std::wstring orderPath;
  std::wstring name;
  DWORD exitCode = 0;
  bool alwaysWrite = false;
};

bool IsSwitch(const wchar_t* argument, const wchar_t* name) { return ::lstrcmpiW(argument, name) == 0; }

// Parses a decimal number; a leading minus gives the two's complement (exit code -1 = 0xFFFFFFFF).
// Returns false, leaving `value` alone, when the text is not a number.
bool ParseDecimal(const std::wstring& text, DWORD& value) {
  if (text.empty()) return false;
  size_t position = 0;
  bool negative = false;
  if (text[0] == L'-' || text[0] == L'+') {
    negative = text[0] == L'-';
    position = 1;
  }
  if (position == text.size()) return false;
  unsigned long long number = 0;
  for (; position < text.size(); ++position) {
    wchar_t digit = text[position];
    if (digit < L'0' || digit > L'9') return false;
    number = number * 10 + static_cast<unsigned long long>(digit - L'0');
    if (number > 0xFFFFFFFFull) return false;
  }
  value = negative ? static_cast<DWORD>(0u - static_cast<DWORD>(number)) : static_cast<DWORD>(number);
  return true;
}

Options ParseArguments(int argc, wchar_t** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const wchar_t* argument = argv[i];
    // Switches without a value.
    if (IsSwitch(argument, L"/reg64")) {
      options.reg64 = true;
      continue;
    }
    if (IsSwitch(argument, L"/always-write")) {
      options.alwaysWrite = true;
      continue;
    }
    // Switches with a value; one given last without its value is ignored like an unknown one.
    if (i + 1 >= argc) continue;
    std::wstring value = argv[i + 1];
    bool known = true;
    if (IsSwitch(argument, L"/touch")) {
      options.touchPath = value;
    } else if (IsSwitch(argument, L"/sleep")) {
      ParseDecimal(value, options.sleepMs);
    } else if (IsSwitch(argument, L"/args")) {
      options.argsPath = value;
    } else if (IsSwitch(argument, L"/regkey")) {
      options.regKey = value;
    } else if (IsSwitch(argument, L"/regvalue")) {
      options.regValue = value;
    } else if (IsSwitch(argument, L"/regdata")) {
      options.regData = value;
    } else if (IsSwitch(argument, L"/order")) {
      options.orderPath = value;
    } else if (IsSwitch(argument, L"/name")) {
      options.name = value;
    } else if (IsSwitch(argument, L"/exit")) {
      ParseDecimal(value, options.exitCode);
    } else {
      known = false;
    }
    if (known) ++i;  // the value is consumed
  }
  return options;
}

// Writes all bytes through one WriteFile call, so that an append is one piece in the file even
// when several installers append to the same file at once.
bool WriteAll(HANDLE file, const std::string& bytes) {
  DWORD written = 0;
  BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return ok && written == bytes.size();
}

// Creates (or truncates to) an empty file as a marker that the installer started.
bool Touch(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(file);
  return true;
}

// Replaces the file's content with the text in UTF-8 (no byte order mark, no line end added).
bool OverwriteUtf8(const std::wstring& path, const std::wstring& text) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(file, tools::ToUtf8(text));
  ::CloseHandle(file);
  return ok;
}

// Appends one line (UTF-8, CRLF) to the file, creating it when missing. FILE_APPEND_DATA makes
// every write land at the current end, and the sharing lets concurrent installers append too.
bool AppendUtf8Line(const std::wstring& path, const std::wstring& line) {
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(file, tools::ToUtf8(line + L"\r\n"));
  ::CloseHandle(file);
  return ok;
}

// Splits "ROOT\subkey" into the predefined root key and the subkey. Returns false for an unknown root.
bool SplitRegistryPath(const std::wstring& path, HKEY& root, std::wstring& subkey) {
  size_t separator = path.find(L'\\');
  std::wstring rootName = path.substr(0, separator);
  subkey = separator == std::wstring::npos ? std::wstring() : path.substr(separator + 1);
  if (IsSwitch(rootName.c_str(), L"HKCU") || IsSwitch(rootName.c_str(), L"HKEY_CURRENT_USER")) {
    root = HKEY_CURRENT_USER;
    return true;
  }
  if (IsSwitch(rootName.c_str(), L"HKLM") || IsSwitch(rootName.c_str(), L"HKEY_LOCAL_MACHINE")) {
    root = HKEY_LOCAL_MACHINE;
    return true;
  }
  return false;
}

// Writes the REG_SZ value, creating the key. The 32-bit view is the default so that a 64-bit build
// of this tool writes where a 32-bit installer would; /reg64 selects the 64-bit view.
bool WriteRegistryValue(const Options& options) {
  HKEY root = nullptr;
  std::wstring subkey;
  if (!SplitRegistryPath(options.regKey, root, subkey)) {
    std::fwprintf(stderr, L"testinstaller: unknown registry root in %ls\n", options.regKey.c_str());
    return false;
  }
  REGSAM access = KEY_SET_VALUE | (options.reg64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY);
  HKEY key = nullptr;
  LSTATUS status =
      ::RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    std::fwprintf(stderr, L"testinstaller: cannot create key %ls (error %ld)\n", options.regKey.c_str(),
                  static_cast<long>(status));
    return false;
  }
  // REG_SZ data is counted in bytes and includes the terminating null.
  DWORD bytes = static_cast<DWORD>((options.regData.size() + 1) * sizeof(wchar_t));
  status = ::RegSetValueExW(key, options.regValue.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(options.regData.c_str()), bytes);
  ::RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    std::fwprintf(stderr, L"testinstaller: cannot set value %ls (error %ld)\n", options.regValue.c_str(),
                  static_cast<long>(status));
    return false;
  }
  return true;
}

bool IsSuccessCode(DWORD code) {
  return code == kSuccess || code == kSuccessRebootRequired || code == kSuccessRebootInitiated;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options = ParseArguments(argc, argv);

  // The marker comes first, so that a test knows the installer started even if it kills it
  // during the sleep.
  if (!options.touchPath.empty() && !Touch(options.touchPath))
    std::fwprintf(stderr, L"testinstaller: cannot create %ls\n", options.touchPath.c_str());

  if (options.sleepMs > 0) ::Sleep(options.sleepMs);

  // The exact parameters the updater passed, for the test to compare.
  if (!options.argsPath.empty() && !OverwriteUtf8(options.argsPath, ::GetCommandLineW()))
    std::fwprintf(stderr, L"testinstaller: cannot write %ls\n", options.argsPath.c_str());

  // The installation's effect, only for a successful installer (or when forced).
  if (!options.regKey.empty() && (IsSuccessCode(options.exitCode) || options.alwaysWrite))
    WriteRegistryValue(options);

  // Written last, after the effect, so that a test seeing the line also sees the registry value.
  if (!options.orderPath.empty() && !AppendUtf8Line(options.orderPath, options.name))
    std::fwprintf(stderr, L"testinstaller: cannot append to %ls\n", options.orderPath.c_str());

  return static_cast<int>(options.exitCode);
}
