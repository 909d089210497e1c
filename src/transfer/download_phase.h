// The download phase of the selected updates: drives the download engine for each update, checks
// every downloaded installer against its SHA-256 value, or its MD5 value, or its size, deletes a
// file that fails, and remembers verified installers under the "Updates" key.
//
// A path under the "Updates" key is written only after its file passed its check, and is removed
// before the file is downloaded again. So an entry always vouches for a verified file; a complete
// file on disk without one (a run ended between the engine's rename and the check) is checked
// again before it counts as downloaded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/result_codes.h"
#include "catalogue/update_catalogue.h"
#include "catalogue/update_record.h"
#include "config/app_settings.h"
#include "config/settings_store.h"
#include "transfer/async_download.h"
#include "transfer/credentials_provider.h"
#include "transfer/download_observer.h"
#include "transfer/file_hash.h"

namespace updater {

// Repetitions of a download whose stream ended early and cannot be resumed (0xE000000F); after
// them the code is returned, so that a server that always cuts the stream short cannot keep a run
// busy for ever.
inline constexpr unsigned kMaxStreamEndedRepeats = 3;

// ---- Pure decisions ----

// What is on disk for one update.
struct DownloadDiskFacts {
  bool partExists = false;
  std::uint64_t partSize = 0;
  bool fileExists = false;
  std::uint64_t fileSize = 0;
};

struct DownloadStateDecision {
  int state = kDownloadStateNeeded;
  bool deleteDownload = false;  // a part file of at least `Size` bytes: file, part file and folder go
  bool deleteFile = false;      // a complete file of another size than `Size`: the file goes
  bool verifyPart = false;      // a part file of exactly `Size` and no file: a finished download not checked yet
};

// The state and the deletions that computing it implies.
DownloadStateDecision DecideDownloadState(const DownloadDiskFacts& facts, std::uint32_t expectedSize);

// What DownloadUpdate does with the engine's code.
enum class EngineOutcome {
  kVerify,           // 0: check the file
  kRepeat,           // 0xE000000F within the bound: download again (resuming)
  kDeleteAndReturn,  // 0xE0000023: the server announced another size
  kReturn,           // anything else, the canceled code included; the part file stays
};
EngineOutcome DecideEngineOutcome(Result code, unsigned repeatsSoFar, unsigned maxRepeats = kMaxStreamEndedRepeats);

// The observer's answer to a failing hash check.
enum class MismatchAnswer {
  kDownloadAgain,  // 1237
  kCancel,         // 0xE0000008
  kKeepError,      // anything else
};
MismatchAnswer DecideMismatchAnswer(Result answer);

// The observer action that announces a check, 0 for the size check (which is not announced).
int CheckActionId(IntegrityCheck check);

// True when the stored "Updates" value names this path (without regard to case).
bool IsRecordedPath(const std::optional<std::wstring>& recordedPath, const std::wstring& localPath);

// The trace line of one update of the phase.
std::wstring FormatDownloadedLine(const std::wstring& name, Result code);

// ---- Files and registry ----

// Removes the file, its part file, and the file's folder when it is empty afterwards.
void DeleteDownload(const std::wstring& localPath);

// Runs the update's single check on its file: 0, 0xE0000030, 0xE0000022 or 0xE0000023. A file whose
// hash cannot be computed fails.
Result VerifyDownloadedFile(const UpdateRecord& update);

// 1 or 2 as above, deleting a part file of at least `Size` bytes (with the file) and a complete
// file of another size. A complete file that `store` does not vouch for is checked now: it is
// recorded when it passes and deleted (state 1) when it fails.
int GetDownloadState(const UpdateRecord& update, const SettingsStore& store);

// The options every download of a run shares: the user's retry count and proxy, and certificate
// errors that fail the download.
DownloadOptions RunDownloadOptions(const AppSettings& settings);

// ---- The phase ----

// What the phase takes from the run's settings.
struct DownloadPhaseSettings {
  int retryAttempts = -1;  // negative: the engine's default
  std::wstring proxy;
  bool securePartFile = false;  // client flag PerMachine
  unsigned maxStreamEndedRepeats = kMaxStreamEndedRepeats;
};
DownloadPhaseSettings DownloadPhaseSettingsOf(const AppSettings& settings);

// One update: 0 or an error code, which is also left in `update.status`. An update whose status
// already holds an error returns it without downloading.
Result DownloadUpdate(UpdateRecord& update, AsyncDownloadThread& engine, DownloadObserver* observer,
                      const SettingsStore& store, const DownloadPhaseSettings& settings);

// Downloads every selected update that is not downloaded yet, in catalogue order, with one engine.
// Returns 0 or the last non-zero code; a cancel ends the phase at once.
Result DownloadSelectedUpdates(UpdateCatalogue& catalogue, DownloadObserver* observer,
                               CredentialsProvider* credentials, const SettingsStore& store,
                               const DownloadPhaseSettings& settings);
Result DownloadSelectedUpdates(UpdateCatalogue& catalogue, DownloadObserver* observer,
                               CredentialsProvider* credentials, const AppSettings& settings);

}  // namespace updater
