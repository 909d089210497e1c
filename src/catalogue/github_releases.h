// Updates from the releases of a GitHub repository: the release list that the check downloaded
// (the JSON array of the repository's releases interface) becomes update records of the same
// shape an updates configuration file gives, so that detection, selection, download and
// installation work unchanged. Drafts and pre-releases are skipped; every release replaces the
// older ones after it. A release's asset "morvask_update.json" may add the keys an update section
// would give (hash, command line, detection).
#pragma once

#include <string>

#include <rapidjson/document.h>

#include "catalogue/update_catalogue.h"

namespace updater {

// JSON values with their strings in UTF-16.
using JsonValue = rapidjson::GenericValue<rapidjson::UTF16<wchar_t>>;

// The name of the asset that carries an update section's keys.
inline constexpr wchar_t kReleaseAssetJson[] = L"morvask_update.json";

// Parses JSON text in UTF-8 (an optional byte-order mark aside) into UTF-16 values; false for text
// that is not JSON or not valid UTF-8.
bool ParseJsonUtf8(const std::string& bytes, rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>>& document);

class GitHubReleaseSource : public UpdateSource {
 public:
  GitHubReleaseSource(UpdateCatalogue& catalogue, std::wstring path) : catalogue_(catalogue), path_(std::move(path)) {}

  // The header and deprecation settings of the updates file do not apply to releases.
  Result Load(bool checkHeader, bool mergeDeprecated) override;
  Result ParseRelease(const JsonValue& release, UpdateRecord& record) const;
  Result ReadAssets(const JsonValue& release, UpdateRecord& record) const;
  Result ReadAssetJson(const JsonValue& asset, UpdateRecord& record) const;

 private:
  UpdateCatalogue& catalogue_;
  std::wstring path_;
};

// The reader of a downloaded catalogue file: a release list or an updates configuration file, as
// the settings say.
std::unique_ptr<UpdateSource> OpenDownloadedCatalogue(UpdateCatalogue& catalogue, const std::wstring& path);

}  // namespace updater
