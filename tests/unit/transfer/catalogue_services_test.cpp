#include "transfer/catalogue_services.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "catalogue/update_catalogue.h"
#include "config/registry_test_support.h"

namespace updater {
namespace {

using testing::ScopedApplicationKeys;
using testing::UniqueApplicationId;

std::wstring TempFile(const wchar_t* name, const std::string& content) {
  wchar_t temp[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, temp);
  std::wstring path = std::wstring(temp) + UniqueApplicationId(name) + L".ini";
  std::ofstream out(std::filesystem::path(path), std::ios::binary);
  out << content;
  return path;
}

class CatalogueWiring : public ::testing::Test {
 protected:
  CatalogueWiring() : id_(UniqueApplicationId(L"Wiring")), keys_(HKEY_CURRENT_USER, id_), settings_(L"C:\\x.ini") {
    settings_.id = id_;
    settings_.Store().SetId(id_);
    settings_.appDir = L"C:\\Apps\\Tool";
    settings_.downloadsFolder = L"C:\\Downloads";
    settings_.urls = {L"http://127.0.0.1/a/updates.ini"};
  }

  std::wstring id_;
  ScopedApplicationKeys keys_;
  AppSettings settings_;
};

TEST_F(CatalogueWiring, CarriesFoldersUrlsAndFlags) {
  settings_.clientFlags.Parse(L"VertSplitter");
  settings_.readsSavedSelection = true;
  CatalogueSettings catalogue = CatalogueSettingsFor(settings_);
  EXPECT_EQ(catalogue.appDir, L"C:\\Apps\\Tool");
  EXPECT_EQ(catalogue.downloadsFolder, L"C:\\Downloads");
  ASSERT_EQ(catalogue.updatesUrls.size(), 1u);
  EXPECT_TRUE(catalogue.vertSplitter);
  EXPECT_TRUE(catalogue.readsSavedSelection);
  EXPECT_TRUE(static_cast<bool>(catalogue.verifySignatureTrust));
}

TEST_F(CatalogueWiring, FileWithoutMarkerForgetsTheStoredModificationTime) {
  ASSERT_TRUE(settings_.Store().WriteTime(SettingsKey::kSettings, kValueLastModified, 123456789ull));
  std::wstring path = TempFile(L"NoMarker", "<html>not an updates file</html>\r\n[General]\r\n");
  CatalogueSettings wiring = CatalogueSettingsFor(settings_);
  UpdateCatalogue catalogue(wiring);
  UpdatesFileReader reader(catalogue, path);
  EXPECT_EQ(reader.Load(true, true), E_UPD_BAD_UPDATES_FILE);
  EXPECT_FALSE(settings_.Store().ReadTime(SettingsKey::kSettings, kValueLastModified).has_value());
  ::DeleteFileW(path.c_str());
}

TEST_F(CatalogueWiring, GoodFileKeepsTheStoredModificationTime) {
  ASSERT_TRUE(settings_.Store().WriteTime(SettingsKey::kSettings, kValueLastModified, 42ull));
  std::wstring path = TempFile(L"Good",
                               ";kxw;\r\n[General]\r\n[Tool 1.1]\r\nName=Tool 1.1\r\nSize=1000\r\n"
                               "URL=http://127.0.0.1/a/tool.msi\r\nRegistryKey=HKLM\\Software\\Acme\\Tool\r\n");
  CatalogueSettings wiring = CatalogueSettingsFor(settings_);
  UpdateCatalogue catalogue(wiring);
  UpdatesFileReader reader(catalogue, path);
  EXPECT_EQ(reader.Load(true, true), kOk);
  ASSERT_EQ(catalogue.Count(), 1u);
  EXPECT_EQ(catalogue.At(0).localPath, L"C:\\Downloads\\Tool 1.1\\tool.msi");
  EXPECT_EQ(settings_.Store().ReadTime(SettingsKey::kSettings, kValueLastModified).value_or(0), 42ull);
  ::DeleteFileW(path.c_str());
}

}  // namespace
}  // namespace updater
