#include "catalogue/update_catalogue.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "catalogue/record_expectations.h"
#include "catalogue/temp_files.h"

namespace updater {
namespace {

using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteAnsiFile;
using testing::WriteBytes;
using testing::WriteUnicodeFile;

// A minimal valid update section body (registry detection, one URL).
constexpr wchar_t kBasic[] = L"Name=Basic\nSize=100\nURL=http://server/files/setup.exe\nRegistryKey=HKLM\\Software\\X\\Version\n";

class CatalogueFile : public ::testing::Test {
 protected:
  CatalogueFile() {
    settings_.appDir = L"C:\\App";
    settings_.downloadsFolder = L"C:\\Downloads";
    settings_.updatesUrls = {L"http://server/updates/updates.ini"};
    settings_.verifySignatureTrust = [this](const std::wstring& path) {
      trustChecked_.push_back(path);
      return trusted_ ? kOk : E_UPD_UNTRUSTED_PUBLISHER;
    };
    settings_.forgetLastModified = [this] { ++forgetCalls_; };
    settings_.screenSize = [this](int& width, int& height) {
      width = screenWidth_;
      height = screenHeight_;
    };
  }

  Result LoadText(const std::wstring& text, bool checkHeader = true, bool merge = true) {
    path_ = folder_.File(L"updates.ini");
    WriteAnsiFile(path_, text);
    return LoadPath(path_, checkHeader, merge);
  }
  Result LoadPath(const std::wstring& path, bool checkHeader = true, bool merge = true) {
    catalogue_.Clear();
    UpdatesFileReader reader(catalogue_, path);
    return reader.Load(checkHeader, merge);
  }
  // One section named S with the given keys.
  Result LoadSection(const std::wstring& keys) { return LoadText(L";kxw;\n[S]\n" + keys); }
  UpdateRecord& Record(size_t index = 0) { return catalogue_.At(index); }

