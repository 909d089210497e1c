#include "catalogue/github_releases.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "temp_files.h"

namespace updater {
namespace {

using testing::TempFolder;
using testing::WriteBytes;

// One published release; `extra` goes into its object, `assets` is the whole assets value.
std::string Release(const std::string& extra = "",
                    const std::string& assets = R"([{"name":"tool.msi","size":1234,"browser_download_url":"https://h/tool.msi"}])") {
  // A body in `extra` takes the place of the default one.
  std::string body = extra.find("\"body\"") == std::string::npos ? R"("body":"Notes",)" : "";
  return R"({"node_id":"RE_1","tag_name":"v1.4.2","name":"Tool 1.4.2","published_at":"2026-11-30T10:00:00Z",)" + body +
         R"("assets":)" + assets + (extra.empty() ? "" : "," + extra) + "}";
}

class Releases : public ::testing::Test {
 protected:
  Releases() {
    settings_.downloadsFolder = L"C:\\dl";
    settings_.applicationName = L"Tool";
    settings_.companyName = L"Acme";
    settings_.gitHubReleases = true;
    settings_.downloadAsset = [this](const std::wstring& url, const std::wstring& path) -> Result {
      downloaded_.push_back(url);
      auto served = assetFiles_.find(url);
      if (served == assetFiles_.end()) return E_UPD_RESOURCE_NOT_FOUND;
      WriteBytes(path, served->second);
      return kOk;
    };
  }
  Result Load(const std::string& json) {
    std::wstring path = folder_.File(L"releases.json");
    WriteBytes(path, json);
    return OpenDownloadedCatalogue(catalogue_, path)->Load(true, true);
  }

