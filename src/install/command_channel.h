// The command channel between an unprivileged updater (the client) and the server copy that the
// support service starts: the names of its four objects, the layout of its shared memory, and the
// rules by which the server refuses what it must not run. Pure data work; the objects themselves
// are opened by the client and the server.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "catalogue/version.h"

namespace updater {

// ---- Names ------------------------------------------------------------------------------------------

// A fresh GUID's text as groups of 8, 4, 4, 4 and 12 upper-case hexadecimal digits joined by "_".
std::wstring GuidBaseName(const GUID& guid);
// The base name a service program older than 2.2.0.0 uses: its path (the first word of the
// service's command line, quotes removed), lowercased, backslashes as "_", cut before the first "/".
std::wstring LegacyBaseName(const std::wstring& serviceCommandLine);

// The base name a client uses with an installed service: the fresh GUID name, or the legacy name
// when the service's program (version `programVersion`, all zero when it cannot be read) is older
// than 2.2.0.0.
std::wstring ChannelBaseFor(const std::wstring& guidBase, const std::wstring& serviceCommandLine,
                            const VersionNumber& programVersion);

struct ChannelNames {
  std::wstring mapping;  // "Global\srv_" + base
  std::wstring command;  // "Global\evt_" + base
  std::wstring done;     // "Global\evt2_" + base
  std::wstring ready;    // "Global\evt3_" + base
};
ChannelNames ChannelNamesFor(const std::wstring& base);

// ---- Shared memory ------------------------------------------------------------------------------------

inline constexpr std::size_t kChannelFieldChars = 1040;  // each text field, its NUL included
inline constexpr std::size_t kChannelFieldBytes = kChannelFieldChars * sizeof(wchar_t);
inline constexpr std::size_t kChannelResultOffset = 4 * kChannelFieldBytes;  // 8,320
inline constexpr std::size_t kChannelBytes = kChannelResultOffset + sizeof(std::uint32_t);  // 8,324

// The four texts: the command ("install"), the update's section name, the client configuration
// path and the updates configuration file's URL.
struct ChannelCommand {
  std::array<std::wstring, 4> fields;
};

// Writes the texts, each cut to 1,039 characters and terminated, into a view of kChannelBytes.
void WriteChannelCommand(void* view, const ChannelCommand& command);
// Reads them back; a field without its terminator is read to the end of its slot, never beyond.
ChannelCommand ReadChannelCommand(const void* view);
void WriteChannelResult(void* view, std::uint32_t result);
std::uint32_t ReadChannelResult(const void* view);

// "install(\"<section>\", \"<config>\", \"<url>\")", the way the server logs a command.
std::wstring DescribeChannelCommand(const ChannelCommand& command);

// ---- What the server accepts --------------------------------------------------------------------------

// The only command, compared exactly.
bool IsKnownServerCommand(const std::wstring& command);

// True when `path` names a file below `folder` (both absolute, compared without regard to case),
// with no component that is empty, "." or ".." and no alternate stream or device syntax that could
// lead out of it.
bool IsPathInsideFolder(const std::wstring& path, const std::wstring& folder);

}  // namespace updater
