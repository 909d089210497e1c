#include "install/command_channel.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <vector>

namespace updater {
namespace {

std::vector<std::wstring> Components(const std::wstring& path) {
  std::vector<std::wstring> parts;
  std::wstring part;
  for (wchar_t c : path) {
    if (c == L'\\' || c == L'/') {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  return parts;
}

bool SameText(const std::wstring& left, const std::wstring& right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(),
                    [](wchar_t a, wchar_t b) { return std::towlower(a) == std::towlower(b); });
}

// "C:\dir" or "C:\dir\" (drive-letter paths only: UNC, "\\?\" and device paths are not taken).
bool IsPlainAbsolute(const std::wstring& path) {
  return path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
}

}  // namespace

std::wstring GuidBaseName(const GUID& guid) {
  wchar_t text[64];
  swprintf(text, 64, L"%08lX_%04X_%04X_%02X%02X_%02X%02X%02X%02X%02X%02X", static_cast<unsigned long>(guid.Data1),
           guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
           guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::wstring LegacyBaseName(const std::wstring& serviceCommandLine) {
  std::wstring program;
  if (!serviceCommandLine.empty() && serviceCommandLine[0] == L'"') {
    std::size_t end = serviceCommandLine.find(L'"', 1);
    program = serviceCommandLine.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
  } else {
    program = serviceCommandLine.substr(0, serviceCommandLine.find(L' '));
  }
  program = program.substr(0, program.find(L'/'));
  for (wchar_t& c : program) c = c == L'\\' ? L'_' : static_cast<wchar_t>(std::towlower(c));
  return program;
}

std::wstring ChannelBaseFor(const std::wstring& guidBase, const std::wstring& serviceCommandLine,
                            const VersionNumber& programVersion) {
  if (serviceCommandLine.empty() || CompareVersions(programVersion, VersionNumber::Of(2, 2)) >= 0) return guidBase;
  return LegacyBaseName(serviceCommandLine);
}

ChannelNames ChannelNamesFor(const std::wstring& base) {
  return {L"Global\\srv_" + base, L"Global\\evt_" + base, L"Global\\evt2_" + base, L"Global\\evt3_" + base};
}

void WriteChannelCommand(void* view, const ChannelCommand& command) {
  auto* bytes = static_cast<unsigned char*>(view);
  for (std::size_t i = 0; i < command.fields.size(); ++i) {
    std::wstring text = command.fields[i].substr(0, kChannelFieldChars - 1);
    std::vector<wchar_t> slot(kChannelFieldChars, L'\0');
    std::copy(text.begin(), text.end(), slot.begin());
    std::memcpy(bytes + i * kChannelFieldBytes, slot.data(), kChannelFieldBytes);
  }
}

ChannelCommand ReadChannelCommand(const void* view) {
  const auto* bytes = static_cast<const unsigned char*>(view);
  ChannelCommand command;
  for (std::size_t i = 0; i < command.fields.size(); ++i) {
    std::vector<wchar_t> slot(kChannelFieldChars);
    std::memcpy(slot.data(), bytes + i * kChannelFieldBytes, kChannelFieldBytes);
    auto end = std::find(slot.begin(), slot.end(), L'\0');
    command.fields[i].assign(slot.begin(), end);
  }
  return command;
}

void WriteChannelResult(void* view, std::uint32_t result) {
  std::memcpy(static_cast<unsigned char*>(view) + kChannelResultOffset, &result, sizeof(result));
}

std::uint32_t ReadChannelResult(const void* view) {
  std::uint32_t result = 0;
  std::memcpy(&result, static_cast<const unsigned char*>(view) + kChannelResultOffset, sizeof(result));
  return result;
}

std::wstring DescribeChannelCommand(const ChannelCommand& command) {
  const auto& f = command.fields;
  return f[0] + L"(\"" + f[1] + L"\", \"" + f[2] + L"\", \"" + f[3] + L"\")";
}

bool IsKnownServerCommand(const std::wstring& command) { return command == L"install"; }

bool IsPathInsideFolder(const std::wstring& path, const std::wstring& folder) {
  if (!IsPlainAbsolute(path) || !IsPlainAbsolute(folder)) return false;
  std::vector<std::wstring> inside = Components(path);
  std::vector<std::wstring> base = Components(folder);
  if (!base.empty() && base.back().empty()) base.pop_back();  // a trailing backslash
  if (inside.size() <= base.size()) return false;
  for (std::size_t i = 0; i < inside.size(); ++i) {
    const std::wstring& part = inside[i];
    // Only the drive may carry a colon: "file.exe:stream" and "C:..\" tricks are refused.
    if (part.empty() || part == L"." || part == L".." || (i > 0 && part.find(L':') != std::wstring::npos)) return false;
    // Windows drops trailing dots and blanks from a name: "..." or ".. " would lead upwards.
    if (part.find_last_not_of(L". ") == std::wstring::npos) return false;
  }
  for (std::size_t i = 0; i < base.size(); ++i)
    if (!SameText(inside[i], base[i])) return false;
  return true;
}

}  // namespace updater