  TempFolder folder_;
  CatalogueSettings settings_;
  UpdateCatalogue catalogue_{settings_};
  std::map<std::wstring, std::string> assetFiles_;
  std::vector<std::wstring> downloaded_;
};

TEST_F(Releases, APublishedReleaseBecomesARecord) {
  ASSERT_EQ(Load("[" + Release() + "]"), kOk);
  ASSERT_EQ(catalogue_.Count(), 1u);
  const UpdateRecord& record = catalogue_.At(0);
  EXPECT_EQ(record.sectionName, L"RE_1");
  EXPECT_EQ(record.Name, L"Tool 1.4.2");
  EXPECT_TRUE(record.replacesAll);
  EXPECT_EQ(record.detectionKind, DetectionKind::RegistryKey);
  EXPECT_EQ(record.detectionTarget, L"HKLM\\Software\\Acme\\Tool\\Version");
  EXPECT_EQ(FormatVersion(record.Version), L"1.4.2");
  EXPECT_EQ(record.versionOperator, kVersionAtLeast);
  EXPECT_EQ(record.ServerFileName, L"tool.msi");
  EXPECT_EQ(record.Size, 1234u);
  EXPECT_EQ(record.URL, (std::vector<std::wstring>{L"https://h/tool.msi"}));
  EXPECT_EQ(record.localPath, L"C:\\dl\\RE_1\\tool.msi");
  EXPECT_EQ(record.ReleaseDate.year, 2026);
  EXPECT_EQ(record.ReleaseDate.month, 11);
  EXPECT_EQ(record.ReleaseDate.day, 30);
  EXPECT_EQ(record.Description, (std::vector<std::wstring>{L"Notes"}));
  EXPECT_TRUE(downloaded_.empty());
}

TEST_F(Releases, WrongTypesAndMissingMembersAtEveryLevel) {
  const std::string noUrl = R"([{"name":"tool.msi","size":1}])";
  struct Case {
    const char* name;
    std::string json;
    Result result;
  } cases[] = {
      {"root object", Release(), E_UPD_BAD_UPDATES_FILE},
      {"root string", "\"x\"", E_UPD_BAD_UPDATES_FILE},
      {"empty list", "[]", kOk},
      {"release a number", "[1]", E_UPD_INVALID_UPDATES_FILE},
      {"release an array", "[[]]", E_UPD_INVALID_UPDATES_FILE},
      {"draft a string", "[" + Release(R"("draft":"true")") + "]", kOk},
      {"node_id a number", R"([{"node_id":5,"assets":[]}])", E_UPD_INVALID_UPDATES_FILE},
      {"node_id empty", "[" + Release().replace(12, 4, "") + "]", E_UPD_INVALID_UPDATES_FILE},
      {"node_id a path", "[" + Release().replace(12, 4, "..\\\\x") + "]", E_UPD_INVALID_UPDATES_FILE},
      {"published_at not a date", "[" + Release().replace(Release().find("2026-11-30"), 10, "yesterday") + "]",
       E_UPD_INVALID_UPDATES_FILE},
      {"assets an object", "[" + Release("", "{}") + "]", E_UPD_INVALID_UPDATES_FILE},
      {"assets missing", R"([{"node_id":"RE_1"}])", E_UPD_INVALID_UPDATES_FILE},
      {"no installer asset", "[" + Release("", R"([{"name":"notes.txt","browser_download_url":"https://h/n"}])") + "]",
       E_UPD_INVALID_UPDATES_FILE},
      {"asset a number", "[" + Release("", "[7]") + "]", E_UPD_INVALID_UPDATES_FILE},
      {"installer without URL", "[" + Release("", noUrl) + "]", E_UPD_INVALID_UPDATES_FILE},
      {"URL a number", "[" + Release("", R"([{"name":"a.exe","browser_download_url":3}])") + "]",
       E_UPD_INVALID_UPDATES_FILE},
      {"a bad release after a good one", "[" + Release() + ",{}]", E_UPD_INVALID_UPDATES_FILE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Load(c.json), c.result) << c.name;
    if (c.result != kOk) {
      EXPECT_EQ(catalogue_.Count(), 0u) << c.name << ": a failed load keeps no record";
    }
  }
  // Members of other types than the list's are passed over.
  ASSERT_EQ(Load(R"([{"node_id":"RE_1","draft":1,"prerelease":"yes","body":5,"tag_name":7,"name":false,)"
                 R"("published_at":3,"assets":[{"name":"a.exe","size":"12","browser_download_url":"https://h/a"}]}])"),
            kOk);
  const UpdateRecord& record = catalogue_.At(0);
  EXPECT_EQ(record.Size, 0u);
  EXPECT_TRUE(record.Description.empty());
  EXPECT_EQ(record.detectionKind, DetectionKind::None);  // never counts as installed
  EXPECT_EQ(record.Name, L"Tool ");                      // the application's name and an empty tag
  EXPECT_EQ(record.ReleaseDate.year, 0);
}

TEST_F(Releases, SizesOutsideThirtyTwoBitsCountAsUnknown) {
  for (const char* size : {"-1", "4294967296", "1.5", "1e3", "null"}) {
    ASSERT_EQ(Load("[" + Release("", std::string(R"([{"name":"a.exe","size":)") + size +
                                        R"(,"browser_download_url":"https://h/a"}])") +
                   "]"),
              kOk)
        << size;
    EXPECT_EQ(catalogue_.At(0).Size, 0u) << size;
  }
}

TEST_F(Releases, TextThatIsNotJsonOrNotUtf8IsAnUnreadableList) {
  const std::string good = "[" + Release() + "]";
  for (std::size_t length = 0; length < good.size(); ++length) {
    ASSERT_EQ(Load(good.substr(0, length)), E_UPD_BAD_UPDATES_FILE) << length;
  }
  const char* invalid[] = {"\xC3\x28", "\xC0\xAF", "\xED\xA0\x80", "\xF8\x88\x80\x80\x80", "\xFF"};
  for (const char* bytes : invalid) {
    EXPECT_EQ(Load("[" + Release(std::string(R"("name":")") + bytes + "\"") + "]"), E_UPD_BAD_UPDATES_FILE);
  }
  EXPECT_EQ(Load(good + " x"), E_UPD_BAD_UPDATES_FILE);
  EXPECT_EQ(Load(std::string(1000000, '[')), E_UPD_BAD_UPDATES_FILE);
  EXPECT_EQ(Load(std::string(100000, '[') + std::string(100000, ']')), E_UPD_INVALID_UPDATES_FILE);
  // A byte-order mark and characters beyond the basic plane are read.
  ASSERT_EQ(Load("\xEF\xBB\xBF[" + Release(R"("body":"caf\u00e9 \ud83d\ude00 )" "\xF0\x9F\x9A\x80\"") + "]"), kOk);
  EXPECT_EQ(catalogue_.At(0).Description.at(0), L"caf\u00e9 \U0001F600 \U0001F680");
}

TEST_F(Releases, AHugeBodyIsConverted) {
  std::string body(10u << 20, 'x');
  ASSERT_EQ(Load("[" + Release("\"body\":\"" + body + "\\n\\n## Bug Fixes\\n- one\"") + "]"), kOk);
  EXPECT_EQ(catalogue_.At(0).Description.at(0).size(), body.size());
  EXPECT_EQ(catalogue_.At(0).descriptionGroups[kDescriptionBugFixes].items,
            (std::vector<std::wstring>{L"one"}));
}

TEST_F(Releases, TheAssetJsonGivesTheKeysOfAnUpdateSection) {
  const std::string assets =
      R"([{"name":"first.exe","size":1,"browser_download_url":"https://h/first.exe"},)"
      R"({"name":"MORVASK_UPDATE.JSON","browser_download_url":"https://h/keys.json"},)"
      R"({"name":"Second.EXE","size":2222,"browser_download_url":"https://h/second.exe"}])";
  assetFiles_[L"https://h/keys.json"] =
      R"({"ServerFileName":"second.exe","SHA256":"AB12","CommandLine":"/quiet","ReleaseDate":"05/06/2026",)"
      R"("FilePath":"C:\\Tool\\tool.exe","FileSize":"77","Version":"= 3.1"})";
  ASSERT_EQ(Load("[" + Release("", assets) + "]"), kOk);
  const UpdateRecord& record = catalogue_.At(0);
  EXPECT_EQ(downloaded_, (std::vector<std::wstring>{L"https://h/keys.json"}));
  EXPECT_EQ(record.URL, (std::vector<std::wstring>{L"https://h/second.exe"}));
  EXPECT_EQ(record.Size, 2222u);
  EXPECT_EQ(record.SHA256, L"AB12");
  EXPECT_EQ(record.CommandLine, L"/quiet");
  EXPECT_EQ(record.ReleaseDate.day, 5);
  EXPECT_EQ(record.detectionKind, DetectionKind::FilePath);
  EXPECT_EQ(record.detectionTarget, L"C:\\Tool\\tool.exe");
  EXPECT_EQ(record.FileSize, 77);
  EXPECT_EQ(record.versionOperator, kVersionEqual);
  EXPECT_EQ(FormatVersion(record.Version), L"3.1");

  // What the asset file holds decides: no object is ignored; broken text, a bad date or a failed
  // download ends the load.
  struct Case {
    const char* name;
    const char* keys;  // null: the download fails
    Result result;
  } cases[] = {{"an array", "[1,2]", kOk},
               {"not JSON", "{\"SHA256\":", E_UPD_INVALID_UPDATES_FILE},
               {"a date without two slashes", R"({"ReleaseDate":"2026"})", E_UPD_INVALID_UPDATES_FILE},
               {"a date of another type", R"({"ReleaseDate":20260101})", E_UPD_INVALID_UPDATES_FILE},
               {"detection without a target", R"({"RegistryKey":""})", E_UPD_INVALID_UPDATES_FILE},
               {"not downloaded", nullptr, E_UPD_RESOURCE_NOT_FOUND}};
  for (const Case& c : cases) {
    if (c.keys) {
      assetFiles_[L"https://h/keys.json"] = c.keys;
    } else {
      assetFiles_.clear();
    }
    EXPECT_EQ(Load("[" + Release("", assets) + "]"), c.result) << c.name;
  }
  // The temporary files the assets were downloaded to are gone.
  wchar_t temporary[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temporary);
  WIN32_FIND_DATAW found;
  HANDLE left = ::FindFirstFileW((std::wstring(temporary) + L"upd*.json").c_str(), &found);
  EXPECT_EQ(left, INVALID_HANDLE_VALUE);
  if (left != INVALID_HANDLE_VALUE) ::FindClose(left);
}

}  // namespace
}  // namespace updater
