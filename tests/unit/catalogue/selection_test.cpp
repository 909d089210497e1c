#include "catalogue/selection.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <set>

#include "catalogue/temp_files.h"

namespace updater {
namespace {

using testing::TempFolder;
using testing::WriteAnsiFile;

// One update section: name, extra keys. Every update has the required keys.
std::wstring Section(const std::wstring& name, const std::wstring& keys = L"") {
  return L"[" + name + L"]\nName=" + name + L"\nSize=100\nURL=http://server/" + name +
         L".exe\nRegistryKey=HKLM\\Software\\X\\" + name + L"\n" + keys;
}

// A catalogue read from text, with a detection that answers from a set of installed sections and
// records which sections it was asked about.
class UpdateSelection : public ::testing::Test {
 protected:
  UpdateSelection() {
    settings_.downloadsFolder = L"C:\\Downloads";
    settings_.updatesUrls = {L"http://server/updates.ini"};
    context_.windows.major = 10;
    context_.windows.build = 19045;
    context_.windows.is64Bit = true;
    context_.applicationName = L"Tool";
    ParseVersion(L"1.5", context_.applicationVersion);
    context_.isInstalled = [this](const UpdateRecord& record) {
      asked_.push_back(record.sectionName);
      return installed_.count(record.sectionName) != 0;
    };
    context_.downloadState = [this](const UpdateRecord& record) {
      return downloaded_.count(record.sectionName) ? kDownloadStateDownloaded : kDownloadStateNeeded;
    };
  }

  void Load(const std::wstring& sections) {
    std::wstring path = folder_.File(L"updates.ini");
    WriteAnsiFile(path, L";kxw;\n" + sections);
    catalogue_.Clear();
    UpdatesFileReader reader(catalogue_, path);
    ASSERT_EQ(reader.Load(true, true), kOk);
  }
  UpdateRecord& R(const std::wstring& name) { return *catalogue_.Find(name); }
  std::set<std::wstring> Flagged(bool UpdateRecord::*field) {
    std::set<std::wstring> names;
    for (size_t i = 0; i < catalogue_.Count(); ++i)
      if (catalogue_.At(i).*field) names.insert(catalogue_.At(i).sectionName);
    return names;
  }
  std::vector<std::wstring> Names(const std::vector<UpdateRecord*>& records) {
    std::vector<std::wstring> names;
    for (const UpdateRecord* record : records) names.push_back(record->sectionName);
    return names;
  }

