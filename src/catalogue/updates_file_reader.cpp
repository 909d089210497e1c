// Reading the updates configuration file (and a saved selection) into the catalogue: the sections
// key by key, the links between records, and the pieces of text the keys hold.
#include "catalogue/update_catalogue.h"

#include <windows.h>
#include <wininet.h>

#include <unordered_set>
#include <utility>

#include "base/logger.h"
#include "base/text_util.h"
#include "base/utc_time.h"
#include "catalogue/rollout.h"

namespace updater {
namespace {

constexpr wchar_t kGeneral[] = L"General";
constexpr wchar_t kNoSwitchLiteral[] = L"kxemptyfield";
constexpr wchar_t kFileScheme[] = L"file://";

// Unsigned 32-bit decimal with blanks and one optional "+" before it; false for a sign "-",
// no digits or a value above 32 bits.
bool ParseUnsigned32(const std::wstring& text, std::uint32_t& value) {
  std::wstring trimmed = TrimBlanks(text);
  size_t position = 0;
  if (position < trimmed.size() && trimmed[position] == L'+') ++position;
  std::uint64_t accumulated = 0;
  size_t digits = 0;
  while (position < trimmed.size() && trimmed[position] >= L'0' && trimmed[position] <= L'9') {
    accumulated = accumulated * 10 + static_cast<unsigned>(trimmed[position] - L'0');
    if (accumulated > 0xFFFFFFFFULL) return false;
    ++position;
    ++digits;
  }
  if (digits == 0) return false;
  value = static_cast<std::uint32_t>(accumulated);
  return true;
}

std::wstring EnsureTrailingBackslash(const std::wstring& folder) {
  if (!folder.empty() && folder.back() == L'\\') return folder;
  return folder + L'\\';
}

bool DependencyChainReaches(const UpdateRecord* from, const UpdateRecord* target, size_t limit) {
  for (size_t steps = 0; from != nullptr && steps <= limit; ++steps, from = from->dependsOn) {
    if (from == target) return true;
  }
  return false;
}

bool DeprecationChainReaches(const UpdateRecord* from, const UpdateRecord* target, size_t limit) {
  for (size_t steps = 0; from != nullptr && steps <= limit; ++steps, from = from->nextDeprecated) {
    if (from == target) return true;
  }
  return false;
}

// A rollout key: absent (empty) keeps `value`; otherwise decimal digits (blanks around them allowed)
// from `low` to `high`.
bool ParseRolloutKey(const std::wstring& text, std::uint32_t low, std::uint32_t high, std::uint32_t& value) {
  std::wstring trimmed = TrimBlanks(text);
  if (trimmed.empty()) return true;
  if (trimmed.size() > 9) return false;
  std::uint32_t number = 0;
  for (wchar_t c : trimmed) {
    if (c < L'0' || c > L'9') return false;
    number = number * 10 + static_cast<std::uint32_t>(c - L'0');
  }
  if (number < low || number > high) return false;
  value = number;
  return true;
}

}  // namespace

bool IsPlainFileName(const std::wstring& name) {
  for (wchar_t c : name) {
    if (c < 32 || c == L'\\' || c == L'?' || c == L'"' || c == L'|' || c == L'>' || c == L'<' || c == L':' ||
        c == L'/' || c == L'*') {
      return false;
    }
  }
  std::wstring trimmed = TrimBlanks(name);
  return !trimmed.empty() && trimmed != L"." && trimmed != L"..";
}

Result CrackUrl(const std::wstring& url, CrackedUrl& cracked) {
  cracked = CrackedUrl{};
  if (url.empty()) return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
  DWORD capacity = static_cast<DWORD>(url.size() + 1);
  std::wstring scheme(capacity, L'\0'), host(capacity, L'\0'), path(capacity, L'\0'), extra(capacity, L'\0');
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof(parts);
  parts.lpszScheme = scheme.data();
  parts.dwSchemeLength = capacity;
  parts.lpszHostName = host.data();
  parts.dwHostNameLength = capacity;
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = capacity;
  parts.lpszExtraInfo = extra.data();
  parts.dwExtraInfoLength = capacity;
  if (!::InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
    Result error = ::GetLastError();
    return error != 0 ? error : ERROR_INTERNET_INVALID_URL;
  }
  cracked.scheme = parts.nScheme;
  cracked.path.assign(path.c_str());
  cracked.extraInfo.assign(extra.c_str());
  return kOk;
}

Result DeriveFileUrls(const std::vector<std::wstring>& updatesUrls, const std::wstring& serverFileName,
                      std::vector<std::wstring>& urls) {
  urls.clear();
  for (const std::wstring& updatesUrl : updatesUrls) {
    CrackedUrl cracked;
    if (CrackUrl(updatesUrl, cracked) != kOk) return E_UPD_BAD_FILE_URL;
    if (cracked.scheme == INTERNET_SCHEME_FILE) {
      size_t slash = cracked.path.find_last_of(L'\\');
      std::wstring folder = slash == std::wstring::npos ? cracked.path : cracked.path.substr(0, slash);
      urls.push_back(kFileScheme + folder + L'\\' + serverFileName);
      continue;
    }
    // Everything after the last "/" of the path (query included) gives way to the installer's name.
    size_t schemeEnd = updatesUrl.find(L"://");
    size_t hostStart = schemeEnd == std::wstring::npos ? 0 : schemeEnd + 3;
    size_t pathStart = updatesUrl.find(L'/', hostStart);
    size_t queryStart = updatesUrl.find_first_of(L"?#", hostStart);
    if (pathStart == std::wstring::npos || (queryStart != std::wstring::npos && queryStart < pathStart)) {
      urls.push_back(updatesUrl.substr(0, queryStart) + L'/' + serverFileName);
      continue;
    }
    size_t lastSlash = updatesUrl.rfind(L'/', queryStart == std::wstring::npos ? std::wstring::npos : queryStart - 1);
    urls.push_back(updatesUrl.substr(0, lastSlash + 1) + serverFileName);
  }
  return kOk;
}

bool ParseReleaseDate(const std::wstring& text, UpdateDate& date) {
  date = UpdateDate{};
  std::wstring trimmed = TrimBlanks(text);
  if (trimmed.empty()) return true;
  size_t first = trimmed.find(L'/');
  if (first == std::wstring::npos) return false;
  size_t second = trimmed.find(L'/', first + 1);
  if (second == std::wstring::npos) return false;
  date.day = static_cast<std::uint16_t>(ParseLeadingInt(trimmed.substr(0, first)));
  date.month = static_cast<std::uint16_t>(ParseLeadingInt(trimmed.substr(first + 1, second - first - 1)));
  date.year = static_cast<std::uint16_t>(ParseLeadingInt(trimmed.substr(second + 1)));
  return true;
}

AutoCloseEntry ParseAutoCloseEntry(const std::wstring& text) {
  AutoCloseEntry entry;
  size_t bar = text.find(L'|');
  if (bar == std::wstring::npos) {
    entry.path = TrimBlanks(text);
    return entry;
  }
  entry.path = TrimBlanks(text.substr(0, bar));
  std::vector<std::wstring> items = SplitDelimitedList(TrimBlanks(text.substr(bar + 1)));
  if (items.size() > 0) entry.restartArguments = items[0];
  if (items.size() > 1) entry.windowTitle = items[1];
  if (items.size() > 2) entry.restartFlags.Parse(items[2]);
  return entry;
}

void UpdatesFileReader::ForgetLastModified() const {
  if (catalogue_.Settings().forgetLastModified) catalogue_.Settings().forgetLastModified();
}

Result UpdatesFileReader::Load(bool checkHeader, bool mergeDeprecated) {
  DWORD attributes = ::GetFileAttributesW(path_.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return E_UPD_UP_TO_DATE;
  }

  IniReadSnapshot snapshot(path_);
  IniFile file(snapshot.Path());
  file.KeepSectionsInMemory(sectionsInMemory_);
  Result result = file.ReadBom();
  if (result != kOk) {
    LogError(L"Unable to read the updates configuration file " + path_, result);
    ForgetLastModified();
    return result;
  }
  if (file.IsUnicode()) catalogue_.unicodeSource = true;
  if (checkHeader && !file.CheckHeader(kUpdatesFileMarker)) {
    LogError(L"The updates configuration file does not start with ;kxw;", E_UPD_BAD_UPDATES_FILE);
    ForgetLastModified();
    return E_UPD_BAD_UPDATES_FILE;
  }

  pendingDepends_.clear();
  pendingReplaces_.clear();
  pendingNextDeprecated_.clear();
  names_.Clear();
  for (std::size_t i = 0; i < catalogue_.Count(); ++i) names_.Add(&catalogue_.At(i));
  for (const std::wstring& section : file.SectionNames()) {
    if (section != kGeneral && names_.Find(section) != nullptr) {
      // The profile functions answer every key from the first of the sections named alike, so a
      // repeated one would only be a second copy of that update (shown and installed twice, and
      // merged into one when the selection is written); it is read once.
      LogFormat(kLogDebug, L"Ignoring repeated section [%ls]", section.c_str());
      continue;
    }
    result = section == kGeneral ? ReadGeneral(file) : ReadUpdate(file, section);
    if (result != kOk) return result;
  }

  ResolveLinks();
  ApplySingleUpdate();
  if (mergeDeprecated) MergeDeprecatedDescriptions();
  return kOk;
}

Result UpdatesFileReader::ReadGeneral(const IniFile& file) {
  std::wstring formatText = file.GetString(kGeneral, L"ConfigFileVersion");
  if (formatText.empty()) formatText = L"1.0";
  VersionNumber format;
  if (!ParseVersion(formatText, format) || !SameVersion(format, VersionNumber::Of(1))) {
    return E_UPD_CONFIG_FORMAT;
  }
  std::wstring disabled = file.GetString(kGeneral, L"UpdatesDisabled");
  if (!disabled.empty()) {
    RegisterComputedText(E_UPD_UPDATES_DISABLED, disabled);
    return E_UPD_UPDATES_DISABLED;
  }
  return catalogue_.message.ReadMessage(file);
}

Result UpdatesFileReader::ReadUpdate(const IniFile& file, const std::wstring& section) {
  auto record = std::make_unique<UpdateRecord>();
  Result result = ParseSection(file, section, *record);
  if (result != kOk) {
    LogError(L"Invalid update section [" + section + L"]", result);
    return result;
  }
  std::wstring depends = file.GetString(section, L"Depends");
  if (!depends.empty()) pendingDepends_.push_back({section, depends});
  std::vector<std::wstring> replaces = file.GetDelimitedList(section, L"Replaces");
  if (!replaces.empty()) {
    if (replaces.front() == kReplaceAll) record->replacesAll = true;
    pendingReplaces_.push_back({section, std::move(replaces)});
  }
  std::wstring nextDeprecated = file.GetString(section, L"NextDeprecated");
  if (!nextDeprecated.empty()) pendingNextDeprecated_.push_back({section, nextDeprecated});
  names_.Add(&catalogue_.Append(std::move(record)));
  return kOk;
}

Result ReadDetectionKeys(const CatalogueSettings& settings, const KeyReader& get, UpdateRecord& record) {
  // Detection: the first of file, registry value, custom program and app package that is given.
  auto expandTarget = [&](const std::wstring& text) {
    std::wstring expanded;
    Result result = ExpandForRecord(settings, text, expanded);
    if (result == kOk) {
      record.detectionTarget = expanded;
    } else {
      record.detectionTarget = text;
      record.expansionError = result;
    }
  };
  std::wstring filePath = get(L"FilePath");
  if (!filePath.empty()) {
    expandTarget(filePath);
    std::wstring fileSize = get(L"FileSize");
    if (!fileSize.empty()) {
      record.criteria |= kCriterionFileSize;
      record.FileSize = ParseLeadingInt(fileSize);
    }
    record.detectionKind = DetectionKind::FilePath;
  } else {
    std::wstring registryKey = get(L"RegistryKey");
    std::wstring customDetection;
    if (!registryKey.empty()) {
      record.detectionTarget = registryKey;
      record.detectionKind = DetectionKind::RegistryKey;
    } else if (!(customDetection = get(L"CustomDetection")).empty()) {
      expandTarget(customDetection);
      record.detectionKind = DetectionKind::CustomDetection;
      record.CustomDetectionParams = get(L"CustomDetectionParams");
      if (!record.HasFlag(kUpdateUnsafeCustomDetection)) {
        Result trust = settings.verifySignatureTrust ? settings.verifySignatureTrust(record.detectionTarget)
                                                     : E_UPD_UNTRUSTED_PUBLISHER;
        if (trust != kOk) return E_UPD_UNTRUSTED_PUBLISHER;
      }
    } else {
      record.AppIdName = get(L"AppIdName");
      if (!record.AppIdName.empty()) {
        record.AppIdArch = get(L"AppIdArch");
        record.AppIdResourceId = get(L"AppIdResourceId");
        record.AppIdPublisherId = get(L"AppIdPublisherId");
        record.detectionKind = DetectionKind::AppId;
      }
    }
  }
  // A saved selection may hold a release that has nothing to be detected by (it is never installed,
  // so always needed); an updates file must give a detection key.
  if (record.detectionTarget.empty() && record.AppIdName.empty() && !settings.readsSavedSelection)
    return E_UPD_INVALID_UPDATES_FILE;

  std::wstring versionText = get(L"Version");
  record.versionOperator = kVersionAtLeast;
  if (!versionText.empty()) {
    record.criteria |= kCriterionVersion;
    size_t firstDigit = FindFirstDigit(versionText);
    std::wstring operatorText = TrimBlanks(versionText.substr(0, firstDigit));
    if (operatorText == L"=") record.versionOperator = kVersionEqual;
    if (firstDigit != std::wstring::npos) ParseVersion(versionText.substr(firstDigit), record.Version);
  }

  return kOk;
}

Result SetLocalPath(const CatalogueSettings& settings, UpdateRecord& record) {
  // Where the installer is downloaded: downloads folder, section name, file name.
  CrackedUrl firstUrl;
  Result cracked = CrackUrl(record.URL.front(), firstUrl);
  if (cracked != kOk) return cracked;
  // Both names become parts of a local path: they must not lead out of the downloads folder.
  if (!IsPlainFileName(record.sectionName)) return E_UPD_INVALID_UPDATES_FILE;
  std::wstring fileName;
  if (!record.ServerFileName.empty()) {
    if (!IsPlainFileName(record.ServerFileName)) return E_UPD_INVALID_UPDATES_FILE;
    fileName = record.ServerFileName;
  } else {
    std::wstring fullPath = firstUrl.path + firstUrl.extraInfo;
    size_t slash = fullPath.rfind(L'/');
    std::wstring lastPart = slash == std::wstring::npos ? fullPath : fullPath.substr(slash + 1);
    fileName = IsPlainFileName(lastPart) ? TrimBlanks(lastPart) : record.sectionName;
  }
  record.localPath = EnsureTrailingBackslash(settings.downloadsFolder) + record.sectionName + L'\\' + fileName;
  return kOk;
}

Result UpdatesFileReader::ParseSection(const IniFile& file, const std::wstring& section, UpdateRecord& record) const {
  const CatalogueSettings& settings = catalogue_.Settings();
  record.sectionName = section;
  if (settings.readsSavedSelection) record.selected = true;

  record.Name = file.GetString(section, L"Name");
  if (record.Name.empty()) return E_UPD_INVALID_UPDATES_FILE;
  record.status = static_cast<Result>(file.GetInt(section, L"State"));
  record.UpdatedApplicationVersions = file.GetDelimitedList(section, L"UpdatedApplicationVersions");
  record.UpdatedApplications = file.GetDelimitedList(section, L"UpdatedApplications");
  record.Description = file.GetNumberedList(section, L"Description", L"DescriptionHtml");
  for (DescriptionGroup& group : record.descriptionGroups) {
    group.items = file.GetNumberedList(section, group.plainKey, group.htmlKey);
  }

  // A size that is negative or beyond 32 bits is as invalid as a missing one.
  std::uint32_t size = 0;
  if (!ParseUnsigned32(file.GetString(section, L"Size"), size) || size == 0) return E_UPD_INVALID_UPDATES_FILE;
  record.Size = size;

  file.GetFlags(section, L"Flags", record.Flags);
  record.SHA256 = file.GetString(section, L"SHA256");
  record.MD5 = file.GetString(section, L"MD5");
  record.ServerFileName = file.GetString(section, L"ServerFileName");

  record.URL = file.GetNumberedList(section, L"URL");
  if (record.URL.empty()) return E_UPD_INVALID_UPDATES_FILE;
  bool onlyFileScheme = true;
  for (const std::wstring& url : record.URL) onlyFileScheme = onlyFileScheme && EqualsIgnoringCase(url, kFileScheme);
  if (onlyFileScheme) {
    Result result = DeriveFileUrls(settings.updatesUrls, record.ServerFileName, record.URL);
    if (result != kOk) return result;
    if (record.URL.empty()) return E_UPD_BAD_FILE_URL;
  }

  record.Category = file.GetString(section, L"Category");
  if (!ParseReleaseDate(file.GetString(section, L"ReleaseDate"), record.ReleaseDate)) {
    return E_UPD_INVALID_UPDATES_FILE;
  }
  if (!ParseRolloutKey(file.GetString(section, L"RolloutPercent"), 0, 100, record.rolloutPercent) ||
      !ParseRolloutKey(file.GetString(section, L"RolloutDays"), 1, kRolloutDaysMax, record.rolloutDays)) {
    return E_UPD_INVALID_UPDATES_FILE;
  }
  if (record.rolloutDays != 0 &&
      EndOfDay(record.ReleaseDate.day, record.ReleaseDate.month, record.ReleaseDate.year) == 0) {
    LogFormat(kLogInfo, L"RolloutDays of [%ls] is ignored: the update has no ReleaseDate.", section.c_str());
  }

  for (const std::wstring& item : file.GetNumberedList(section, L"AutoCloseApplication")) {
    AutoCloseEntry entry = ParseAutoCloseEntry(item);
    std::wstring expanded;
    if (ExpandForRecord(settings, entry.path, expanded) == kOk) entry.path = expanded;
    record.AutoCloseApplication.push_back(std::move(entry));
  }

  std::wstring commandLine = file.GetString(section, L"CommandLine");
  if (!commandLine.empty()) {
    ExpandForRecord(settings, commandLine, record.CommandLine);  // a failure keeps what was expanded
  }
  record.NoGUICommandLineSwitch = TrimBlanks(file.GetString(section, L"NoGUICommandLineSwitch"));
  if (EqualsIgnoringCase(record.NoGUICommandLineSwitch, kNoSwitchLiteral)) record.NoGUICommandLineSwitch.clear();

  std::wstring osText = file.GetString(section, L"TargetOsMinVersion");
  if (!osText.empty()) ParseVersion(osText, record.TargetOsMinVersion);
  osText = file.GetString(section, L"TargetOsMaxVersion");
  if (!osText.empty()) ParseVersion(osText, record.TargetOsMaxVersion);

  Result detection = ReadDetectionKeys(settings, [&](const wchar_t* key) { return file.GetString(section, key); }, record);
  if (detection != kOk) return detection;
  return SetLocalPath(settings, record);
}

void UpdatesFileReader::ResolveLinks() {
  const size_t limit = catalogue_.Count();
  for (const PendingLink& link : pendingDepends_) {
    UpdateRecord* record = names_.Find(link.section);
    UpdateRecord* target = names_.Find(link.value);
    if (record == nullptr || target == nullptr || record == target) continue;
    // A dependency that would close a loop is dropped: installation order must have a start.
    if (DependencyChainReaches(target, record, limit)) {
      LogFormat(kLogDebug, L"Ignoring Depends=%ls of [%ls]: it closes a loop", link.value.c_str(), link.section.c_str());
      continue;
    }
    record->dependsOn = target;
    target->requiredBy = record;
  }
  for (const PendingList& list : pendingReplaces_) {
    UpdateRecord* record = names_.Find(list.section);
    if (record == nullptr) continue;
    for (const std::wstring& item : list.items) {
      UpdateRecord* target = names_.Find(item);
      if (target != nullptr && target != record) record->replaces.push_back(target);
    }
  }
  for (const PendingLink& link : pendingNextDeprecated_) {
    UpdateRecord* record = names_.Find(link.section);
    UpdateRecord* target = names_.Find(link.value);
    if (record == nullptr || target == nullptr || record == target) continue;
    if (DeprecationChainReaches(target, record, limit)) {
      LogFormat(kLogDebug, L"Ignoring NextDeprecated=%ls of [%ls]: it closes a loop", link.value.c_str(),
                link.section.c_str());
      continue;
    }
    record->nextDeprecated = target;
    target->deprecated = true;
  }
}

void UpdatesFileReader::ApplySingleUpdate() {
  if (catalogue_.Count() != 1) return;
  const CatalogueSettings& settings = catalogue_.Settings();
  if (settings.vertSplitter) {
    int width = 0, height = 0;
    if (settings.screenSize) {
      settings.screenSize(width, height);
    } else {
      width = ::GetSystemMetrics(SM_CXSCREEN);
      height = ::GetSystemMetrics(SM_CYSCREEN);
    }
    if (width >= 1024 && height >= 768) return;
  }
  UpdateRecord& record = catalogue_.At(0);
  record.Flags.SetValue(record.Flags.Value() | kUpdateSingleUpdate);
}

void UpdatesFileReader::MergeDeprecatedDescriptions() {
  for (size_t index = 0; index < catalogue_.Count(); ++index) {
    UpdateRecord& record = catalogue_.At(index);
    std::unordered_set<const UpdateRecord*> visited = {&record};
    for (const UpdateRecord* older = record.nextDeprecated; older != nullptr; older = older->nextDeprecated) {
      // The walk ends at a record it has seen, so a chain that leads back cannot run for ever.
      if (!visited.insert(older).second) break;
      for (int kind = kDescriptionFeatures; kind <= kDescriptionBugFixes; ++kind) {
        const std::vector<std::wstring>& items = older->descriptionGroups[kind].items;
        std::vector<std::wstring>& into = record.descriptionGroups[kind].items;
        into.insert(into.end(), items.begin(), items.end());
      }
    }
  }
}

}  // namespace updater