  TempFolder folder_;
  CatalogueSettings settings_;
  UpdateCatalogue catalogue_{settings_};
  std::wstring path_;
  bool trusted_ = false;
  std::vector<std::wstring> trustChecked_;
  int forgetCalls_ = 0;
  int screenWidth_ = 1280;
  int screenHeight_ = 1024;
};

// ---- file and header ----

TEST_F(CatalogueFile, MissingFileMeansUpToDate) {
  EXPECT_EQ(LoadPath(folder_.File(L"absent.ini")), E_UPD_UP_TO_DATE);
  EXPECT_EQ(forgetCalls_, 0);
}

TEST_F(CatalogueFile, MarkerMayBeFollowedByText) {
  EXPECT_EQ(LoadText(L";kxw; updates of Tool\n[A]\n" + std::wstring(kBasic)), kOk);
  EXPECT_EQ(catalogue_.Count(), 1u);
  EXPECT_FALSE(catalogue_.unicodeSource);
}

TEST_F(CatalogueFile, MarkerInUpperCaseFailsAndForgetsLastModified) {
  EXPECT_EQ(LoadText(L";KXW;\n[A]\n" + std::wstring(kBasic)), E_UPD_BAD_UPDATES_FILE);
  EXPECT_EQ(catalogue_.Count(), 0u);
  EXPECT_EQ(forgetCalls_, 1);
  // The same file read as a saved selection (no header check) is accepted.
  EXPECT_EQ(LoadPath(path_, false, false), kOk);
  EXPECT_EQ(catalogue_.Count(), 1u);
}

TEST_F(CatalogueFile, Utf16FileWithByteOrderMarkPasses) {
  std::wstring path = folder_.File(L"unicode.ini");
  WriteUnicodeFile(path, L";kxw;\n[A]\n" + std::wstring(kBasic));
  EXPECT_EQ(LoadPath(path), kOk);
  EXPECT_TRUE(catalogue_.unicodeSource);
  ASSERT_EQ(catalogue_.Count(), 1u);
  EXPECT_EQ(Record().Name, L"Basic");
}

TEST_F(CatalogueFile, Utf8ByteOrderMarkFailsTheMarker) {
  std::wstring path = folder_.File(L"utf8.ini");
  WriteBytes(path, "\xEF\xBB\xBF;kxw;\r\n[A]\r\nName=x\r\n");
  EXPECT_EQ(LoadPath(path), E_UPD_BAD_UPDATES_FILE);
}

TEST_F(CatalogueFile, UnreadableFileReturnsSystemErrorAndForgetsLastModified) {
  path_ = folder_.File(L"locked.ini");
  WriteAnsiFile(path_, L";kxw;\n");
  HANDLE lock = ::CreateFileW(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  Result result = LoadPath(path_);
  ::CloseHandle(lock);
  EXPECT_EQ(result, static_cast<Result>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(forgetCalls_, 1);
}

// ---- [General] ----

TEST_F(CatalogueFile, ConfigFileVersionMustBeOnePointZero) {
  EXPECT_EQ(LoadText(L";kxw;\n[General]\nConfigFileVersion=1\n"), kOk);
  EXPECT_EQ(LoadText(L";kxw;\n[General]\nConfigFileVersion=1.0.0.0\n"), kOk);
  EXPECT_EQ(LoadText(L";kxw;\n[General]\nConfigFileVersion=2.0\n"), E_UPD_CONFIG_FORMAT);
  EXPECT_EQ(LoadText(L";kxw;\n[General]\nConfigFileVersion=one\n"), E_UPD_CONFIG_FORMAT);
}

TEST_F(CatalogueFile, UpdatesDisabledBecomesTheMessageOfItsCode) {
  EXPECT_EQ(LoadText(L";kxw;\n[General]\nUpdatesDisabled=Maintenance until Monday\n[A]\n" + std::wstring(kBasic)),
            E_UPD_UPDATES_DISABLED);
  EXPECT_EQ(MessageText(E_UPD_UPDATES_DISABLED), L"Maintenance until Monday");
  EXPECT_EQ(catalogue_.Count(), 0u);
}

TEST_F(CatalogueFile, BadPublisherMessageFailsTheFile) {
  EXPECT_EQ(LoadText(L";kxw;\n[General]\nMessageTitle=Hi\n"), E_UPD_BAD_NOTIFICATION);
  EXPECT_EQ(LoadText(L";kxw;\n[General]\nMessageTitle=Hi\nMessageBody=There\nMessageExpirationDate=1/1/2099\n"), kOk);
  EXPECT_EQ(catalogue_.message.title, L"Hi");
  EXPECT_EQ(catalogue_.message.id.size(), 64u);
}

TEST_F(CatalogueFile, GeneralInLowerCaseIsAnUpdateWithoutName) {
  EXPECT_EQ(LoadText(L";kxw;\n[general]\nConfigFileVersion=1.0\n"), E_UPD_INVALID_UPDATES_FILE);
}

// ---- sections ----

TEST_F(CatalogueFile, FirstFailingSectionStopsTheLoadKeepingEarlierRecords) {
  EXPECT_EQ(LoadText(L";kxw;\n[A]\n" + std::wstring(kBasic) + L"[B]\nSize=5\nURL=http://h/b.exe\nRegistryKey=K\n[C]\n" +
                     kBasic),
            E_UPD_INVALID_UPDATES_FILE);
  ASSERT_EQ(catalogue_.Count(), 1u);
  EXPECT_EQ(Record().sectionName, L"A");
}

TEST_F(CatalogueFile, RequiredKeys) {
  EXPECT_EQ(LoadSection(L"Size=1\nURL=http://h/a\nRegistryKey=K\n"), E_UPD_INVALID_UPDATES_FILE);
  EXPECT_EQ(LoadSection(L"Name=N\nURL=http://h/a\nRegistryKey=K\n"), E_UPD_INVALID_UPDATES_FILE);
  EXPECT_EQ(LoadSection(L"Name=N\nSize=0\nURL=http://h/a\nRegistryKey=K\n"), E_UPD_INVALID_UPDATES_FILE);
  EXPECT_EQ(LoadSection(L"Name=N\nSize=-4\nURL=http://h/a\nRegistryKey=K\n"), E_UPD_INVALID_UPDATES_FILE);
  EXPECT_EQ(LoadSection(L"Name=N\nSize=1\nRegistryKey=K\n"), E_UPD_INVALID_UPDATES_FILE);
  EXPECT_EQ(LoadSection(L"Name=N\nSize=1\nURL=http://h/a\n"), E_UPD_INVALID_UPDATES_FILE);
  EXPECT_EQ(LoadSection(L"Name=N\nSize=3000000000\nURL=http://h/a\nRegistryKey=K\n"), kOk);
  EXPECT_EQ(Record().Size, 3000000000u);
}

TEST_F(CatalogueFile, FieldsOfASection) {
  ASSERT_EQ(LoadSection(L"Name=Tool 2\nState=5\nUpdatedApplicationVersions=>=1.0;<2.0\nUpdatedApplications=App [1.0-2.0)\n"
                        L"Description=plain\nDescriptionHtml=<b>html</b>\nDescription1=second\n"
                        L"Feature1=f1\nFeature2=f2\nEnhancementHtml=e0\nBugFix=b0\n"
                        L"Size=1234\nFlags=Critical|Sys64\nSHA256=abcd\nMD5=ef01\nServerFileName=tool.msi\n"
                        L"URL=http://a/x\nURL1=http://b/x\nCategory=Tools\nReleaseDate= 5/11/2024 \n"
                        L"CommandLine=/q INSTALLDIR=\"[APPDIR]\"\nNoGUICommandLineSwitch= KxEmptyField \n"
                        L"TargetOsMinVersion=6.1\nTargetOsMaxVersion=10.0.22631\nRegistryKey=HKCU\\X\\V\n"),
            kOk);
  UpdateRecord& r = Record();
  EXPECT_EQ(r.sectionName, L"S");
  EXPECT_EQ(r.Name, L"Tool 2");
  EXPECT_EQ(r.status, 5u);
  EXPECT_EQ(r.UpdatedApplicationVersions, (std::vector<std::wstring>{L">=1.0", L"<2.0"}));
  EXPECT_EQ(r.UpdatedApplications, (std::vector<std::wstring>{L"App [1.0-2.0)"}));
  EXPECT_EQ(r.Description, (std::vector<std::wstring>{L"<b>html</b>", L"second"}));
  EXPECT_EQ(r.Group(kDescriptionFeatures).items, (std::vector<std::wstring>{L"f1", L"f2"}));
  EXPECT_EQ(r.Group(kDescriptionEnhancements).items, (std::vector<std::wstring>{L"e0"}));
  EXPECT_EQ(r.Group(kDescriptionBugFixes).items, (std::vector<std::wstring>{L"b0"}));
  EXPECT_EQ(r.Size, 1234u);
  EXPECT_EQ(r.Flags.Value(), kUpdateCritical | kUpdateSys64 | kUpdateSingleUpdate);
  EXPECT_EQ(r.SHA256, L"abcd");
  EXPECT_EQ(r.MD5, L"ef01");
  EXPECT_EQ(r.URL, (std::vector<std::wstring>{L"http://a/x", L"http://b/x"}));
  EXPECT_EQ(r.Category, L"Tools");
  EXPECT_EQ(r.ReleaseDate.day, 5);
  EXPECT_EQ(r.ReleaseDate.month, 11);
  EXPECT_EQ(r.ReleaseDate.year, 2024);
  EXPECT_EQ(r.CommandLine, L"/q INSTALLDIR=\"C:\\App\"");
  EXPECT_EQ(r.NoGUICommandLineSwitch, L"");
  EXPECT_TRUE(SameVersion(r.TargetOsMinVersion, VersionNumber::Of(6, 1)));
  EXPECT_TRUE(SameVersion(r.TargetOsMaxVersion, VersionNumber::Of(10, 0, 22631)));
  EXPECT_EQ(r.detectionKind, DetectionKind::RegistryKey);
  EXPECT_EQ(r.detectionTarget, L"HKCU\\X\\V");
  EXPECT_EQ(r.localPath, L"C:\\Downloads\\S\\tool.msi");
  EXPECT_FALSE(r.selected);
}

TEST_F(CatalogueFile, FlagParsingStopsAtAnUnknownWord) {
  ASSERT_EQ(LoadText(L";kxw;\n[A]\n" + std::wstring(kBasic) + L"Flags=Critical|Silentinstall|IsPatch\n[B]\n" + kBasic),
            kOk);
  EXPECT_EQ(Record().Flags.Value(), kUpdateCritical);
}

TEST_F(CatalogueFile, ReleaseDateNeedsTwoSlashes) {
  EXPECT_EQ(LoadSection(std::wstring(kBasic) + L"ReleaseDate=2024-11-05\n"), E_UPD_INVALID_UPDATES_FILE);
  EXPECT_EQ(LoadSection(std::wstring(kBasic) + L"ReleaseDate=5/11\n"), E_UPD_INVALID_UPDATES_FILE);
  ASSERT_EQ(LoadSection(std::wstring(kBasic) + L"ReleaseDate=x/y/z\n"), kOk);  // no range check
  EXPECT_EQ(Record().ReleaseDate.year, 0);
}

TEST_F(CatalogueFile, SavedSelectionRecordsAreSelected) {
  settings_.readsSavedSelection = true;
  ASSERT_EQ(LoadSection(kBasic), kOk);
  EXPECT_TRUE(Record().selected);
  // A release without anything to detect it by comes back as it was handed over; an updates file
  // without a detection key is invalid.
  const std::wstring undetected = L"Name=N\nSize=1\nURL=http://h/a.exe\nReplaces=All\n";
  ASSERT_EQ(LoadSection(undetected), kOk);
  EXPECT_EQ(Record().detectionKind, DetectionKind::None);
  settings_.readsSavedSelection = false;
  EXPECT_EQ(LoadSection(undetected), E_UPD_INVALID_UPDATES_FILE);
}

// ---- detection keys ----

TEST_F(CatalogueFile, FilePathWinsOverOtherDetectionKeys) {
  ASSERT_EQ(LoadSection(L"Name=N\nSize=1\nURL=http://h/a.exe\nFilePath=[APPDIR]\\tool.exe\nFileSize=77\n"
                        L"RegistryKey=K\nVersion=1.2\n"),
            kOk);
  EXPECT_EQ(Record().detectionKind, DetectionKind::FilePath);
  EXPECT_EQ(Record().detectionTarget, L"C:\\App\\tool.exe");
  EXPECT_EQ(Record().criteria, kCriterionFileSize | kCriterionVersion);
  EXPECT_EQ(Record().FileSize, 77);
  EXPECT_EQ(Record().expansionError, 0u);
}

TEST_F(CatalogueFile, FilePathThatCannotBeExpandedKeepsItsText) {
  ASSERT_EQ(LoadSection(L"Name=N\nSize=1\nURL=http://h/a.exe\nFilePath=[NOPE]\\tool.exe\n"), kOk);
  EXPECT_EQ(Record().detectionTarget, L"[NOPE]\\tool.exe");
  EXPECT_EQ(Record().expansionError, E_UPD_EXPAND_PATH);
}

TEST_F(CatalogueFile, RegistryKeyWinsOverCustomDetection) {
  ASSERT_EQ(LoadSection(L"Name=N\nSize=1\nURL=http://h/a.exe\nRegistryKey=K\nCustomDetection=c:\\d.exe\n"), kOk);
  EXPECT_EQ(Record().detectionKind, DetectionKind::RegistryKey);
  EXPECT_TRUE(trustChecked_.empty());
}

TEST_F(CatalogueFile, CustomDetectionProgramMustBeTrusted) {
  std::wstring keys = L"Name=N\nSize=1\nURL=http://h/a.exe\nCustomDetection=[APPDIR]\\detect.exe\nCustomDetectionParams=-q\n";
  EXPECT_EQ(LoadSection(keys), E_UPD_UNTRUSTED_PUBLISHER);
  ASSERT_EQ(trustChecked_.size(), 1u);
  EXPECT_EQ(trustChecked_[0], L"C:\\App\\detect.exe");

  trusted_ = true;
  ASSERT_EQ(LoadSection(keys), kOk);
  EXPECT_EQ(Record().detectionKind, DetectionKind::CustomDetection);
  EXPECT_EQ(Record().CustomDetectionParams, L"-q");

  trusted_ = false;
  EXPECT_EQ(LoadSection(keys + L"Flags=UnsafeCutomDetection\n"), kOk);
}

TEST_F(CatalogueFile, CustomDetectionWithoutATrustCheckIsRefused) {
  settings_.verifySignatureTrust = nullptr;
  EXPECT_EQ(LoadSection(L"Name=N\nSize=1\nURL=http://h/a.exe\nCustomDetection=c:\\d.exe\n"), E_UPD_UNTRUSTED_PUBLISHER);
}

TEST_F(CatalogueFile, AppPackageDetection) {
  ASSERT_EQ(LoadSection(L"Name=N\nSize=1\nURL=http://h/a.exe\nAppIdName=Vendor.App\nAppIdArch=x64\n"
                        L"AppIdResourceId=r\nAppIdPublisherId=p\n"),
            kOk);
  EXPECT_EQ(Record().detectionKind, DetectionKind::AppId);
  EXPECT_EQ(Record().AppIdArch, L"x64");
  EXPECT_EQ(Record().AppIdResourceId, L"r");
  EXPECT_EQ(Record().AppIdPublisherId, L"p");
}

TEST_F(CatalogueFile, VersionOperatorOfDetection) {
  ASSERT_EQ(LoadSection(std::wstring(kBasic) + L"Version= = 1.2.3\n"), kOk);
  EXPECT_EQ(Record().versionOperator, kVersionEqual);
  EXPECT_EQ(Record().criteria, kCriterionVersion);
  EXPECT_TRUE(SameVersion(Record().Version, VersionNumber::Of(1, 2, 3)));
  ASSERT_EQ(LoadSection(std::wstring(kBasic) + L"Version=~2\n"), kOk);
  EXPECT_EQ(Record().versionOperator, kVersionAtLeast);
  ASSERT_EQ(LoadSection(std::wstring(kBasic) + L"Version=latest\n"), kOk);
  EXPECT_EQ(Record().criteria, kCriterionVersion);
  EXPECT_TRUE(Record().Version.IsZero());
  ASSERT_EQ(LoadSection(kBasic), kOk);
  EXPECT_EQ(Record().criteria, 0u);
  EXPECT_EQ(Record().versionOperator, kVersionAtLeast);
}

// ---- URLs and local paths ----

TEST_F(CatalogueFile, FileSchemeUrlIsDerivedFromTheUpdatesFileLocation) {
  settings_.updatesUrls = {L"http://server/updates/updates.ini?v=2", L"file:///C:/share/updates/updates.ini"};
  ASSERT_EQ(LoadSection(L"Name=N\nSize=1\nServerFileName=setup.exe\nURL=FILE://\nURL1=file://\nRegistryKey=K\n"), kOk);
  ASSERT_EQ(Record().URL.size(), 2u);
  EXPECT_EQ(Record().URL[0], L"http://server/updates/setup.exe");
  EXPECT_EQ(Record().URL[1], L"file://C:\\share\\updates\\setup.exe");
}

TEST_F(CatalogueFile, FileSchemeUrlFailsWhenAnUpdatesUrlCannotBeCracked) {
  settings_.updatesUrls = {L"not a url"};
  EXPECT_EQ(LoadSection(L"Name=N\nSize=1\nServerFileName=setup.exe\nURL=file://\nRegistryKey=K\n"), E_UPD_BAD_FILE_URL);
}

TEST_F(CatalogueFile, FileSchemeMixedWithOtherUrlsIsKept) {
  ASSERT_EQ(LoadSection(L"Name=N\nSize=1\nURL=http://h/a.exe\nURL1=file://\nRegistryKey=K\n"), kOk);
  EXPECT_EQ(Record().URL, (std::vector<std::wstring>{L"http://h/a.exe", L"file://"}));
}

TEST_F(CatalogueFile, LocalFileNameComesFromTheFirstUrl) {
  settings_.downloadsFolder = L"D:\\dl\\";
  ASSERT_EQ(LoadSection(L"Name=N\nSize=1\nURL=http://h/path/setup-1.2.exe\nRegistryKey=K\n"), kOk);
  EXPECT_EQ(Record().localPath, L"D:\\dl\\S\\setup-1.2.exe");
  ASSERT_EQ(LoadSection(L"Name=N\nSize=1\nURL=http://h/get?id=5\nRegistryKey=K\n"), kOk);
  EXPECT_EQ(Record().localPath, L"D:\\dl\\S\\S");
  ASSERT_EQ(LoadSection(L"Name=N\nSize=1\nURL=http://h/\nRegistryKey=K\n"), kOk);
  EXPECT_EQ(Record().localPath, L"D:\\dl\\S\\S");
}

TEST_F(CatalogueFile, FirstUrlThatCannotBeCrackedFailsWithItsCode) {
  Result result = LoadSection(L"Name=N\nSize=1\nURL=nonsense\nRegistryKey=K\n");
  EXPECT_NE(result, kOk);
  EXPECT_NE(result, E_UPD_INVALID_UPDATES_FILE);
}

TEST_F(CatalogueFile, NamesThatWouldLeaveTheDownloadsFolderAreRefused) {
  EXPECT_EQ(LoadText(L";kxw;\n[..\\..\\Windows]\n" + std::wstring(kBasic)), E_UPD_INVALID_UPDATES_FILE);
  EXPECT_EQ(LoadSection(std::wstring(kBasic) + L"ServerFileName=..\\evil.exe\n"), E_UPD_INVALID_UPDATES_FILE);
}

TEST_F(CatalogueFile, AutoCloseApplications) {
  ASSERT_EQ(LoadSection(std::wstring(kBasic) + L"AutoCloseApplication=[APPDIR]\\tool.exe | -restart;Tool Window;NoRestart|QueryEndSession\n"
                                                L"AutoCloseApplication1=  c:\\other.exe  \n"),
            kOk);
  ASSERT_EQ(Record().AutoCloseApplication.size(), 2u);
  const AutoCloseEntry& first = Record().AutoCloseApplication[0];
  EXPECT_EQ(first.path, L"C:\\App\\tool.exe");
  EXPECT_EQ(first.restartArguments, L"-restart");
  EXPECT_EQ(first.windowTitle, L"Tool Window");
  EXPECT_EQ(first.restartFlags.Value(), kRestartNo | kRestartQueryEndSession);
  EXPECT_EQ(Record().AutoCloseApplication[1].path, L"c:\\other.exe");
  EXPECT_EQ(Record().AutoCloseApplication[1].restartFlags.Value(), 0u);
}

TEST(AutoCloseEntryText, WrittenFormReadsBackWithEveryItemInPlace) {
  AutoCloseEntry entry;
  entry.path = L"C:\\a.exe";
  entry.restartFlags.SetValue(kRestartAlways);
  EXPECT_EQ(FormatAutoCloseEntry(entry), L"C:\\a.exe|;;AlwaysRestart");
  AutoCloseEntry back = ParseAutoCloseEntry(FormatAutoCloseEntry(entry));
  EXPECT_EQ(back.windowTitle, L"");
  EXPECT_EQ(back.restartFlags.Value(), kRestartAlways);

  entry.restartArguments = L"-x;y\\z";
  entry.windowTitle = L"";
  entry.restartFlags.SetValue(0);
  EXPECT_EQ(FormatAutoCloseEntry(entry), L"C:\\a.exe|-x\\;y\\\\z");
  EXPECT_EQ(ParseAutoCloseEntry(FormatAutoCloseEntry(entry)).restartArguments, L"-x;y\\z");

  entry.restartArguments.clear();
  entry.windowTitle = L"Title";
  EXPECT_EQ(FormatAutoCloseEntry(entry), L"C:\\a.exe|;Title");
  entry.windowTitle.clear();
  EXPECT_EQ(FormatAutoCloseEntry(entry), L"C:\\a.exe");
}

// ---- links between records ----

TEST_F(CatalogueFile, DependsLinksBothWaysAndIgnoresItselfAndUnknownSections) {
  ASSERT_EQ(LoadText(L";kxw;\n[A]\n" + std::wstring(kBasic) + L"Depends=b\n[B]\n" + kBasic + L"Depends=B\n[C]\n" + kBasic +
                     L"Depends=Nowhere\n"),
            kOk);
  UpdateRecord& a = Record(0);
  UpdateRecord& b = Record(1);
  EXPECT_EQ(a.dependsOn, &b);
  EXPECT_EQ(b.requiredBy, &a);
  EXPECT_EQ(b.dependsOn, nullptr);
  EXPECT_EQ(Record(2).dependsOn, nullptr);
  EXPECT_EQ(a.requiredBy, nullptr);
}

TEST_F(CatalogueFile, DependsLoopIsBrokenAtTheLinkThatClosesIt) {
  ASSERT_EQ(LoadText(L";kxw;\n[A]\n" + std::wstring(kBasic) + L"Depends=B\n[B]\n" + kBasic + L"Depends=C\n[C]\n" + kBasic +
                     L"Depends=A\n"),
            kOk);
  EXPECT_EQ(Record(0).dependsOn, &Record(1));
  EXPECT_EQ(Record(1).dependsOn, &Record(2));
  EXPECT_EQ(Record(2).dependsOn, nullptr);
}

TEST_F(CatalogueFile, ReplacesAllFirstSetsTheFlagAndLinksTheRest) {
  ASSERT_EQ(LoadText(L";kxw;\n[A]\n" + std::wstring(kBasic) + L"Replaces=All;B;A;Unknown\n[B]\n" + kBasic +
                     L"Replaces=A;All\n"),
            kOk);
  EXPECT_TRUE(Record(0).replacesAll);
  EXPECT_EQ(Record(0).replaces, (std::vector<UpdateRecord*>{&Record(1)}));
  EXPECT_FALSE(Record(1).replacesAll);
  EXPECT_EQ(Record(1).replaces, (std::vector<UpdateRecord*>{&Record(0)}));
}

TEST_F(CatalogueFile, ReplacesAllSecondLinksASectionNamedAll) {
  ASSERT_EQ(LoadText(L";kxw;\n[A]\n" + std::wstring(kBasic) + L"Replaces=B;All\n[B]\n" + kBasic + L"[all]\n" + kBasic), kOk);
  EXPECT_FALSE(Record(0).replacesAll);
  EXPECT_EQ(Record(0).replaces, (std::vector<UpdateRecord*>{&Record(1), &Record(2)}));
}

TEST_F(CatalogueFile, NextDeprecatedChainMergesDescriptions) {
  ASSERT_EQ(LoadText(L";kxw;\n[A]\n" + std::wstring(kBasic) + L"Feature=fa\nNextDeprecated=B\n[B]\n" + kBasic +
                     L"Feature=fb\nBugFix=bb\nNextDeprecated=C\n[C]\n" + kBasic + L"Enhancement=ec\n"),
            kOk);
  EXPECT_EQ(Record(0).nextDeprecated, &Record(1));
  EXPECT_TRUE(Record(1).deprecated);
  EXPECT_TRUE(Record(2).deprecated);
  EXPECT_FALSE(Record(0).deprecated);
  EXPECT_EQ(Record(0).Group(kDescriptionFeatures).items, (std::vector<std::wstring>{L"fa", L"fb"}));
  EXPECT_EQ(Record(0).Group(kDescriptionEnhancements).items, (std::vector<std::wstring>{L"ec"}));
  EXPECT_EQ(Record(0).Group(kDescriptionBugFixes).items, (std::vector<std::wstring>{L"bb"}));
  EXPECT_EQ(Record(1).Group(kDescriptionEnhancements).items, (std::vector<std::wstring>{L"ec"}));
}

TEST_F(CatalogueFile, DescriptionsAreNotMergedWhenNotAsked) {
  ASSERT_EQ(LoadText(L";kxw;\n[A]\n" + std::wstring(kBasic) + L"Feature=fa\nNextDeprecated=B\n[B]\n" + kBasic + L"Feature=fb\n",
                     true, false),
            kOk);
  EXPECT_EQ(Record(0).Group(kDescriptionFeatures).items, (std::vector<std::wstring>{L"fa"}));
}

TEST_F(CatalogueFile, LoopingNextDeprecatedChainEnds) {
  ASSERT_EQ(LoadText(L";kxw;\n[A]\n" + std::wstring(kBasic) + L"Feature=fa\nNextDeprecated=B\n[B]\n" + kBasic +
                     L"Feature=fb\nNextDeprecated=C\n[C]\n" + kBasic + L"Feature=fc\nNextDeprecated=A\n"),
            kOk);
  EXPECT_EQ(Record(2).nextDeprecated, nullptr);  // the link back to A is dropped
  EXPECT_FALSE(Record(0).deprecated);
  EXPECT_EQ(Record(0).Group(kDescriptionFeatures).items, (std::vector<std::wstring>{L"fa", L"fb", L"fc"}));
  EXPECT_EQ(Record(1).Group(kDescriptionFeatures).items, (std::vector<std::wstring>{L"fb", L"fc"}));
}

// ---- single update ----

TEST_F(CatalogueFile, SingleUpdateFlag) {
  ASSERT_EQ(LoadSection(kBasic), kOk);
  EXPECT_TRUE(Record().HasFlag(kUpdateSingleUpdate));

  settings_.vertSplitter = true;
  ASSERT_EQ(LoadSection(kBasic), kOk);
  EXPECT_FALSE(Record().HasFlag(kUpdateSingleUpdate));  // 1280 x 1024

  screenWidth_ = 800;
  screenHeight_ = 600;
  ASSERT_EQ(LoadSection(kBasic), kOk);
  EXPECT_TRUE(Record().HasFlag(kUpdateSingleUpdate));

  ASSERT_EQ(LoadText(L";kxw;\n[A]\n" + std::wstring(kBasic) + L"[B]\n" + kBasic), kOk);
  EXPECT_FALSE(Record(0).HasFlag(kUpdateSingleUpdate));
}

// ---- text expansion ----

class Expansion : public ::testing::Test {
 protected:
  Expansion() {
    settings_.appDir = L"C:\\App";
    settings_.componentPath = [](const std::wstring& product, const std::wstring& component, std::wstring& path) {
      if (product != L"{11111111-2222-3333-4444-555555555555}" || component != L"{COMP}") return Result{1607};
      path = L"C:\\Program Files\\Tool\\tool.exe";
      return kOk;
    };
  }
  Result Expand(const std::wstring& text) { return ExpandText(settings_, text, output_); }

  CatalogueSettings settings_;
  std::wstring output_;
};

TEST_F(Expansion, TokensAreReplaced) {
  ::SetEnvironmentVariableW(L"KESTRUNE_TEST_VAR", L"value");
  EXPECT_EQ(Expand(L"[APPDIR]\\x %KESTRUNE_TEST_VAR%!"), kOk);
  EXPECT_EQ(output_, L"C:\\App\\x value!");
  EXPECT_EQ(Expand(L"[{11111111-2222-3333-4444-555555555555}{COMP}]"), kOk);
  EXPECT_EQ(output_, L"C:\\Program Files\\Tool\\tool.exe");
  std::wstring longValue(700, L'v');
  ::SetEnvironmentVariableW(L"KESTRUNE_TEST_LONG", longValue.c_str());
  EXPECT_EQ(Expand(L"%KESTRUNE_TEST_LONG%"), kOk);
  EXPECT_EQ(output_, longValue);
}

TEST_F(Expansion, FailuresKeepWhatWasExpanded) {
  EXPECT_EQ(Expand(L"a[appdir]b"), E_UPD_EXPAND_PATH);  // case counts
  EXPECT_EQ(output_, L"a");
  EXPECT_EQ(Expand(L"x[]"), E_UPD_EXPAND_PATH);
  EXPECT_EQ(Expand(L"[{99999999-2222-3333-4444-555555555555}{COMP}]"), E_UPD_EXPAND_PATH);
  ::SetEnvironmentVariableW(L"KESTRUNE_MISSING", nullptr);
  EXPECT_EQ(Expand(L"b%KESTRUNE_MISSING%c"), 203u);
  EXPECT_EQ(output_, L"b");
}

TEST_F(Expansion, UnclosedTokenIsDroppedAndEmptyValueEndsTheText) {
  EXPECT_EQ(Expand(L"before[APPDIR"), kOk);
  EXPECT_EQ(output_, L"before");
  settings_.appDir.clear();
  EXPECT_EQ(Expand(L"a[APPDIR]b"), kOk);
  EXPECT_EQ(output_, L"a");
}

// ---- saved selection ----

class Selection : public CatalogueFile {
 protected:
  // Three updates with every kind of field, linked to each other.
  std::wstring ThreeUpdates() {
    return L";kxw;\n[General]\nMessageTitle=Note\nMessageBody=Read me\nMessageExpirationDate=1/1/2099\n"
           L"MessageURI=https://e/x\nMessageButtonText=Open\n"
           L"[New]\nName=Tool 3.0\nSize=3000000000\nFlags=Critical|SilentInstall\nSHA256=AA\nMD5=BB\nServerFileName=t3.exe\n"
           L"URL=http://a/t3.exe\nURL1=http://b/t3.exe\nCategory=Main\nReleaseDate=7/3/2025\nCommandLine=/S /D=[APPDIR]\n"
           L"NoGUICommandLineSwitch=/exenoui\nUpdatedApplicationVersions=>=1.0;<3.0\nUpdatedApplications=Tool [1.0-3.0)\n"
           L"Description=Big; release\nFeature=f3\nFeature1=f3b\nEnhancement=e3\nBugFix=b3\n"
           L"AutoCloseApplication=[APPDIR]\\tool.exe|-again;Tool;NoRestart\nTargetOsMinVersion=6.1\n"
           L"FilePath=[APPDIR]\\tool.exe\nFileSize=123\nVersion=>= 3.0\nDepends=Mid\nReplaces=All;Old\nNextDeprecated=Mid\n"
           L"[Mid]\nName=Tool 2.0\nSize=200\nURL=http://a/t2.exe\nRegistryKey=HKLM\\Software\\Tool\\Version\nVersion==2.0\n"
           L"State=-536870892\nTargetOsMaxVersion=10.0.19045\nFlags=IsPatch\n"
           L"[Old]\nName=Tool 1.0\nSize=100\nURL=http://a/t1.exe\nAppIdName=Vendor.Tool\nAppIdArch=x86\n"
           L"AppIdResourceId=res\nAppIdPublisherId=pub\n";
  }

  void RoundTrip(bool unicodeSource) {
    std::wstring source = folder_.File(L"source.ini");
    if (unicodeSource) {
      WriteUnicodeFile(source, ThreeUpdates());
    } else {
      WriteAnsiFile(source, ThreeUpdates());
    }
    UpdateCatalogue original(settings_);
    ASSERT_EQ(UpdatesFileReader(original, source).Load(true, true), kOk);
    ASSERT_EQ(original.Count(), 3u);
    EXPECT_EQ(original.unicodeSource, unicodeSource);
    for (size_t i = 0; i < original.Count(); ++i) original.At(i).selected = true;

    std::wstring selection = folder_.File(L"selection.ini");
    WriteAnsiFile(selection, L"[Stale]\nName=left over\n");
    ASSERT_EQ(WriteSelection(original, selection, false), kOk);
    std::string bytes = ReadBytes(selection);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2) == "\xFF\xFE", unicodeSource);

    CatalogueSettings copySettings = settings_;
    copySettings.readsSavedSelection = true;
    UpdateCatalogue copy(copySettings);
    ASSERT_EQ(UpdatesFileReader(copy, selection).Load(false, false), kOk);
    ASSERT_EQ(copy.Count(), 3u);
    EXPECT_EQ(copy.unicodeSource, unicodeSource);
    for (size_t i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      testing_support::ExpectSameRecord(original.At(i), copy.At(i));
      EXPECT_TRUE(copy.At(i).selected);
    }
    EXPECT_EQ(copy.At(0).dependsOn, &copy.At(1));
    EXPECT_EQ(copy.At(1).requiredBy, &copy.At(0));
    EXPECT_EQ(copy.At(0).replaces, (std::vector<UpdateRecord*>{&copy.At(2)}));
    EXPECT_EQ(copy.At(0).nextDeprecated, &copy.At(1));
    EXPECT_TRUE(copy.At(1).deprecated);
    EXPECT_EQ(copy.message.id, original.message.id);
    EXPECT_EQ(copy.message.buttonText, L"Open");
  }
};

TEST_F(Selection, RoundTripInSystemCodePage) { RoundTrip(false); }
TEST_F(Selection, RoundTripInUtf16) { RoundTrip(true); }

TEST_F(Selection, OnlySelectedAndWhenAskedOnlyCriticalUpdatesAreWritten) {
  path_ = folder_.File(L"source.ini");
  WriteAnsiFile(path_, ThreeUpdates());
  ASSERT_EQ(LoadPath(path_), kOk);
  Record(0).selected = true;  // critical
  Record(1).selected = true;  // not critical
  std::wstring selection = folder_.File(L"critical.ini");
  ASSERT_EQ(WriteSelection(catalogue_, selection, true), kOk);
  UpdateCatalogue copy(settings_);
  ASSERT_EQ(UpdatesFileReader(copy, selection).Load(false, false), kOk);
  ASSERT_EQ(copy.Count(), 1u);
  EXPECT_EQ(copy.At(0).sectionName, L"New");
  EXPECT_EQ(copy.At(0).dependsOn, nullptr);  // Mid was not written

  ASSERT_EQ(WriteSelection(catalogue_, selection, false), kOk);
  UpdateCatalogue both(settings_);
  ASSERT_EQ(UpdatesFileReader(both, selection).Load(false, false), kOk);
  EXPECT_EQ(both.Count(), 2u);
}

TEST_F(Selection, KeysAreWrittenInTheirForms) {
  path_ = folder_.File(L"source.ini");
  WriteAnsiFile(path_, ThreeUpdates());
  ASSERT_EQ(LoadPath(path_), kOk);
  for (size_t i = 0; i < 3; ++i) Record(i).selected = true;
  std::wstring selection = folder_.File(L"keys.ini");
  ASSERT_EQ(WriteSelection(catalogue_, selection, false), kOk);
  IniFile written(selection);
  EXPECT_EQ(written.GetString(L"New", L"ReleaseDate"), L"07/03/2025");
  EXPECT_EQ(written.GetString(L"Old", L"ReleaseDate"), L"00/00/0000");
  EXPECT_EQ(written.GetString(L"New", L"Version"), L">= 3.0");
  EXPECT_EQ(written.GetString(L"Mid", L"Version"), L"= 2.0");
  EXPECT_EQ(written.GetString(L"New", L"Size"), L"3000000000");
  EXPECT_EQ(written.GetString(L"New", L"DescriptionHtml"), L"Big; release");
  EXPECT_EQ(written.GetString(L"New", L"Description"), L"");
  EXPECT_EQ(written.GetString(L"New", L"Replaces"), L"All;Old");
  EXPECT_EQ(written.GetString(L"New", L"UpdatedApplicationVersions"), L">=1.0;<3.0");
  EXPECT_EQ(written.GetString(L"New", L"TargetOsMinVersion"), L"6.1");
  EXPECT_EQ(written.GetString(L"Old", L"TargetOsMinVersion"), L"");
  EXPECT_EQ(written.GetString(L"Mid", L"State"), L"-536870892");
  EXPECT_EQ(written.GetString(L"Old", L"Category"), L"");
  EXPECT_EQ(written.GetString(L"Mid", L"CommandLine"), L"");
}

}  // namespace
}  // namespace updater
