// Result codes of the updater: 0, a Windows / WinINet / Windows Installer code, or one of the
// program's own codes below. Results travel as codes, never as exceptions.
#pragma once

#include <cstdint>
#include <string>

namespace updater {

using Result = std::uint32_t;

inline constexpr Result kOk = 0;

inline constexpr Result E_UPD_EXPAND_PATH = 0xE0000001;
inline constexpr Result E_UPD_CONFIG_NOT_FOUND = 0xE0000002;
inline constexpr Result E_UPD_CONFIG_FORMAT = 0xE0000003;
inline constexpr Result E_UPD_FILE_VERSION = 0xE0000004;
inline constexpr Result E_UPD_SAVE_FILE = 0xE0000005;
inline constexpr Result E_UPD_COMMAND_LINE = 0xE0000006;
inline constexpr Result E_UPD_CLIENT_CONFIG = 0xE0000007;
inline constexpr Result E_UPD_CANCELED = 0xE0000008;
inline constexpr Result E_UPD_FILE_NOT_FOUND = 0xE0000009;
inline constexpr Result E_UPD_UPDATE_NOT_FOUND = 0xE000000A;
inline constexpr Result E_UPD_UNKNOWN_EXCEPTION = 0xE000000B;
inline constexpr Result E_UPD_INSTALL_FAILED = 0xE000000C;
inline constexpr Result E_UPD_DEPENDENCY = 0xE000000D;
inline constexpr Result E_UPD_BAD_UPDATES_FILE = 0xE000000E;
inline constexpr Result E_UPD_TIMEOUT = 0xE000000F;
inline constexpr Result E_UPD_PART_COMPLETE = 0xE0000010;
inline constexpr Result E_UPD_UP_TO_DATE = 0xE0000011;
inline constexpr Result E_UPD_AUTH_REQUIRED = 0xE0000012;
inline constexpr Result E_UPD_NOT_MODIFIED = 0xE0000013;
inline constexpr Result E_UPD_INVALID_UPDATES_FILE = 0xE0000014;
inline constexpr Result E_UPD_INSTALL_CANCELED = 0xE0000015;
inline constexpr Result E_UPD_FORBIDDEN = 0xE0000016;
inline constexpr Result E_UPD_NO_RESUME = 0xE0000017;
inline constexpr Result E_UPD_RESOURCE_NOT_FOUND = 0xE0000018;
inline constexpr Result E_UPD_AUTO_CHECK_DISABLED = 0xE0000019;
inline constexpr Result E_UPD_CHECK_NOT_DUE = 0xE000001A;
inline constexpr Result E_UPD_SERVICE_ACCESS = 0xE000001B;
inline constexpr Result E_UPD_NO_CHANNEL = 0xE000001D;
inline constexpr Result E_UPD_NO_MSIEXEC = 0xE000001F;
inline constexpr Result E_UPD_SERVICE_ERROR = 0xE0000020;
inline constexpr Result E_UPD_BAD_MD5 = 0xE0000022;
inline constexpr Result E_UPD_WRONG_SIZE = 0xE0000023;
inline constexpr Result E_UPD_NO_MATCH = 0xE0000025;
inline constexpr Result E_UPD_UNTRUSTED_PUBLISHER = 0xE0000026;
inline constexpr Result E_UPD_ALREADY_RUNNING = 0xE0000027;
inline constexpr Result E_UPD_SIGNATURE_MISMATCH = 0xE000002A;
inline constexpr Result E_UPD_PACKAGE_SCRIPT = 0xE000002C;
inline constexpr Result E_UPD_UPDATES_DISABLED = 0xE000002D;
inline constexpr Result E_UPD_POLICY_LOCKED = 0xE000002E;
inline constexpr Result E_UPD_BAD_FILE_URL = 0xE000002F;
inline constexpr Result E_UPD_BAD_SHA256 = 0xE0000030;
inline constexpr Result E_UPD_BAD_NOTIFICATION = 0xE0000031;
inline constexpr Result E_UPD_PRERELEASE = 0xE0000032;
inline constexpr Result E_UPD_DRAFT = 0xE0000033;
// The signed updates configuration file (client key "UpdatesFileSignature" = Required).
inline constexpr Result E_UPD_UPDATES_FILE_UNSIGNED = 0xE0000034;
inline constexpr Result E_UPD_UPDATES_FILE_EXPIRED = 0xE0000035;
inline constexpr Result E_UPD_UPDATES_FILE_REPLAYED = 0xE0000036;
// The server answered 429 or 5xx; the next check waits for the time it asked for.
inline constexpr Result E_UPD_SERVER_BUSY = 0xE0000037;

inline constexpr Result kOwnCodeFirst = 0xE0000001;
inline constexpr Result kOwnCodeLast = 0xE0000037;

// Windows codes with a meaning of their own to the run driver.
inline constexpr Result kErrorCancelled = 1223;        // ERROR_CANCELLED
inline constexpr Result kErrorInstallUserExit = 1602;  // ERROR_INSTALL_USEREXIT
inline constexpr Result kResultFail = 0x80004005;      // E_FAIL: an exhausted resource
inline constexpr Result kResultBounds = 0x8000000B;    // an index outside a list
inline constexpr Result kObserverRetry = 1237;         // the observer's "retry" answer
inline constexpr Result kResultNotAvailable = 120;     // ERROR_CALL_NOT_IMPLEMENTED: a step this build lacks

inline constexpr bool IsOwnCode(Result code) { return code >= kOwnCodeFirst && code <= kOwnCodeLast; }

// Results that are never reported to the user.
inline constexpr bool IsQuietResult(Result code) {
  return code == kOk || code == kErrorCancelled || code == kErrorInstallUserExit || code == E_UPD_CANCELED ||
         code == E_UPD_UP_TO_DATE || code == E_UPD_ALREADY_RUNNING;
}

// The text of any result: string table, computed texts, the system's (WinINet's for 12000-12192)
// message table, or the code in decimal.
std::wstring MessageText(Result code);

// Adds a text for a code whose text is computed at run time (0xE000002C, 0xE000002D).
// A later registration for the same code replaces the earlier one.
void RegisterComputedText(Result code, const std::wstring& text);

// The form of a code in log lines: "0x%X" for the program's own codes, "%d" otherwise.
std::wstring FormatResultForLog(Result code);

// The string-table id holding the text of one of the program's own codes, 0 when it has none.
unsigned StringIdOfCode(Result code);

}  // namespace updater
