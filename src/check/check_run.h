// The sequence every checking mode shares: fetch the updates configuration file, read it into the
// catalogue of the run, find what is installed and what applies, and answer a just-check.
#pragma once

#include <functional>
#include <string>

#include "base/instance_guard.h"
#include "base/result_codes.h"
#include "catalogue/selection.h"
#include "catalogue/update_catalogue.h"
#include "config/app_settings.h"
#include "config/command_line.h"
#include "config/run_context.h"
#include "notify/message_display.h"
#include "transfer/download_observer.h"
#include "transfer/updates_file_trust.h"

namespace updater {

class ServerCredentials;

// Receives the run's messages (with their codes) for a window that shows the check.
using CheckRunCallback = std::function<void(const std::wstring& message, Result code)>;

// What a just-check run adds to the check.
struct JustCheckOptions {
  std::wstring dumpDetectedPath;  // written when updates were found and no such file exists yet
  bool installReady = false;      // count only updates whose installer is downloaded and verified
  bool notify = false;            // announce the updates found (the run restarts an application)
};

// The updates a just-check counts: the selected ones that are offered on their own (not
// deprecated), only the critical ones when asked, and with `installReady` only those whose
// installer is downloaded (state 2).
bool CountsForJustCheck(const UpdateRecord& record, bool criticalOnly, bool installReady,
                        const std::function<int(const UpdateRecord&)>& downloadState);
unsigned CountJustCheckUpdates(const UpdateCatalogue& catalogue, bool criticalOnly, bool installReady,
                               const std::function<int(const UpdateRecord&)>& downloadState);

class CheckRun {
 public:
  CheckRun(InstanceGuard& guard, AppSettings& settings, UpdateCatalogue& catalogue, RunMode mode,
           JustCheckOptions justCheck = {});

  // The window that shows the check: it may cancel the download and answers its questions
  // (credentials, certificates). Without one the download asks nobody.
  void SetObserver(DownloadObserver* observer) { observer_ = observer; }
  // A host application asked over COM: like a person, it is offered updates whatever share of a
  // staged rollout this machine falls in (a share of 0 still holds them back).
  void SetStartedByHost(bool byHost) { startedByHost_ = byHost; }

  // The check, recorded as the machine's last check ("Results" key) unless a busy server held it off.
  Result Run(const CheckRunCallback& callback = {});

  // Step 1: the updates configuration file, conditionally when the local copy is current.
  Result FetchUpdatesFile();
  void KeepKnownCredentials(ServerCredentials& credentials);
  // A signed updates file (client key "UpdatesFileSignature"): its signature is fetched beside it
  // (or, when the server did not change the file, the stored one is taken) and both are checked
  // before anything in the file is read.
  Result VerifySignedUpdatesFile(const std::wstring& url, bool notModified, ServerCredentials& credentials);
  // Step 2: reads the local copy (or the verified copy of a signed file) into the catalogue.
  Result ReadUpdatesFile();
  // Step 3: the selection walk over the machine's state; the needed and critical counts.
  NeededCounts SelectUpdates(const SelectionContext& context);
  // The end of a just-check (modes 11 and 12) once updates are needed: 0 or 0xE0000011.
  Result JustCheckResult(const NeededCounts& counts);

  const std::wstring& LocalCopyPath() const { return localCopy_; }

 private:
  Result Check(const CheckRunCallback& callback);
  Result Fail(const CheckRunCallback& callback, Result code) const;
  // A busy server's answer: no check before the time it asked for ("NotBefore").
  void RememberBusyServer(const std::wstring& retryAfter, std::uint32_t status);
  // True (with a log line) while a busy server's time has not come, for every check but "/checknow".
  bool HeldOffByBusyServer() const;
  // The staged rollout of this machine: its bucket (drawn once) and who asked.
  RolloutContext Rollout() const;
  void WriteDumpFile() const;

  InstanceGuard& guard_;
  AppSettings& settings_;
  UpdateCatalogue& catalogue_;
  RunMode mode_;
  JustCheckOptions justCheck_;
  // The publisher's message after every check, and the found-updates announcement of a just-check;
  // it keeps a message's pop-up open until the run ends.
  MessagePresenter messages_;
  DownloadObserver* observer_ = nullptr;
  bool startedByHost_ = false;
  std::wstring localCopy_;
  VerifiedUpdatesFile verified_;
};

// A check of the mode with a catalogue of its own, run directly on this thread.
Result RunCheckSequence(RunContext& run, const JustCheckOptions& justCheck = {});
// The same check on a worker thread behind the "Checking for Updates" window; without a window
// (none can be created) it runs directly. A window closed by a cancellation marks the run as
// cancelled by the user.
Result RunCheckSequenceWithWindow(RunContext& run);

// Where a check keeps the updates configuration file: the downloads folder and the file name of
// the URL's path ("updates.ini" when the path names no plain file).
std::wstring LocalUpdatesFilePath(const std::wstring& downloadsFolder, const std::wstring& url);

// Whether the request may be conditional: a local copy exists that was written after the stored
// server time of the last download.
bool UseIfModifiedSince(bool localCopyExists, std::uint64_t localCopyWriteTime,
                        const std::optional<std::uint64_t>& storedLastModified);

}  // namespace updater
