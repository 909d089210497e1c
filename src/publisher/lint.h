// The publisher's check of an updates configuration file before it is uploaded: the updater's own
// reader says whether every machine can read it, and rules over the file as written find what the
// updater would silently ignore or get wrong on the users' machines.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/result_codes.h"
#include "base/utc_time.h"
#include "publisher/ini_document.h"

namespace updater {

enum class LintSeverity { kWarning, kError };

struct LintFinding {
  std::size_t line = 0;  // 1-based; 0 for the file as a whole
  LintSeverity severity = LintSeverity::kWarning;
  std::wstring message;
};

// What one installer in the publisher's folder is: its size and hashes, and whether it is a
// 64-bit Windows Installer package. Empty when the file is not there.
struct InstallerFacts {
  std::uint64_t size = 0;
  std::wstring sha256;  // uppercase
  std::wstring md5;     // lowercase
  bool package64 = false;
};
using InstallerLookup = std::function<std::optional<InstallerFacts>(const std::wstring& fileName)>;

struct LintOptions {
  // The updater's reader over the file: 0 or its code, and for each update section the code of
  // reading that section on its own (absent when it reads).
  Result readResult = kOk;
  std::vector<std::pair<std::wstring, Result>> refusedSections;
  // With an installers folder: the installer of a file name.
  InstallerLookup installer;
  std::wstring installersFolder;
  // The client configuration requires a signed, fresh file.
  bool signatureRequired = false;
  FileTime64 now = 0;
};

// Every finding, by line.
std::vector<LintFinding> LintUpdatesFile(const IniDocument& document, const LintOptions& options);

// The edit distance with adjacent transpositions ("Verison" is one step from "Version").
std::size_t KeyDistance(const std::wstring& left, const std::wstring& right);

// The keys of an update section and of section "General" as the updater reads them (numbered keys
// such as "URL1" follow from their base).
const std::vector<std::wstring>& UpdateSectionKeys();
const std::vector<std::wstring>& GeneralSectionKeys();

}  // namespace updater