  TempFolder folder_;
  CatalogueSettings settings_;
  UpdateCatalogue catalogue_{settings_};
  SelectionContext context_;
  std::set<std::wstring> installed_;
  std::set<std::wstring> downloaded_;
  std::vector<std::wstring> asked_;
};

TEST_F(UpdateSelection, InstalledNewestThatReplacesAllEndsTheWalk) {
  Load(Section(L"A", L"Replaces=All\n") + Section(L"B") + Section(L"C"));
  installed_ = {L"A"};
  NeededCounts counts = SelectNeededUpdates(catalogue_, context_);
  EXPECT_EQ(counts.needed, 0u);
  EXPECT_EQ(asked_, std::vector<std::wstring>{L"A"});  // B and C are neither evaluated nor counted
  EXPECT_TRUE(Flagged(&UpdateRecord::selected).empty());
}

TEST_F(UpdateSelection, InstalledUpdateMarksItsReplacementsAndDependencyChain) {
  Load(Section(L"A", L"Replaces=B\nDepends=C\n") + Section(L"B") + Section(L"C", L"Depends=D\n") + Section(L"D") +
       Section(L"E"));
  installed_ = {L"A"};
  NeededCounts counts = SelectNeededUpdates(catalogue_, context_);
  EXPECT_EQ(Flagged(&UpdateRecord::replaced), (std::set<std::wstring>{L"B", L"C", L"D"}));
  EXPECT_EQ(counts.needed, 1u);  // E only
  EXPECT_EQ(Flagged(&UpdateRecord::selected), std::set<std::wstring>{L"E"});
}

TEST_F(UpdateSelection, NeededReplacementIsStillEvaluatedButNotProcessed) {
  Load(Section(L"A", L"Replaces=B\n") + Section(L"B"));
  NeededCounts counts = SelectNeededUpdates(catalogue_, context_);
  EXPECT_EQ(counts.needed, 2u);
  ProcessingCounts taken = MarkForProcessing(catalogue_, false, context_);
  EXPECT_EQ(taken.taken, 1u);
  EXPECT_EQ(Flagged(&UpdateRecord::processing), std::set<std::wstring>{L"A"});
  EXPECT_EQ(Flagged(&UpdateRecord::replaced), std::set<std::wstring>{L"B"});
  SelectProcessedUpdates(catalogue_);
  EXPECT_EQ(Names(DownloadOrder(catalogue_)), std::vector<std::wstring>{L"A"});
}

TEST_F(UpdateSelection, DependencyIsSelectedCountedOnceAndInstalledFirst) {
  Load(Section(L"A", L"Depends=B\nFlags=Critical\n") + Section(L"B"));
  NeededCounts counts = SelectNeededUpdates(catalogue_, context_);
  EXPECT_EQ(counts.needed, 1u);
  EXPECT_EQ(counts.critical, 1u);
  EXPECT_EQ(Flagged(&UpdateRecord::selected), (std::set<std::wstring>{L"A", L"B"}));
  EXPECT_EQ(Names(DownloadOrder(catalogue_)), (std::vector<std::wstring>{L"A", L"B"}));
  EXPECT_EQ(Names(InstallOrder(catalogue_)), (std::vector<std::wstring>{L"B", L"A"}));
}

TEST_F(UpdateSelection, ApplicabilityRules) {
  struct Case {
    const wchar_t* keys;
    bool is64Bit;
    std::int32_t major, minor, build;
    bool applicable;
  };
  const Case cases[] = {
      {L"Flags=Os64\n", false, 10, 0, 19045, false},
      {L"Flags=Os64\n", true, 10, 0, 19045, true},
      {L"Flags=Os32Only\n", true, 10, 0, 19045, false},
      {L"Flags=Os32Only\n", false, 10, 0, 19045, true},
      // Windows 11 reports itself as 11.0 from build 22000 on: a maximum of 10.0 excludes it.
      {L"TargetOsMaxVersion=10.0\n", true, 11, 0, 22631, false},
      {L"TargetOsMaxVersion=10.0.22000\n", true, 10, 0, 19045, true},
      {L"TargetOsMinVersion=6.2\n", true, 6, 1, 7601, false},
      {L"TargetOsMinVersion=6.1.7601\nTargetOsMaxVersion=6.1.7601\n", true, 6, 1, 7601, true},
      {L"UpdatedApplicationVersions=<=1.5\n", true, 10, 0, 1, true},
      {L"UpdatedApplicationVersions=<1.5\n", true, 10, 0, 1, false},
      {L"UpdatedApplicationVersions=~1.0;1.65536\n", true, 10, 0, 1, false},  // only malformed entries
      {L"UpdatedApplicationVersions=~1.0;>=1.0\n", true, 10, 0, 1, true},     // the malformed one is skipped
      {L"UpdatedApplications=Tool [1.0-2.0)\n", true, 10, 0, 1, true},
      {L"UpdatedApplications=Other [1.0-2.0)\n", true, 10, 0, 1, false},
      {L"UpdatedApplications=Tool [1.6-2.0);Tool [1.5]\n", true, 10, 0, 1, true},
  };
  for (const Case& c : cases) {
    Load(Section(L"A", c.keys));
    context_.windows.is64Bit = c.is64Bit;
    context_.windows.major = c.major;
    context_.windows.minor = c.minor;
    context_.windows.build = c.build;
    EXPECT_EQ(IsApplicable(R(L"A"), context_), c.applicable) << c.keys;
    NeededCounts counts = SelectNeededUpdates(catalogue_, context_);
    EXPECT_EQ(counts.needed, c.applicable ? 1u : 0u) << c.keys;
  }
}

TEST_F(UpdateSelection, EvaluationResults) {
  Load(Section(L"A") + Section(L"B", L"Flags=Os32Only\n"));
  installed_ = {L"A"};
  EXPECT_EQ(EvaluateUpdate(R(L"A"), context_), kEvaluationInstalled);
  EXPECT_EQ(EvaluateUpdate(R(L"B"), context_), kEvaluationNotApplicable);
  installed_.clear();
  EXPECT_EQ(EvaluateUpdate(R(L"A"), context_), kEvaluationNeeded);
  EXPECT_EQ(EvaluateUpdate(R(L"A"), context_), kEvaluationNotApplicable);  // already selected
  EXPECT_FALSE(R(L"B").selected);
}

TEST_F(UpdateSelection, CriticalOnlyProcessingInBothDirections) {
  // A (not critical) depends on B (critical): only B is taken.
  Load(Section(L"A", L"Depends=B\n") + Section(L"B", L"Flags=Critical\n"));
  ProcessingCounts counts = MarkForProcessing(catalogue_, true, context_);
  EXPECT_EQ(Flagged(&UpdateRecord::processing), std::set<std::wstring>{L"B"});
  EXPECT_EQ(counts.taken, 1u);
  // A critical depends on B (not critical): both, the dependency counted too.
  Load(Section(L"A", L"Depends=B\nFlags=Critical\n") + Section(L"B"));
  downloaded_ = {L"A"};
  counts = MarkForProcessing(catalogue_, true, context_);
  EXPECT_EQ(Flagged(&UpdateRecord::processing), (std::set<std::wstring>{L"A", L"B"}));
  EXPECT_EQ(counts.taken, 2u);
  EXPECT_EQ(counts.toDownload, 1u);  // A is downloaded already
}

TEST_F(UpdateSelection, ProcessingSkipsDeprecatedAndEverythingAfterAll) {
  Load(Section(L"A", L"NextDeprecated=B\n") + Section(L"B") + Section(L"C", L"Replaces=All\n") + Section(L"D") +
       Section(L"E"));
  ProcessingCounts counts = MarkForProcessing(catalogue_, false, context_);
  EXPECT_EQ(Flagged(&UpdateRecord::processing), (std::set<std::wstring>{L"A", L"C"}));
  EXPECT_EQ(Flagged(&UpdateRecord::replaced), (std::set<std::wstring>{L"D", L"E"}));
  EXPECT_EQ(counts.taken, 2u);
  EXPECT_EQ(counts.toDownload, 2u);
}

TEST_F(UpdateSelection, DependencyLoopsEndEveryWalk) {
  // The reader drops a link that would close a loop; records linked by hand show that the walks
  // stop on their own as well.
  Load(Section(L"A", L"Flags=Critical\n") + Section(L"B") + Section(L"C"));
  R(L"A").dependsOn = &R(L"B");
  R(L"B").dependsOn = &R(L"C");
  R(L"C").dependsOn = &R(L"A");
  EXPECT_EQ(Names(DependencyChain(R(L"A"))), (std::vector<std::wstring>{L"B", L"C"}));
  EXPECT_EQ(EvaluateUpdate(R(L"A"), context_), kEvaluationNeeded);
  EXPECT_EQ(Flagged(&UpdateRecord::selected), (std::set<std::wstring>{L"A", L"B", L"C"}));

  for (size_t i = 0; i < catalogue_.Count(); ++i) catalogue_.At(i).selected = false;
  installed_ = {L"A"};
  SelectNeededUpdates(catalogue_, context_);
  EXPECT_EQ(Flagged(&UpdateRecord::replaced), (std::set<std::wstring>{L"B", L"C"}));

  installed_.clear();
  ProcessingCounts counts = MarkForProcessing(catalogue_, true, context_);
  EXPECT_EQ(counts.taken, 3u);
}

TEST_F(UpdateSelection, LoopingLinksFromTheFileEnd) {
  Load(Section(L"A", L"Depends=B\n") + Section(L"B", L"Depends=A\n"));
  EXPECT_EQ(EvaluateUpdate(R(L"A"), context_), kEvaluationNeeded);
  EXPECT_TRUE(R(L"B").selected);
  EXPECT_LE(DependencyChain(R(L"B")).size(), 1u);
}

}  // namespace
}  // namespace updater
