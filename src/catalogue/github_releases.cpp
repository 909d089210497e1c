#include "catalogue/github_releases.h"

#include <windows.h>

#include <cstdint>
#include <vector>

#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>

#include "base/file_bytes.h"
#include "base/text_util.h"
#include "base/win_handles.h"
#include "catalogue/markdown.h"

namespace updater {
namespace {

using JsonDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>>;

// Release lists and asset files are never near this; a larger file is refused unread.
constexpr std::uint64_t kMaxJsonBytes = 32u << 20;

bool IsTrue(const JsonValue& object, const wchar_t* name) {
  auto member = object.FindMember(name);
  return member != object.MemberEnd() && member->value.IsTrue();
}

// The member's text when it is a string; empty otherwise.
std::wstring StringMember(const JsonValue& object, const wchar_t* name) {
  auto member = object.FindMember(name);
  if (member == object.MemberEnd() || !member->value.IsString()) return {};
  return std::wstring(member->value.GetString(), member->value.GetStringLength());
}

bool HasMember(const JsonValue& object, const wchar_t* name) { return object.FindMember(name) != object.MemberEnd(); }

// "2026-12-01T10:00:00Z": the date part, year first; false without two "-".
bool ParsePublishedDate(const std::wstring& text, UpdateDate& date) {
  std::wstring day = text.substr(0, text.find(L'T'));
  std::size_t first = day.find(L'-');
  std::size_t second = first == std::wstring::npos ? first : day.find(L'-', first + 1);
  if (second == std::wstring::npos) return false;
  date.year = static_cast<std::uint16_t>(ParseLeadingInt(day.substr(0, first)));
  date.month = static_cast<std::uint16_t>(ParseLeadingInt(day.substr(first + 1, second - first - 1)));
  date.day = static_cast<std::uint16_t>(ParseLeadingInt(day.substr(second + 1)));
  return true;
}

// The text after the last "." with any leading dots removed, in lower case.
std::wstring Extension(const std::wstring& name) {
  std::size_t dot = name.rfind(L'.');
  if (dot == std::wstring::npos) return {};
  std::wstring extension;
  for (wchar_t c : name.substr(dot + 1)) extension.push_back(c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c);
  return extension;
}

// A new, empty file "upd<unique>.json" in the temporary folder; removed when this ends.
class TemporaryJsonFile {
 public:
  TemporaryJsonFile() {
    wchar_t folder[MAX_PATH + 1];
    DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) return;
    for (unsigned attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      wchar_t name[32];
      swprintf(name, 32, L"upd%08lX%02X.json", static_cast<unsigned long>(::GetTickCount() ^ ::GetCurrentProcessId()),
               attempt);
      std::wstring candidate = std::wstring(folder) + name;
      UniqueHandle created(
          ::CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr));
      if (created) path_ = candidate;
    }
  }
  ~TemporaryJsonFile() {
    if (path_.empty()) return;
    ::DeleteFileW(path_.c_str());
    ::DeleteFileW((path_ + L".part").c_str());  // what a failed download left
  }
  TemporaryJsonFile(const TemporaryJsonFile&) = delete;
  TemporaryJsonFile& operator=(const TemporaryJsonFile&) = delete;

  const std::wstring& Path() const { return path_; }

 private:
  std::wstring path_;
};

struct Candidate {
  std::wstring name;
  std::uint32_t size = 0;
  std::wstring url;
};

}  // namespace

