// The updates configuration file and the saved selection: reading them into the ordered list of
// update records of one run, linking the records, and writing the chosen ones back.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/ini_file.h"
#include "base/result_codes.h"
#include "catalogue/publisher_message.h"
#include "catalogue/update_record.h"

namespace updater {

// First characters of a genuine updates configuration file.
inline constexpr wchar_t kUpdatesFileMarker[] = L";kxw;";
// The first item of "Replaces" that makes an update replace every other.
inline constexpr wchar_t kReplaceAll[] = L"All";

// The records of one run in file order (index 0 is the newest); owns them, so the links between
// records stay valid as long as the catalogue.
class UpdateCatalogue {
 public:
  // The settings are referred to, not copied: they must outlive the catalogue.
  explicit UpdateCatalogue(const CatalogueSettings& settings) : settings_(&settings) {}
  explicit UpdateCatalogue(CatalogueSettings&&) = delete;
  UpdateCatalogue(const UpdateCatalogue&) = delete;
  UpdateCatalogue& operator=(const UpdateCatalogue&) = delete;

  size_t Count() const { return records_.size(); }
  UpdateRecord& At(size_t index) { return *records_[index]; }
  const UpdateRecord& At(size_t index) const { return *records_[index]; }
  // First record whose section name equals the name without regard to case.
  UpdateRecord* Find(const std::wstring& sectionName) const;
  UpdateRecord& Append(std::unique_ptr<UpdateRecord> record);
  void Clear();

  const CatalogueSettings& Settings() const { return *settings_; }

  bool unicodeSource = false;  // the file read began with the UTF-16LE byte-order mark
  PublisherMessage message;    // from section "General"

 private:
  const CatalogueSettings* settings_;
  std::vector<std::unique_ptr<UpdateRecord>> records_;
};

// Finds records by section name as UpdateCatalogue::Find does (the first of the names equal without
// regard to case), in constant time for the usual ASCII names, so that linking the records of a long
// catalogue does not compare every name with every other. Names with other characters are compared
// one by one, exactly.
class RecordNameIndex {
 public:
  void Add(UpdateRecord* record);
  UpdateRecord* Find(const std::wstring& sectionName) const;
  void Clear();

 private:
  struct Entry {
    std::size_t order;
    UpdateRecord* record;
  };
  std::unordered_map<std::wstring, Entry> ascii_;  // by the name with ASCII letters in lower case
  std::vector<Entry> others_;                      // in the order they were added
  std::size_t added_ = 0;
};

// A provider of the catalogue's records: the updates configuration file or GitHub releases.
class UpdateSource {
 public:
  virtual ~UpdateSource() = default;
  // Fills the catalogue; 0 on success.
  virtual Result Load(bool checkHeader, bool mergeDeprecated) = 0;
};

class UpdatesFileReader : public UpdateSource {
 public:
  UpdatesFileReader(UpdateCatalogue& catalogue, std::wstring path)
      : catalogue_(catalogue), path_(std::move(path)) {}

  Result Load(bool checkHeader, bool mergeDeprecated) override;
  // On (the default), each section is read with one profile call; off, key by key (for comparison).
  void SetSectionsInMemory(bool inMemory) { sectionsInMemory_ = inMemory; }
  // Reads one update section into the record; the first failing key ends it.
  Result ParseSection(const IniFile& file, const std::wstring& section, UpdateRecord& record) const;

 private:
  struct PendingLink {
    std::wstring section;
    std::wstring value;
  };
  struct PendingList {
    std::wstring section;
    std::vector<std::wstring> items;
  };

  Result ReadGeneral(const IniFile& file);
  Result ReadUpdate(const IniFile& file, const std::wstring& section);
  void ResolveLinks();
  void ApplySingleUpdate();
  void MergeDeprecatedDescriptions();
  void ForgetLastModified() const;

  UpdateCatalogue& catalogue_;
  std::wstring path_;
  bool sectionsInMemory_ = true;
  RecordNameIndex names_;
  std::vector<PendingLink> pendingDepends_;
  std::vector<PendingList> pendingReplaces_;
  std::vector<PendingLink> pendingNextDeprecated_;
};

// ExpandText for the readers: values in a saved selection were expanded when they were written and
// are taken as they are, so that a bracket or percent sign in an expanded path is not read as a token.
Result ExpandForRecord(const CatalogueSettings& settings, const std::wstring& text, std::wstring& output);
// Reads the detection keys (FilePath, FileSize, RegistryKey, CustomDetection, CustomDetectionParams,
// the AppId keys, Version) as an update section gives them, through `get`, which returns a key's
// value or an empty text. Invalid without any detection key.
using KeyReader = std::function<std::wstring(const wchar_t* key)>;
Result ReadDetectionKeys(const CatalogueSettings& settings, const KeyReader& get, UpdateRecord& record);
// Where the record's installer is downloaded: the downloads folder, the section name, and the
// server file name or the last part of the first URL.
Result SetLocalPath(const CatalogueSettings& settings, UpdateRecord& record);

// Writes the selected records (only the critical ones when asked) and the publisher message.
Result WriteSelection(const UpdateCatalogue& catalogue, const std::wstring& path, bool criticalOnly);

// Replaces "[APPDIR]", "[{product}component]" and "%VARIABLE%" tokens. On failure the output holds
// what was expanded before the failing token.
Result ExpandText(const CatalogueSettings& settings, const std::wstring& text, std::wstring& output);

// The pieces of the reader, usable on their own.
struct CrackedUrl {
  int scheme = 0;  // INTERNET_SCHEME_*
  std::wstring path;       // decoded path, without extra information
  std::wstring extraInfo;  // "?..." and "#..." part
};
Result CrackUrl(const std::wstring& url, CrackedUrl& cracked);
// The installer's URLs beside the updates configuration file on every mirror (for URL "file://").
Result DeriveFileUrls(const std::vector<std::wstring>& updatesUrls, const std::wstring& serverFileName,
                      std::vector<std::wstring>& urls);
// Day/month/year: true for an empty text (all 0) or one with two "/"; false otherwise.
bool ParseReleaseDate(const std::wstring& text, UpdateDate& date);
// "path|arguments;title;flags" without expansion of the path.
AutoCloseEntry ParseAutoCloseEntry(const std::wstring& text);
std::wstring FormatAutoCloseEntry(const AutoCloseEntry& entry);
// A name usable as one component of a local path (no separators, no wildcard or reserved characters).
bool IsPlainFileName(const std::wstring& name);

}  // namespace updater
