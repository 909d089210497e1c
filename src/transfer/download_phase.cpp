#include "transfer/download_phase.h"

#include <windows.h>

#include "base/logger.h"
#include "base/text_util.h"
#include "transfer/download_rules.h"
#include "transfer/file_hash.h"

namespace updater {
namespace {

// Existence and size of a plain file (a folder of that name counts as absent).
bool QueryFile(const std::wstring& path, std::uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

DownloadDiskFacts ReadDiskFacts(const std::wstring& localPath) {
  DownloadDiskFacts facts;
  facts.fileExists = QueryFile(localPath, facts.fileSize);
  facts.partExists = QueryFile(PartPathOf(localPath), facts.partSize);
  return facts;
}

// Deletes one file; a read-only file loses that attribute first. Absence counts as success.
void DeleteFileIfPresent(const std::wstring& path) {
  if (::DeleteFileW(path.c_str())) return;
  DWORD error = ::GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
  if (error == ERROR_ACCESS_DENIED && ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) &&
      ::DeleteFileW(path.c_str()))
    return;
  LogError(L"Unable to delete " + path + L".", ::GetLastError());
}

// Fails harmlessly when the folder still holds anything.
void RemoveFolderIfEmpty(const std::wstring& filePath) {
  std::wstring folder = FolderOfPath(filePath);
  if (!folder.empty()) ::RemoveDirectoryW(folder.c_str());
}

void ForgetRecordedPath(const UpdateRecord& update, const SettingsStore& store) {
  if (IsRecordedPath(store.ReadString(SettingsKey::kUpdates, update.sectionName), update.localPath))
    store.DeleteValue(SettingsKey::kUpdates, update.sectionName);
}

void RecordVerifiedPath(const UpdateRecord& update, const SettingsStore& store) {
  if (IsRecordedPath(store.ReadString(SettingsKey::kUpdates, update.sectionName), update.localPath)) return;
  if (!store.WriteString(SettingsKey::kUpdates, update.sectionName, update.localPath))
    LogError(L"Unable to record the downloaded installer of " + update.sectionName + L".", kResultFail);
}

// Deletes a download that failed its check and forgets it.
void DiscardDownload(const UpdateRecord& update, const SettingsStore& store) {
  DeleteDownload(update.localPath);
  ForgetRecordedPath(update, store);
}

Result RunCheck(const UpdateRecord& update, IntegrityCheck check, const std::wstring& path) {
  switch (check) {
    case IntegrityCheck::kSha256:
      return CheckFileSha256(path, update.SHA256);
    case IntegrityCheck::kMd5:
      return CheckFileMd5(path, update.MD5);
    case IntegrityCheck::kSize:
      break;
  }
  return CheckFileSize(path, update.Size);
}

Result RunCheck(const UpdateRecord& update, IntegrityCheck check) { return RunCheck(update, check, update.localPath); }

// The bytes to check: a finished download waits in its part file; a file placed by an earlier
// version of the program, or by a copy, stands at the path itself.
std::wstring PathToCheck(const UpdateRecord& update) {
  std::uint64_t size = 0;
  std::wstring part = PartPathOf(update.localPath);
  return QueryFile(part, size) ? part : update.localPath;
}

// Moves a checked part file to its place; 0 or the system error.
Result PromoteCheckedFile(const UpdateRecord& update, const std::wstring& checkedPath) {
  if (checkedPath == update.localPath) return kOk;
  if (::MoveFileExW(checkedPath.c_str(), update.localPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
    return kOk;
  Result error = ::GetLastError();
  LogError(L"Unable to move the checked download to " + update.localPath + L".", error);
  return error;
}

}  // namespace

// ---- Pure decisions ----

DownloadStateDecision DecideDownloadState(const DownloadDiskFacts& facts, std::uint32_t expectedSize) {
  DownloadStateDecision decision;
  if (facts.partExists && facts.partSize == expectedSize && !facts.fileExists && expectedSize != 0) {
    // A download that ended before its check: it is checked now instead of fetched again.
    decision.verifyPart = true;
    return decision;
  }
  if (facts.partExists && facts.partSize >= expectedSize) {
    // Nothing more can be appended to it: the next download starts from zero.
    decision.deleteDownload = true;
    return decision;
  }
  if (facts.fileExists && facts.fileSize != expectedSize) {
    decision.deleteFile = true;
    return decision;
  }
  if (!facts.partExists && facts.fileExists) decision.state = kDownloadStateDownloaded;
  return decision;
}

EngineOutcome DecideEngineOutcome(Result code, unsigned repeatsSoFar, unsigned maxRepeats) {
  if (code == kOk) return EngineOutcome::kVerify;
  if (code == E_UPD_TIMEOUT) return repeatsSoFar < maxRepeats ? EngineOutcome::kRepeat : EngineOutcome::kReturn;
  if (code == E_UPD_WRONG_SIZE) return EngineOutcome::kDeleteAndReturn;
  return EngineOutcome::kReturn;
}

MismatchAnswer DecideMismatchAnswer(Result answer) {
  if (answer == kObserverRetry) return MismatchAnswer::kDownloadAgain;
  if (answer == E_UPD_CANCELED) return MismatchAnswer::kCancel;
  return MismatchAnswer::kKeepError;
}

int CheckActionId(IntegrityCheck check) {
  switch (check) {
    case IntegrityCheck::kSha256:
      return PAID_CHECK_SHA256;
    case IntegrityCheck::kMd5:
      return PAID_CHECK_MD5;
    case IntegrityCheck::kSize:
      break;
  }
  return 0;
}

bool IsRecordedPath(const std::optional<std::wstring>& recordedPath, const std::wstring& localPath) {
  return recordedPath.has_value() && !localPath.empty() && EqualsIgnoringCase(*recordedPath, localPath);
}

std::wstring FormatDownloadedLine(const std::wstring& name, Result code) {
  return L"Update \"" + name + L"\" installer downloaded. Return code: " + FormatResultForLog(code);
}

// ---- Files and registry ----

void DeleteDownload(const std::wstring& localPath) {
  if (localPath.empty()) return;
  DeleteFileIfPresent(localPath);
  DeleteFileIfPresent(PartPathOf(localPath));
  RemoveFolderIfEmpty(localPath);
}

Result VerifyDownloadedFile(const UpdateRecord& update) {
  return RunCheck(update, ChooseIntegrityCheck(update.SHA256, update.MD5));
}

int GetDownloadState(const UpdateRecord& update, const SettingsStore& store) {
  if (update.localPath.empty()) return kDownloadStateNeeded;
  DownloadStateDecision decision = DecideDownloadState(ReadDiskFacts(update.localPath), update.Size);
  if (decision.verifyPart) {
    std::wstring part = PartPathOf(update.localPath);
    Result verdict = RunCheck(update, ChooseIntegrityCheck(update.SHA256, update.MD5), part);
    if (verdict == kOk && PromoteCheckedFile(update, part) == kOk) {
      Log(kLogDebug, L"The finished download " + update.localPath + L" passed its check.");
      RecordVerifiedPath(update, store);
      return kDownloadStateDownloaded;
    }
    Log(kLogDebug, L"Deleting the download " + update.localPath + L": it did not pass its check.");
    DiscardDownload(update, store);
    return kDownloadStateNeeded;
  }
  if (decision.deleteDownload) {
    Log(kLogDebug, L"Deleting the download " + update.localPath + L": its part file is not smaller than its size.");
    DiscardDownload(update, store);
    return decision.state;
  }
  if (decision.deleteFile) {
    Log(kLogDebug, L"Deleting " + update.localPath + L": its size is not the expected one.");
    DeleteFileIfPresent(update.localPath);
    RemoveFolderIfEmpty(update.localPath);
    ForgetRecordedPath(update, store);
    return decision.state;
  }
  if (decision.state != kDownloadStateDownloaded) return decision.state;
  if (IsRecordedPath(store.ReadString(SettingsKey::kUpdates, update.sectionName), update.localPath))
    return kDownloadStateDownloaded;

  // Complete but never vouched for: the run that downloaded it ended before checking it.
  Result verdict = VerifyDownloadedFile(update);
  if (verdict != kOk) {
    LogError(L"Deleting the unverified download " + update.localPath + L".", verdict);
    DiscardDownload(update, store);
    return kDownloadStateNeeded;
  }
  RecordVerifiedPath(update, store);
  return kDownloadStateDownloaded;
}

// ---- The phase ----

DownloadOptions RunDownloadOptions(const AppSettings& settings) {
  DownloadOptions options;
  options.retryAttempts = settings.retryAttempts;  // a negative count keeps the engine's default
  options.proxy = settings.proxy;
  options.failOnCertificateErrors = true;
  return options;
}

DownloadPhaseSettings DownloadPhaseSettingsOf(const AppSettings& settings) {
  DownloadPhaseSettings phase;
  phase.retryAttempts = settings.retryAttempts;
  phase.proxy = settings.proxy;
  phase.securePartFile = settings.HasClientFlag(kClientPerMachine);
  return phase;
}

Result DownloadUpdate(UpdateRecord& update, AsyncDownloadThread& engine, DownloadObserver* observer,
                      const SettingsStore& store, const DownloadPhaseSettings& settings) {
  if (update.status != kOk) return update.status;

  unsigned repeats = 0;
  for (;;) {
    // Whatever was recorded for this path is about to be replaced by bytes not checked yet.
    ForgetRecordedPath(update, store);
    engine.Options().keepCompletePartFile = true;
    engine.Options().expectedSize = update.Size;
    Result code = engine.Download(update.URL, update.localPath);
    update.status = code;

    switch (DecideEngineOutcome(code, repeats, settings.maxStreamEndedRepeats)) {
      case EngineOutcome::kRepeat:
        if (observer != nullptr && observer->IsCanceled()) {
          update.status = E_UPD_CANCELED;
          return E_UPD_CANCELED;
        }
        ++repeats;
        Log(kLogDebug, L"The stream of " + update.localPath + L" ended early; downloading again.");
        continue;
      case EngineOutcome::kDeleteAndReturn:
        DiscardDownload(update, store);
        return code;
      case EngineOutcome::kReturn:
        return code;  // the part file stays for a later resume
      case EngineOutcome::kVerify:
        break;
    }

    IntegrityCheck check = ChooseIntegrityCheck(update.SHA256, update.MD5);
    int action = CheckActionId(check);
    if (action != 0 && observer != nullptr) observer->BeginAction(action, 0, nullptr);
    const std::wstring checkedPath = PathToCheck(update);
    Result verdict = RunCheck(update, check, checkedPath);
    if (verdict == kOk) verdict = PromoteCheckedFile(update, checkedPath);
    if (verdict == kOk) {
      static constexpr const wchar_t* kCheckNames[] = {L"SHA-256", L"MD5", L"size"};
      Log(kLogDebug, L"The downloaded file " + update.localPath + L" passed its " +
                         kCheckNames[static_cast<int>(check)] + L" check.");
      // Recorded only now, so that an entry always stands for a verified file.
      RecordVerifiedPath(update, store);
      update.status = kOk;
      if (action != 0 && observer != nullptr) observer->EndAction(action, kOk);
      return kOk;
    }

    LogError(L"The downloaded file " + update.localPath + L" failed its check and was removed.", verdict);
    update.status = verdict;
    DiscardDownload(update, store);
    Result answer = observer != nullptr ? observer->Error(nullptr, verdict, nullptr) : verdict;
    if (check == IntegrityCheck::kSize) return verdict;

    switch (DecideMismatchAnswer(answer)) {
      case MismatchAnswer::kDownloadAgain:
        if (observer != nullptr) observer->EndAction(action, verdict);
        update.status = kOk;
        repeats = 0;
        continue;  // from byte 0: the part file is gone
      case MismatchAnswer::kCancel:
        update.status = E_UPD_CANCELED;
        // The check action still ends, so that observers keeping a stack of actions stay balanced.
        if (observer != nullptr) observer->EndAction(action, E_UPD_CANCELED);
        return E_UPD_CANCELED;
      case MismatchAnswer::kKeepError:
        break;
    }
    if (observer != nullptr) observer->EndAction(action, verdict);
    return verdict;
  }
}

Result DownloadSelectedUpdates(UpdateCatalogue& catalogue, DownloadObserver* observer,
                               CredentialsProvider* credentials, const SettingsStore& store,
                               const DownloadPhaseSettings& settings) {
  DownloadOptions options;
  options.retryAttempts = settings.retryAttempts;  // a negative count keeps the engine's default
  options.proxy = settings.proxy;
  options.failOnCertificateErrors = true;
  options.securePartFile = settings.securePartFile;
  AsyncDownloadThread engine(observer, credentials, options);

  if (observer != nullptr) observer->BeginAction(PAID_DOWNLOAD, 0, nullptr);
  Result phaseResult = kOk;
  for (size_t index = 0; index < catalogue.Count(); ++index) {
    UpdateRecord& update = catalogue.At(index);
    if (!update.selected) continue;
    if (GetDownloadState(update, store) == kDownloadStateDownloaded) continue;
    Result code = DownloadUpdate(update, engine, observer, store, settings);
    Log(kLogTrace, FormatDownloadedLine(update.Name, code));
    if (code != kOk) phaseResult = code;
    if (code == E_UPD_CANCELED) break;
  }
  if (observer != nullptr) observer->EndAction(PAID_DOWNLOAD, phaseResult);
  return phaseResult;
}

Result DownloadSelectedUpdates(UpdateCatalogue& catalogue, DownloadObserver* observer,
                               CredentialsProvider* credentials, const AppSettings& settings) {
  return DownloadSelectedUpdates(catalogue, observer, credentials, settings.Store(),
                                 DownloadPhaseSettingsOf(settings));
}

}  // namespace updater