bool ParseJsonUtf8(const std::string& bytes, JsonDocument& document) {
  std::size_t start = bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  rapidjson::MemoryStream stream(bytes.data() + start, bytes.size() - start);
  // Iterative parsing: deeply nested input cannot exhaust the stack.
  document.ParseStream<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag |
                           rapidjson::kParseStopWhenDoneFlag,
                       rapidjson::UTF8<>>(stream);
  if (document.HasParseError()) return false;
  // Only white space may follow the value.
  for (std::size_t i = start + stream.Tell(); i < bytes.size(); ++i) {
    char c = bytes[i];
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

Result GitHubReleaseSource::Load(bool, bool) {
  catalogue_.Clear();
  std::string bytes;
  Result read = ReadFileBytes(path_, kMaxJsonBytes, E_UPD_BAD_UPDATES_FILE, bytes);
  if (read != kOk) return read;
  JsonDocument document;
  if (!ParseJsonUtf8(bytes, document) || !document.IsArray()) return E_UPD_BAD_UPDATES_FILE;
  for (const JsonValue& release : document.GetArray()) {
    auto record = std::make_unique<UpdateRecord>();
    Result parsed = ParseRelease(release, *record);
    if (parsed == E_UPD_PRERELEASE || parsed == E_UPD_DRAFT) continue;
    if (parsed != kOk) {
      catalogue_.Clear();
      return parsed;
    }
    catalogue_.Append(std::move(record));
  }
  return kOk;
}

Result GitHubReleaseSource::ParseRelease(const JsonValue& release, UpdateRecord& record) const {
  const CatalogueSettings& settings = catalogue_.Settings();
  if (!release.IsObject()) return E_UPD_INVALID_UPDATES_FILE;
  if (IsTrue(release, L"draft")) return E_UPD_DRAFT;
  if (IsTrue(release, L"prerelease")) return E_UPD_PRERELEASE;
  record.replacesAll = true;
  record.sectionName = StringMember(release, L"node_id");
  if (record.sectionName.empty()) return E_UPD_INVALID_UPDATES_FILE;
  if (settings.readsSavedSelection) record.selected = true;

  std::wstring published = StringMember(release, L"published_at");
  if (!published.empty() && !ParsePublishedDate(published, record.ReleaseDate)) return E_UPD_INVALID_UPDATES_FILE;

  ReleaseNotes notes = ConvertReleaseBody(StringMember(release, L"body"));
  record.Description = std::move(notes.description);
  record.descriptionGroups[kDescriptionFeatures].items = std::move(notes.features);
  record.descriptionGroups[kDescriptionEnhancements].items = std::move(notes.enhancements);
  record.descriptionGroups[kDescriptionBugFixes].items = std::move(notes.bugFixes);

  auto tag = release.FindMember(L"tag_name");
  bool hasTag = tag != release.MemberEnd() && tag->value.IsString();
  std::wstring tagText = hasTag ? std::wstring(tag->value.GetString(), tag->value.GetStringLength()) : L"";
  if (hasTag) {
    // Installed when the application wrote a Version at least the tag's under its own key.
    record.criteria |= kCriterionVersion;
    record.detectionKind = DetectionKind::RegistryKey;
    record.versionOperator = kVersionAtLeast;
    ParseVersion(tagText, record.Version);
    record.detectionTarget =
        L"HKLM\\Software\\" + settings.companyName + L"\\" + settings.applicationName + L"\\Version";
  }

  Result assets = ReadAssets(release, record);
  if (assets != kOk) return assets;

  record.Name = StringMember(release, L"name");
  if (record.Name.empty()) record.Name = settings.applicationName + L" " + tagText;
  return SetLocalPath(settings, record);
}

Result GitHubReleaseSource::ReadAssets(const JsonValue& release, UpdateRecord& record) const {
  auto assets = release.FindMember(L"assets");
  if (assets == release.MemberEnd() || !assets->value.IsArray()) return E_UPD_INVALID_UPDATES_FILE;
  std::vector<Candidate> candidates;
  for (const JsonValue& asset : assets->value.GetArray()) {
    if (!asset.IsObject()) continue;
    std::wstring name = StringMember(asset, L"name");
    std::wstring extension = Extension(name);
    if (extension == L"msi" || extension == L"msp" || extension == L"exe") {
      Candidate candidate;
      candidate.name = name;
      auto size = asset.FindMember(L"size");
      if (size != asset.MemberEnd() && size->value.IsUint()) candidate.size = size->value.GetUint();
      candidate.url = StringMember(asset, L"browser_download_url");
      candidates.push_back(std::move(candidate));
    } else if (EqualsIgnoringCase(name, kReleaseAssetJson)) {
      Result read = ReadAssetJson(asset, record);
      if (read != kOk) return read;
    }
  }
  if (!record.ServerFileName.empty()) {
    for (const Candidate& candidate : candidates) {
      if (!EqualsIgnoringCase(candidate.name, record.ServerFileName)) continue;
      record.Size = candidate.size;
      if (!candidate.url.empty()) record.URL.push_back(candidate.url);
    }
  } else if (!candidates.empty()) {
    record.ServerFileName = candidates.front().name;
    record.Size = candidates.front().size;
    if (!candidates.front().url.empty()) record.URL.push_back(candidates.front().url);
  }
  return record.URL.empty() ? E_UPD_INVALID_UPDATES_FILE : kOk;
}

Result GitHubReleaseSource::ReadAssetJson(const JsonValue& asset, UpdateRecord& record) const {
  const CatalogueSettings& settings = catalogue_.Settings();
  std::wstring url = StringMember(asset, L"browser_download_url");
  if (url.empty()) return E_UPD_INVALID_UPDATES_FILE;
  if (!settings.downloadAsset) return E_UPD_INVALID_UPDATES_FILE;
  TemporaryJsonFile file;
  if (file.Path().empty()) return static_cast<Result>(::GetLastError() ? ::GetLastError() : ERROR_CANNOT_MAKE);
  Result downloaded = settings.downloadAsset(url, file.Path());
  if (downloaded != kOk) return downloaded;
  std::string bytes;
  Result read = ReadFileBytes(file.Path(), kMaxJsonBytes, E_UPD_BAD_UPDATES_FILE, bytes);
  if (read == E_UPD_BAD_UPDATES_FILE) return E_UPD_INVALID_UPDATES_FILE;
  if (read != kOk) return read;
  // A file that is no JSON at all carries keys nobody can trust: the release is refused rather
  // than installed without the hash its publisher meant it to have.
  JsonDocument document;
  if (!ParseJsonUtf8(bytes, document)) return E_UPD_INVALID_UPDATES_FILE;
  if (!document.IsObject()) return kOk;
  const JsonValue& keys = document;

  std::wstring serverFileName = StringMember(keys, L"ServerFileName");
  if (!serverFileName.empty()) record.ServerFileName = serverFileName;
  std::wstring sha256 = StringMember(keys, L"SHA256");
  if (!sha256.empty()) record.SHA256 = sha256;
  std::wstring commandLine = StringMember(keys, L"CommandLine");
  if (!commandLine.empty()) {
    ExpandForRecord(settings, commandLine, record.CommandLine);  // a failure keeps what was expanded
  }
  auto releaseDate = keys.FindMember(L"ReleaseDate");
  if (releaseDate != keys.MemberEnd() &&
      (!releaseDate->value.IsString() ||
       !ParseReleaseDate(std::wstring(releaseDate->value.GetString(), releaseDate->value.GetStringLength()),
                         record.ReleaseDate)))
    return E_UPD_INVALID_UPDATES_FILE;

  if (HasMember(keys, L"FilePath") || HasMember(keys, L"RegistryKey") || HasMember(keys, L"CustomDetection") ||
      HasMember(keys, L"AppIdName")) {
    // The asset's detection replaces the one of the tag.
    record.detectionKind = DetectionKind::None;
    record.detectionTarget.clear();
    record.criteria = 0;
    record.Version = VersionNumber{};
    return ReadDetectionKeys(settings, [&keys](const wchar_t* key) { return StringMember(keys, key); }, record);
  }
  return kOk;
}

std::unique_ptr<UpdateSource> OpenDownloadedCatalogue(UpdateCatalogue& catalogue, const std::wstring& path) {
  if (catalogue.Settings().gitHubReleases) return std::make_unique<GitHubReleaseSource>(catalogue, path);
  return std::make_unique<UpdatesFileReader>(catalogue, path);
}

}  // namespace updater
