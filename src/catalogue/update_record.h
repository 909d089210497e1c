// One update of the updates configuration file, and the settings and platform services that the
// catalogue reader needs from the rest of the program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/ini_file.h"
#include "base/result_codes.h"
#include "catalogue/version.h"

namespace updater {

// Bits of the update flags (key "Flags").
enum UpdateFlag : std::uint32_t {
  kUpdateCritical = 0x1,
  kUpdateMajor = 0x2,
  kUpdateSilentInstall = 0x4,
  kUpdateSys64 = 0x8,
  kUpdateNoCache = 0x10,
  kUpdateOs32Only = 0x20,
  kUpdateOs64 = 0x40,
  kUpdateAdvertises = 0x80,
  kUpdateNotSelected = 0x100,
  kUpdateIsPatch = 0x200,
  kUpdateSingleUpdate = 0x800,
  kUpdateNoRedetect = 0x1000,
  kUpdateUnsafeCustomDetection = 0x2000,
};

// Bits of the restart flags of an application to close.
enum RestartFlag : std::uint32_t {
  kRestartNo = 0x1,
  kRestartAlways = 0x2,
  kRestartQueryEndSession = 0x4,
};

FlagSet MakeUpdateFlags();
FlagSet MakeRestartFlags();

enum class DetectionKind : int {
  RegistryKey = 0,
  FilePath = 1,
  CustomDetection = 3,
  AppId = 4,
  None = 5,
};

// Download state of an update, computed from the disk by the integrity checks.
inline constexpr int kDownloadStateNeeded = 1;      // part file, no file, or a file of another size
inline constexpr int kDownloadStateDownloaded = 2;  // no part file and a file of exactly `Size` bytes

// Bits of UpdateRecord::criteria.
enum DetectionCriterion : std::uint32_t {
  kCriterionVersion = 0x1,
  kCriterionFileSize = 0x2,
};

enum DescriptionKind : int {
  kDescriptionFeatures = 0,
  kDescriptionEnhancements = 1,
  kDescriptionBugFixes = 2,
};

struct DescriptionGroup {
  DescriptionKind kind;
  const wchar_t* plainKey;
  const wchar_t* htmlKey;
  std::vector<std::wstring> items;
};

// One application to close before installing and to start again afterwards.
struct AutoCloseEntry {
  std::wstring path;
  std::wstring restartArguments;
  std::wstring windowTitle;
  FlagSet restartFlags = MakeRestartFlags();
  bool restartNeeded = false;
};

// Day, month and year of a release; all 0 when absent.
struct UpdateDate {
  std::uint16_t year = 0;
  std::uint16_t month = 0;
  std::uint16_t day = 0;
};

// Answers the installed path of a Windows Installer component: 0 and the path, or an error.
using ComponentPathQuery =
    std::function<Result(const std::wstring& productCode, const std::wstring& componentCode, std::wstring& path)>;
// 0 when the program is signed by a trusted publisher that is also the updater's, else a code.
using SignatureTrustCheck = std::function<Result(const std::wstring& programPath)>;
// The primary screen's size in pixels.
using ScreenSizeQuery = std::function<void(int& width, int& height)>;

// What the catalogue needs from the run's settings (filled from AppSettings by the run driver), and
// the platform services it uses, replaceable for tests. Empty services use the system's own, except
// the signature check: without one, a custom detection program counts as untrusted.
struct CatalogueSettings {
  std::wstring appDir;
  std::wstring downloadsFolder;
  std::vector<std::wstring> updatesUrls;  // where the updates configuration file is served
  bool vertSplitter = false;              // client flag "VertSplitter"
  bool readsSavedSelection = false;       // the run reads a saved selection file

  ComponentPathQuery componentPath;
  SignatureTrustCheck verifySignatureTrust;
  ScreenSizeQuery screenSize;
  // Deletes the stored "LastModified" time so that the next check downloads the file in full.
  std::function<void()> forgetLastModified;

  // The downloaded file is a GitHub release list (client flag "GitHubUpdates").
  bool gitHubReleases = false;
  std::wstring applicationName;
  std::wstring companyName;
  // Downloads a release's asset to a local file (with the run's proxy); 0 or the download's code.
  std::function<Result(const std::wstring& url, const std::wstring& path)> downloadAsset;
};

struct UpdateRecord {
  std::wstring sectionName;
  std::wstring Name;
  std::wstring Category;
  std::wstring ServerFileName;
  std::vector<std::wstring> UpdatedApplicationVersions;
  std::vector<std::wstring> UpdatedApplications;
  std::vector<std::wstring> Description;
  DescriptionGroup descriptionGroups[3] = {
      {kDescriptionFeatures, L"Feature", L"FeatureHtml", {}},
      {kDescriptionEnhancements, L"Enhancement", L"EnhancementHtml", {}},
      {kDescriptionBugFixes, L"BugFix", L"BugFixHtml", {}},
  };
  std::uint32_t Size = 0;
  FlagSet Flags = MakeUpdateFlags();
  std::wstring SHA256;
  std::wstring MD5;
  std::vector<std::wstring> URL;
  std::vector<AutoCloseEntry> AutoCloseApplication;
  std::wstring CommandLine;
  std::wstring NoGUICommandLineSwitch;
  VersionNumber TargetOsMinVersion;
  VersionNumber TargetOsMaxVersion;

  DetectionKind detectionKind = DetectionKind::None;
  std::wstring detectionTarget;
  Result expansionError = 0;
  std::wstring CustomDetectionParams;
  std::wstring AppIdName;
  std::wstring AppIdArch;
  std::wstring AppIdResourceId;
  std::wstring AppIdPublisherId;
  std::uint32_t criteria = 0;
  int versionOperator = kVersionAtLeast;
  VersionNumber Version;
  std::int32_t FileSize = 0;
  UpdateDate ReleaseDate;
  // Staged rollout: the share of machines offered the update, in percent, and the days over which
  // it grows from ReleaseDate (0: no ramp).
  std::uint32_t rolloutPercent = 100;
  std::uint32_t rolloutDays = 0;

  // Non-owning links into the same catalogue.
  UpdateRecord* dependsOn = nullptr;
  UpdateRecord* requiredBy = nullptr;
  bool replacesAll = false;
  std::vector<UpdateRecord*> replaces;
  UpdateRecord* nextDeprecated = nullptr;

  Result status = 0;
  // The installation phase reached the update (its installer may still have been refused).
  bool installAttempted = false;
  bool selected = false;
  bool processing = false;
  bool replaced = false;
  bool deprecated = false;
  std::wstring localPath;

  bool HasFlag(std::uint32_t bits) const { return (Flags.Value() & bits) == bits; }
  DescriptionGroup& Group(DescriptionKind kind) { return descriptionGroups[kind]; }
  const DescriptionGroup& Group(DescriptionKind kind) const { return descriptionGroups[kind]; }
};

}  // namespace updater
