#include "check/check_run.h"

#include "base/hashing.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/string_table.h"
#include "catalogue/github_releases.h"
#include "catalogue/rollout.h"
#include "check/hand_over.h"
#include "config/run_results.h"
#include "config/settings_store.h"
#include "config/temp_updater_copy.h"
#include "resources/string_ids.h"
#include "transfer/async_download.h"
#include "transfer/catalogue_services.h"
#include "transfer/credentials.h"
#include "transfer/download_phase.h"
#include "transfer/download_rules.h"
#include "transfer/updates_file_trust.h"
#include "ui/credentials_dialog.h"
#include "ui/small_progress.h"

namespace updater {
namespace {

constexpr wchar_t kDefaultUpdatesFileName[] = L"updates.ini";

}  // namespace

std::wstring LocalUpdatesFilePath(const std::wstring& downloadsFolder, const std::wstring& url) {
  std::wstring path = url;
  size_t query = path.find_first_of(L"?#");
  if (query != std::wstring::npos) path.resize(query);
  // Only the path counts, never the host of "scheme://host".
  size_t scheme = path.find(L"://");
  if (scheme != std::wstring::npos) {
    size_t pathStart = path.find(L'/', scheme + 3);
    path = pathStart == std::wstring::npos ? std::wstring() : path.substr(pathStart);
  }
  size_t slash = path.find_last_of(L"/\\");
  std::wstring name = slash == std::wstring::npos ? std::wstring() : path.substr(slash + 1);
  if (!IsPlainFileName(name)) name = kDefaultUpdatesFileName;
  std::wstring folder = downloadsFolder;
  if (!folder.empty() && folder.back() != L'\\') folder.push_back(L'\\');
  return folder + name;
}

bool UseIfModifiedSince(bool localCopyExists, std::uint64_t localCopyWriteTime,
                        const std::optional<std::uint64_t>& storedLastModified) {
  return localCopyExists && storedLastModified.has_value() && localCopyWriteTime > *storedLastModified;
}

bool CountsForJustCheck(const UpdateRecord& record, bool criticalOnly, bool installReady,
                        const std::function<int(const UpdateRecord&)>& downloadState) {
  if (!record.selected || record.deprecated) return false;
  if (criticalOnly && !record.HasFlag(kUpdateCritical)) return false;
  return !installReady || downloadState(record) == kDownloadStateDownloaded;
}

unsigned CountJustCheckUpdates(const UpdateCatalogue& catalogue, bool criticalOnly, bool installReady,
                               const std::function<int(const UpdateRecord&)>& downloadState) {
  unsigned counted = 0;
  for (size_t i = 0; i < catalogue.Count(); ++i)
    if (CountsForJustCheck(catalogue.At(i), criticalOnly, installReady, downloadState)) ++counted;
  return counted;
}

CheckRun::CheckRun(InstanceGuard& guard, AppSettings& settings, UpdateCatalogue& catalogue, RunMode mode,
                   JustCheckOptions justCheck)
    : guard_(guard),
      settings_(settings),
      catalogue_(catalogue),
      mode_(mode),
      justCheck_(std::move(justCheck)),
      messages_(settings) {}

Result CheckRun::Fail(const CheckRunCallback& callback, Result code) const {
  if (callback) callback(LoadStringFilled(kStrErrorWithText, {MessageText(code)}), code);
  return code;
}

// The pair this check knows goes to the temporary copy, which cannot receive another instance's
// hand-over itself: the typed pair, else the one a server accepted, else the first of the list.
void CheckRun::KeepKnownCredentials(ServerCredentials& credentials) {
  if (!settings_.userName.empty()) return;
  std::wstring user;
  std::wstring password;
  if (!credentials.GetEntered(user, password) && !credentials.GetLastSupplied(user, password)) {
    std::vector<CredentialPair> pairs = credentials.Pairs();
    if (pairs.empty()) return;
    user = pairs.front().user;
    password = pairs.front().password;
  }
  if (user.empty()) return;
  settings_.userName = std::move(user);
  settings_.password = std::move(password);
}

namespace {

// The options of every request of the updates file (and of its signature).
DownloadOptions UpdatesFileOptions(const AppSettings& settings, std::uint32_t sizeLimit, Result tooLarge) {
  DownloadOptions options = RunDownloadOptions(settings);
  options.securePartFile = settings.HasClientFlag(kClientPerMachine);
  options.sizeLimit = sizeLimit;
  options.sizeLimitCode = tooLarge;
  return options;
}

// A signed file and its signature are downloaded under a name of their own and stay in its part
// file until they passed, so that the copy accepted before stays in place meanwhile.
std::wstring PendingPartPath(const std::wstring& destination) { return PartPathOf(destination + L".new"); }

// Moves a verified download into place.
Result PromotePending(const std::wstring& destination) {
  if (::MoveFileExW(PendingPartPath(destination).c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) return kOk;
  return static_cast<Result>(::GetLastError());
}

}  // namespace

Result CheckRun::FetchUpdatesFile() {
  const std::wstring& url = settings_.urls.front();
  localCopy_ = LocalUpdatesFilePath(settings_.downloadsFolder, url);
  const bool signedFile = settings_.RequiresSignedUpdatesFile();

  ServerCredentials credentials(HKEY_CURRENT_USER, settings_.id);
  credentials.SetPromptFunction(DialogCredentialsPrompt());
  credentials.LoadAtStart();
  DownloadOptions options = UpdatesFileOptions(settings_, kMaxUpdatesFileBytes, E_UPD_BAD_UPDATES_FILE);
  options.queryLastModified = true;
  if (signedFile) {
    // A signed file stays in its part file until it passed; a left-over part is never resumed.
    options.keepCompletePartFile = true;
    options.resume = false;
  }

  WIN32_FILE_ATTRIBUTE_DATA local{};
  bool localExists = ::GetFileAttributesExW(localCopy_.c_str(), GetFileExInfoStandard, &local) != FALSE;
  std::uint64_t localWriteTime =
      (static_cast<std::uint64_t>(local.ftLastWriteTime.dwHighDateTime) << 32) | local.ftLastWriteTime.dwLowDateTime;
  const SettingsStore& store = settings_.Store();
  std::optional<FileTime64> stored = store.ReadTime(SettingsKey::kSettings, kValueLastModified);
  if (UseIfModifiedSince(localExists, localWriteTime, stored)) options.ifModifiedSince = FileTimeToSystem(*stored);
  // The entity tag answers for the copy it came with; CDNs and object stores give tags more
  // reliably than modification times.
  if (localExists) options.ifNoneMatch = store.ReadString(SettingsKey::kSettings, kValueETag).value_or(L"");
  AsyncDownloadThread engine(observer_, &credentials, options);

  LogFormat(kLogDebug, L"Downloading the updates configuration file %ls to %ls", url.c_str(), localCopy_.c_str());
  Result result = engine.Download(url, signedFile ? localCopy_ + L".new" : localCopy_);
  if (result == kOk || result == E_UPD_NOT_MODIFIED) KeepKnownCredentials(credentials);
  if (result == E_UPD_SERVER_BUSY) RememberBusyServer(engine.GetRetryAfter(), engine.GetHttpStatus());
  if (result != kOk && result != E_UPD_NOT_MODIFIED) return result;
  if (signedFile) {
    Result verified = VerifySignedUpdatesFile(url, result == E_UPD_NOT_MODIFIED, credentials);
    if (verified != kOk) return verified;
  }
  if (result == E_UPD_NOT_MODIFIED) {
    Log(kLogDebug, L"The updates configuration file is not modified; using the local copy.");
    return kOk;
  }
  SYSTEMTIME modified = engine.GetLastModified();
  if (modified.wYear != 0) store.WriteTime(SettingsKey::kSettings, kValueLastModified, SystemToFileTime(modified));
  if (!engine.GetETag().empty())
    store.WriteString(SettingsKey::kSettings, kValueETag, engine.GetETag());
  else
    store.DeleteValue(SettingsKey::kSettings, kValueETag);
  return kOk;
}

void CheckRun::RememberBusyServer(const std::wstring& retryAfter, std::uint32_t status) {
  FileTime64 now = CurrentUtcFileTime();
  std::uint32_t random = 0;
  RandomBytes(&random, sizeof(random));  // without randomness the wait is the plain hour
  FileTime64 notBefore =
      BusyNotBefore(ParseRetryAfterSeconds(retryAfter, now), now, random % (kBusyWaitSpreadSeconds + 1));
  settings_.Store().WriteTime(SettingsKey::kSettings, kValueNotBefore, notBefore);
  LogFormat(kLogInfo, L"The update server is busy (HTTP %u, Retry-After \"%ls\"); no check before %ls.", status,
            retryAfter.c_str(), FormatUtc(notBefore).c_str());
}

bool CheckRun::HeldOffByBusyServer() const {
  if (mode_ == RunMode::CheckNow) return false;  // a person asking still asks
  std::optional<FileTime64> notBefore = settings_.Store().ReadTime(SettingsKey::kSettings, kValueNotBefore);
  if (!notBefore || CurrentUtcFileTime() >= *notBefore) return false;
  LogFormat(kLogInfo, L"The update server asked for no check before %ls; the check is not due.",
            FormatUtc(*notBefore).c_str());
  return true;
}

RolloutContext CheckRun::Rollout() const {
  RolloutContext rollout;
  rollout.active = true;
  rollout.personAsked = mode_ == RunMode::CheckNow || startedByHost_;
  rollout.now = CurrentUtcFileTime();
  const SettingsStore& store = settings_.Store();
  std::optional<std::uint32_t> bucket = store.ReadNumber(SettingsKey::kSettings, kValueRolloutBucket);
  if (!bucket || *bucket >= kRolloutBuckets) {
    bucket = DrawRolloutBucket([] {
      std::uint32_t random = 0;
      RandomBytes(&random, sizeof(random));
      return random;
    });
    store.WriteNumber(SettingsKey::kSettings, kValueRolloutBucket, *bucket);
  }
  rollout.bucket = *bucket;
  return rollout;
}

Result CheckRun::VerifySignedUpdatesFile(const std::wstring& url, bool notModified, ServerCredentials& credentials) {
  const std::wstring signaturePath = localCopy_ + kSignatureSuffix;
  // A new file is checked in its part file with a signature fetched now; a file the server did not
  // change is checked again as it lies on disk, with the signature stored beside it.
  const std::wstring filePath = notModified ? localCopy_ : PendingPartPath(localCopy_);
  const bool fetchSignature = !notModified || ::GetFileAttributesW(signaturePath.c_str()) == INVALID_FILE_ATTRIBUTES;
  const std::wstring checkedSignature = fetchSignature ? PendingPartPath(signaturePath) : signaturePath;
  auto discardDownloads = [&]() {
    ::DeleteFileW(PendingPartPath(localCopy_).c_str());
    ::DeleteFileW(PendingPartPath(signaturePath).c_str());
  };

  Result result = kOk;
  if (fetchSignature) {
    DownloadOptions options = UpdatesFileOptions(settings_, kMaxSignatureBytes, E_UPD_UPDATES_FILE_UNSIGNED);
    options.keepCompletePartFile = true;
    options.resume = false;
    AsyncDownloadThread engine(observer_, &credentials, options);
    const std::wstring signatureUrl = url + kSignatureSuffix;
    LogFormat(kLogDebug, L"Downloading the signature %ls", signatureUrl.c_str());
    result = engine.Download(signatureUrl, signaturePath + L".new");
    if (result != kOk && result != E_UPD_CANCELED) {
      LogError(L"The updates configuration file is refused: its signature " + signatureUrl +
                   L" could not be downloaded (" + FormatResultForLog(result) + L" " + MessageText(result) + L").",
               E_UPD_UPDATES_FILE_UNSIGNED);
      result = E_UPD_UPDATES_FILE_UNSIGNED;
    }
  }
  if (result != kOk) {
    discardDownloads();
    return result;
  }
  result = verified_.Verify(filePath, checkedSignature, ExecutablePath(), settings_.Store());
  const bool refused = result != kOk;
  if (result == kOk) {
    if (!notModified) result = PromotePending(localCopy_);
    if (result == kOk && fetchSignature) result = PromotePending(signaturePath);
    if (result != kOk) LogError(L"Unable to keep the verified updates configuration file " + localCopy_, result);
  }
  if (result == kOk) return kOk;
  discardDownloads();
  if (refused && notModified) {
    // The stored copy no longer passes: it goes, so that the next check fetches the file in full.
    ::DeleteFileW(localCopy_.c_str());
    ::DeleteFileW(signaturePath.c_str());
    settings_.Store().DeleteValue(SettingsKey::kSettings, kValueLastModified);
    settings_.Store().DeleteValue(SettingsKey::kSettings, kValueETag);
  }
  return result;
}

Result CheckRun::ReadUpdatesFile() {
  const bool signedFile = settings_.RequiresSignedUpdatesFile();
  Result result = OpenDownloadedCatalogue(catalogue_, signedFile ? verified_.Path() : localCopy_)->Load(true, true);
  if (result == kOk && signedFile && !verified_.Remember(settings_.Store()))
    Log(kLogError, L"Unable to remember the serial of the updates configuration file.");
  return result;
}

NeededCounts CheckRun::SelectUpdates(const SelectionContext& context) {
  for (size_t i = 0; i < catalogue_.Count(); ++i) catalogue_.At(i).selected = false;
  NeededCounts counts = SelectNeededUpdates(catalogue_, context);
  LogFormat(kLogInfo, L"Updates needed: %u (critical: %u).", counts.needed, counts.critical);
  return counts;
}

void CheckRun::WriteDumpFile() const {
  if (justCheck_.dumpDetectedPath.empty()) return;
  // A relative name is taken in the current folder: the profile functions would otherwise put the
  // file into the Windows folder.
  wchar_t full[MAX_PATH * 4];
  DWORD length = ::GetFullPathNameW(justCheck_.dumpDetectedPath.c_str(), MAX_PATH * 4, full, nullptr);
  std::wstring path = length > 0 && length < MAX_PATH * 4 ? std::wstring(full, length) : justCheck_.dumpDetectedPath;
  if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    LogFormat(kLogDebug, L"The dump file %ls exists already and is left unchanged.", path.c_str());
    return;
  }
  Result written = WriteSelection(catalogue_, path, mode_ == RunMode::JustCheckCritical);
  if (written != kOk) LogError(L"Unable to write the dump file " + path, written);
}

Result CheckRun::JustCheckResult(const NeededCounts& counts) {
  bool criticalOnly = mode_ == RunMode::JustCheckCritical;
  if (criticalOnly && counts.critical == 0) return E_UPD_UP_TO_DATE;
  const SettingsStore& store = settings_.Store();
  unsigned counted = CountJustCheckUpdates(catalogue_, criticalOnly, justCheck_.installReady,
                                           [&store](const UpdateRecord& record) { return GetDownloadState(record, store); });
  LogFormat(kLogInfo, L"Updates found by the check: %u.", counted);
  if (counted == 0) return E_UPD_UP_TO_DATE;
  if (justCheck_.notify) {
    // The announcement names the first update the check counted.
    auto state = [&store](const UpdateRecord& record) { return GetDownloadState(record, store); };
    for (std::size_t i = 0; i < catalogue_.Count(); ++i) {
      if (!CountsForJustCheck(catalogue_.At(i), criticalOnly, justCheck_.installReady, state)) continue;
      messages_.AnnounceUpdates(catalogue_.At(i));
      break;
    }
  }
  WriteDumpFile();
  return kOk;
}

Result CheckRun::Run(const CheckRunCallback& callback) {
  // A check held off by a busy server reads nothing and leaves the record of the last check as it is.
  if (HeldOffByBusyServer()) return E_UPD_CHECK_NOT_DUE;
  Result result = Check(callback);
  RecordCheckResult(settings_.Store(), result);
  return result;
}

Result CheckRun::Check(const CheckRunCallback& callback) {
  if (settings_.urls.empty()) return Fail(callback, E_UPD_CLIENT_CONFIG);
  if (settings_.RequiresSignedUpdatesFile() && settings_.HasClientFlag(kClientGitHubUpdates)) {
    // Release lists have no signature scheme: requiring one refuses every check before it starts.
    LogError(L"The updates configuration file is refused: UpdatesFileSignature=Required cannot be met by a GitHub "
             L"release list, which carries no signature.",
             E_UPD_UPDATES_FILE_UNSIGNED);
    return Fail(callback, E_UPD_UPDATES_FILE_UNSIGNED);
  }
  Result fetched = FetchUpdatesFile();
  if (fetched != kOk) return Fail(callback, fetched);
  Result read = ReadUpdatesFile();
  if (read != kOk) return Fail(callback, read);
  LogFormat(kLogInfo, L"The updates configuration file lists %u updates.", static_cast<unsigned>(catalogue_.Count()));

  SelectionContext context = MachineSelectionContext(settings_.applicationName, settings_.applicationVersion);
  context.rollout = Rollout();
  NeededCounts counts = SelectUpdates(context);
  messages_.ProcessMessage(catalogue_.message);
  if (counts.needed == 0) {
    if (callback) callback(LoadStringResource(kStrUpToDate), E_UPD_UP_TO_DATE);
    return E_UPD_UP_TO_DATE;
  }
  if (mode_ == RunMode::JustCheck || mode_ == RunMode::JustCheckCritical) return JustCheckResult(counts);

  if (callback) callback(std::wstring(), kOk);  // the check is complete
  return HandOverToTemporaryCopy(settings_, mode_, catalogue_, guard_);
}

Result RunCheckSequence(RunContext& run, const JustCheckOptions& justCheck) {
  CatalogueSettings catalogueSettings = CatalogueSettingsFor(run.settings);
  UpdateCatalogue catalogue(catalogueSettings);
  CheckRun check(run.checkGuard, run.settings, catalogue, run.mode, justCheck);
  return check.Run();
}

Result RunCheckSequenceWithWindow(RunContext& run) {
  CatalogueSettings catalogueSettings = CatalogueSettingsFor(run.settings);
  UpdateCatalogue catalogue(catalogueSettings);
  CheckRun check(run.checkGuard, run.settings, catalogue, run.mode);
  std::optional<SmallWindowEnd> ended =
      RunCheckWindow(run.settings.applicationName, [&check](DownloadObserver& observer, const CheckMessageSink& sink) {
        check.SetObserver(&observer);
        Result result = check.Run(sink);
        check.SetObserver(nullptr);
        return result;
      });
  if (!ended) {
    Log(kLogInfo, L"Checking without a window.");
    return check.Run();
  }
  if (ended->cancelled) run.dialogCancelled = true;
  return ended->result;
}

}  // namespace updater
