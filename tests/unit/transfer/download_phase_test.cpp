#include "transfer/download_phase.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/win_handles.h"
#include "config/registry_test_support.h"
#include "transfer/download_rules.h"

namespace updater {
namespace {

using testing::ScopedApplicationKeys;
using testing::UniqueApplicationId;

// ---- Pure decisions ----

DownloadDiskFacts Facts(bool partExists, std::uint64_t partSize, bool fileExists, std::uint64_t fileSize) {
  DownloadDiskFacts facts;
  facts.partExists = partExists;
  facts.partSize = partSize;
  facts.fileExists = fileExists;
  facts.fileSize = fileSize;
  return facts;
}

TEST(DownloadStateTest, OnlyACompleteFileOfExactlyTheSizeWithoutPartFileIsDownloaded) {
  struct Case {
    DownloadDiskFacts facts;
    int state;
    bool deleteDownload;
    bool deleteFile;
    bool verifyPart = false;
  } cases[] = {
      {Facts(false, 0, false, 0), kDownloadStateNeeded, false, false},        // nothing yet
      {Facts(false, 0, true, 1000), kDownloadStateDownloaded, false, false},  // complete
      {Facts(false, 0, true, 999), kDownloadStateNeeded, false, true},        // one byte short
      {Facts(false, 0, true, 1001), kDownloadStateNeeded, false, true},       // one byte long
      {Facts(true, 400, false, 0), kDownloadStateNeeded, false, false},       // resumable
      {Facts(true, 999, true, 1000), kDownloadStateNeeded, false, false},     // a newer download runs
      {Facts(true, 1000, false, 0), kDownloadStateNeeded, false, false, true},  // finished, not checked yet
      {Facts(true, 1000, true, 1000), kDownloadStateNeeded, true, false},     // part as large, beside a file
      {Facts(true, 1001, true, 1000), kDownloadStateNeeded, true, false},     // part larger: all goes
      {Facts(true, 0, false, 0), kDownloadStateNeeded, false, false},         // empty part file
  };
  for (const Case& c : cases) {
    DownloadStateDecision decision = DecideDownloadState(c.facts, 1000);
    SCOPED_TRACE(::testing::Message() << "part " << c.facts.partExists << "/" << c.facts.partSize << " file "
                                    << c.facts.fileExists << "/" << c.facts.fileSize);
    EXPECT_EQ(decision.state, c.state);
    EXPECT_EQ(decision.deleteDownload, c.deleteDownload);
    EXPECT_EQ(decision.deleteFile, c.deleteFile);
    EXPECT_EQ(decision.verifyPart, c.verifyPart);
  }
}

TEST(DownloadStateTest, SizesBeyondThirtyTwoBitsNeverLookComplete) {
  EXPECT_EQ(DecideDownloadState(Facts(false, 0, true, 0x100000000ull + 1000), 1000).state, kDownloadStateNeeded);
  EXPECT_TRUE(DecideDownloadState(Facts(true, 0x100000000ull, false, 0), 0xFFFFFFFFu).deleteDownload);
}

TEST(DownloadOutcomeTest, EngineCodesLeadToCheckRepeatDeletionOrReturn) {
  EXPECT_EQ(DecideEngineOutcome(kOk, 0), EngineOutcome::kVerify);
  EXPECT_EQ(DecideEngineOutcome(E_UPD_WRONG_SIZE, 0), EngineOutcome::kDeleteAndReturn);
  for (Result code : {E_UPD_CANCELED, Result{12029}, Result{12002}, E_UPD_PART_COMPLETE, E_UPD_RESOURCE_NOT_FOUND,
                      E_UPD_AUTH_REQUIRED}) {
    EXPECT_EQ(DecideEngineOutcome(code, 0), EngineOutcome::kReturn) << std::hex << code;
  }
}

TEST(DownloadOutcomeTest, StreamEndedEarlyIsRepeatedOnlyUpToTheBound) {
  for (unsigned done = 0; done < kMaxStreamEndedRepeats; ++done)
    EXPECT_EQ(DecideEngineOutcome(E_UPD_TIMEOUT, done), EngineOutcome::kRepeat) << done;
  EXPECT_EQ(DecideEngineOutcome(E_UPD_TIMEOUT, kMaxStreamEndedRepeats), EngineOutcome::kReturn);
  EXPECT_EQ(DecideEngineOutcome(E_UPD_TIMEOUT, 0, 0), EngineOutcome::kReturn);
}

TEST(DownloadOutcomeTest, OnlyRetryDownloadsAgainAndOnlyCancelCancels) {
  EXPECT_EQ(DecideMismatchAnswer(kObserverRetry), MismatchAnswer::kDownloadAgain);
  EXPECT_EQ(DecideMismatchAnswer(E_UPD_CANCELED), MismatchAnswer::kCancel);
  for (Result answer : {Result{0}, Result{1}, E_UPD_BAD_SHA256, E_UPD_BAD_MD5, Result{1223}})
    EXPECT_EQ(DecideMismatchAnswer(answer), MismatchAnswer::kKeepError) << answer;
}

TEST(DownloadOutcomeTest, ExactlyOneCheckAppliesAndOnlyHashChecksAreAnnounced) {
  EXPECT_EQ(CheckActionId(ChooseIntegrityCheck(L"AB", L"cd")), PAID_CHECK_SHA256);
  EXPECT_EQ(CheckActionId(ChooseIntegrityCheck(L"", L"cd")), PAID_CHECK_MD5);
  EXPECT_EQ(CheckActionId(ChooseIntegrityCheck(L"", L"")), 0);
}

TEST(DownloadRecordTest, RecordedPathMatchesWithoutRegardToCase) {
  EXPECT_TRUE(IsRecordedPath(std::wstring(L"C:\\Downloads\\Up\\Setup.EXE"), L"c:\\downloads\\up\\setup.exe"));
  EXPECT_FALSE(IsRecordedPath(std::nullopt, L"c:\\downloads\\up\\setup.exe"));
  EXPECT_FALSE(IsRecordedPath(std::wstring(L"C:\\Other\\setup.exe"), L"C:\\Downloads\\setup.exe"));
  EXPECT_FALSE(IsRecordedPath(std::wstring(L""), L""));
}

TEST(DownloadRecordTest, TraceLineQuotesTheNameAndRendersTheCode) {
  EXPECT_EQ(FormatDownloadedLine(L"Patch 2", E_UPD_BAD_SHA256),
            L"Update \"Patch 2\" installer downloaded. Return code: 0xE0000030");
  EXPECT_EQ(FormatDownloadedLine(L"X", 12029), L"Update \"X\" installer downloaded. Return code: 12029");
}

// ---- Files, registry and the engine on file:// sources ----

std::string Pattern(size_t count, int seed) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 31 + seed * 7) & 0xFF);
  return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (!bytes.empty()) ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A downloads folder with one update folder, and a source folder served through file:// URLs.
class DownloadPhaseFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    root_ = std::wstring(base) + L"kestrune_phase_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
            std::to_wstring(++counter_);
    ::CreateDirectoryW(root_.c_str(), nullptr);
    ::CreateDirectoryW((root_ + L"\\source").c_str(), nullptr);
    ::CreateDirectoryW((root_ + L"\\downloads").c_str(), nullptr);
    ::CreateDirectoryW((root_ + L"\\downloads\\Upd1").c_str(), nullptr);
    update_.sectionName = L"Upd1";
    update_.Name = L"Update one";
    update_.localPath = root_ + L"\\downloads\\Upd1\\setup.bin";
  }
  void TearDown() override {
    for (const wchar_t* name : {L"\\downloads\\Upd1\\setup.bin", L"\\downloads\\Upd1\\setup.bin.part",
                                L"\\source\\setup.bin"})
      ::DeleteFileW((root_ + name).c_str());
    ::RemoveDirectoryW((root_ + L"\\downloads\\Upd1").c_str());
    ::RemoveDirectoryW((root_ + L"\\downloads").c_str());
    ::RemoveDirectoryW((root_ + L"\\source").c_str());
    ::RemoveDirectoryW(root_.c_str());
  }

  std::wstring Source(const std::string& bytes) {
    std::wstring path = root_ + L"\\source\\setup.bin";
    WriteBytes(path, bytes);
    std::wstring url = L"file:///" + path;
    for (wchar_t& c : url)
      if (c == L'\\') c = L'/';
    return url;
  }
  std::wstring Folder() const { return root_ + L"\\downloads\\Upd1"; }
  std::optional<std::wstring> Recorded() const { return store_.ReadString(SettingsKey::kUpdates, L"Upd1"); }

  static inline unsigned counter_ = 0;
  std::wstring root_;
  UpdateRecord update_;
  std::wstring id_ = UniqueApplicationId(L"Phase");
  ScopedApplicationKeys keys_{HKEY_CURRENT_USER, id_};
  SettingsStore store_{HKEY_CURRENT_USER, id_};
};

TEST_F(DownloadPhaseFiles, PartFileLargerThanSizeGoesWithFileAndEmptyFolder) {
  update_.Size = 1000;
  WriteBytes(update_.localPath, Pattern(1000, 1));
  WriteBytes(PartPathOf(update_.localPath), Pattern(1200, 1));
  store_.WriteString(SettingsKey::kUpdates, L"Upd1", update_.localPath);
  EXPECT_EQ(GetDownloadState(update_, store_), kDownloadStateNeeded);
  EXPECT_FALSE(Exists(update_.localPath));
  EXPECT_FALSE(Exists(PartPathOf(update_.localPath)));
  EXPECT_FALSE(Exists(Folder()));
  EXPECT_FALSE(Recorded().has_value());
}

TEST_F(DownloadPhaseFiles, FileOfAnotherSizeGoesButAShorterPartFileStaysForResume) {
  update_.Size = 1000;
  WriteBytes(update_.localPath, Pattern(999, 1));
  WriteBytes(PartPathOf(update_.localPath), Pattern(300, 1));
  EXPECT_EQ(GetDownloadState(update_, store_), kDownloadStateNeeded);
  EXPECT_FALSE(Exists(update_.localPath));
  EXPECT_TRUE(Exists(PartPathOf(update_.localPath)));
}

TEST_F(DownloadPhaseFiles, CompleteUnrecordedFileIsCheckedBeforeItCounts) {
  update_.Size = 1000;
  update_.MD5 = L"00000000000000000000000000000000";
  WriteBytes(update_.localPath, Pattern(1000, 2));
  EXPECT_EQ(GetDownloadState(update_, store_), kDownloadStateNeeded);  // wrong MD5: deleted
  EXPECT_FALSE(Exists(update_.localPath));
  EXPECT_FALSE(Recorded().has_value());

  EXPECT_FALSE(Exists(Folder()));

  update_.MD5.clear();  // the size check passes: recorded and downloaded
  ::CreateDirectoryW(Folder().c_str(), nullptr);
  WriteBytes(update_.localPath, Pattern(1000, 2));
  EXPECT_EQ(GetDownloadState(update_, store_), kDownloadStateDownloaded);
  EXPECT_EQ(Recorded().value_or(L""), update_.localPath);
  EXPECT_TRUE(Exists(update_.localPath));
}

TEST_F(DownloadPhaseFiles, FinishedPartFileIsCheckedThenMovedIntoPlaceOrDeleted) {
  update_.Size = 1000;
  update_.MD5 = L"00000000000000000000000000000000";
  WriteBytes(PartPathOf(update_.localPath), Pattern(1000, 3));
  EXPECT_EQ(GetDownloadState(update_, store_), kDownloadStateNeeded);  // wrong MD5: all of it goes
  EXPECT_FALSE(Exists(PartPathOf(update_.localPath)));
  EXPECT_FALSE(Exists(update_.localPath));
  EXPECT_FALSE(Recorded().has_value());

  update_.MD5.clear();  // the size check passes: moved into place and recorded, not fetched again
  ::CreateDirectoryW(Folder().c_str(), nullptr);
  WriteBytes(PartPathOf(update_.localPath), Pattern(1000, 3));
  EXPECT_EQ(GetDownloadState(update_, store_), kDownloadStateDownloaded);
  EXPECT_FALSE(Exists(PartPathOf(update_.localPath)));
  EXPECT_TRUE(Exists(update_.localPath));
  EXPECT_EQ(Recorded().value_or(L""), update_.localPath);
}

// Records what the phase tells its observer and answers hash questions from a list.
class RecordingObserver : public DownloadObserver {
 public:
  std::vector<std::wstring> events;
  std::vector<Result> answers;  // consumed in order; then 0

  void BeginAction(int actionId, std::uint32_t, const wchar_t*) override {
    events.push_back(L"begin " + std::to_wstring(actionId));
  }
  void EndAction(int actionId, Result state) override {
    events.push_back(L"end " + std::to_wstring(actionId) + L" " + FormatResultForLog(state));
  }
  void SubActionPerform(std::uint32_t) override {}
  bool IsCanceled() override { return false; }
  bool IsPaused() override { return false; }
  Result Error(const wchar_t*, Result code, void*) override {
    events.push_back(L"error " + FormatResultForLog(code));
    if (answers.empty()) return 0;
    Result answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
};

TEST_F(DownloadPhaseFiles, ShaMismatchAskedAgainDownloadsAgainThenKeepsTheErrorAndNothingStays) {
  std::string content = Pattern(4000, 3);
  update_.Size = 4000;
  update_.URL = {Source(content)};
  update_.SHA256 = std::wstring(64, L'A');
  RecordingObserver observer;
  observer.answers = {kObserverRetry, 0};
  AsyncDownloadThread engine(&observer, nullptr);
  EXPECT_EQ(DownloadUpdate(update_, engine, &observer, store_, DownloadPhaseSettings{}), E_UPD_BAD_SHA256);
  EXPECT_EQ(update_.status, E_UPD_BAD_SHA256);
  std::vector<std::wstring> expected = {L"begin 1",   L"end 1 0",          L"begin 105", L"error 0xE0000030",
                                        L"end 105 0xE0000030", L"begin 1", L"end 1 0",   L"begin 105",
                                        L"error 0xE0000030", L"end 105 0xE0000030"};
  EXPECT_EQ(observer.events, expected);
  EXPECT_FALSE(Exists(update_.localPath));
  EXPECT_FALSE(Exists(PartPathOf(update_.localPath)));
  EXPECT_FALSE(Recorded().has_value());

  // The error stays for the rest of the run: no further download.
  observer.events.clear();
  EXPECT_EQ(DownloadUpdate(update_, engine, &observer, store_, DownloadPhaseSettings{}), E_UPD_BAD_SHA256);
  EXPECT_TRUE(observer.events.empty());
}

TEST_F(DownloadPhaseFiles, CancelAnswerEndsWithCanceledAndBalancedActions) {
  update_.Size = 2000;
  update_.URL = {Source(Pattern(2000, 4))};
  update_.MD5 = std::wstring(32, L'0');
  RecordingObserver observer;
  observer.answers = {E_UPD_CANCELED};
  AsyncDownloadThread engine(&observer, nullptr);
  EXPECT_EQ(DownloadUpdate(update_, engine, &observer, store_, DownloadPhaseSettings{}), E_UPD_CANCELED);
  EXPECT_EQ(update_.status, E_UPD_CANCELED);
  ASSERT_GE(observer.events.size(), 2u);
  EXPECT_EQ(observer.events.back(), L"end 102 0xE0000008");
  EXPECT_FALSE(Exists(update_.localPath));
}

TEST_F(DownloadPhaseFiles, SizeMismatchIsNeitherRetriedNorKeptWhateverTheAnswer) {
  update_.Size = 1000;
  update_.URL = {Source(Pattern(999, 5))};
  RecordingObserver observer;
  observer.answers = {kObserverRetry};
  AsyncDownloadThread engine(&observer, nullptr);
  EXPECT_EQ(DownloadUpdate(update_, engine, &observer, store_, DownloadPhaseSettings{}), E_UPD_WRONG_SIZE);
  EXPECT_FALSE(Exists(update_.localPath));
  EXPECT_FALSE(Exists(PartPathOf(update_.localPath)));
  EXPECT_FALSE(Recorded().has_value());
  int downloads = 0;
  for (const std::wstring& event : observer.events) downloads += event == L"begin 1";
  EXPECT_LE(downloads, 1);
}

TEST_F(DownloadPhaseFiles, PassingDownloadIsRecordedOnceAndTheNextStateTrustsIt) {
  std::string content = Pattern(3000, 6);
  update_.Size = 3000;
  update_.URL = {Source(content)};
  update_.MD5 = L"";  // size check
  store_.WriteString(SettingsKey::kUpdates, L"Upd1", update_.localPath);  // from an earlier download
  RecordingObserver observer;
  AsyncDownloadThread engine(&observer, nullptr);
  EXPECT_EQ(DownloadUpdate(update_, engine, &observer, store_, DownloadPhaseSettings{}), kOk);
  EXPECT_EQ(Recorded().value_or(L""), update_.localPath);
  EXPECT_EQ(GetDownloadState(update_, store_), kDownloadStateDownloaded);
  for (const std::wstring& event : observer.events) EXPECT_EQ(event.find(L"error"), std::wstring::npos) << event;
}

}  // namespace
}  // namespace updater
