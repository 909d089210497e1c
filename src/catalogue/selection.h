// Which updates this machine needs, which become unnecessary because a newer one is installed or
// taken, and the order in which the taken ones are downloaded and installed.
//
// The catalogue lists updates newest first (index 0). Every walk along `dependsOn` stops at a
// record it already visited, so a chain that loops ends.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/utc_time.h"
#include "catalogue/detection.h"
#include "catalogue/update_catalogue.h"
#include "catalogue/update_record.h"
#include "catalogue/version.h"

namespace updater {

// Results of EvaluateUpdate.
inline constexpr int kEvaluationInstalled = 0;
inline constexpr int kEvaluationNeeded = 1;      // newly selected
inline constexpr int kEvaluationNotApplicable = 2;  // or already selected

// The staged rollout as this machine sees it.
struct RolloutContext {
  bool active = false;       // off: every update is offered (a saved selection is read so)
  std::uint32_t bucket = 0;  // this machine's bucket, 0 to 9999
  bool personAsked = false;  // a person or a host asked: only a share of 0 holds an update back
  FileTime64 now = 0;
};

// Whether the update is offered to this machine.
bool IsOffered(const UpdateRecord& record, const RolloutContext& rollout);

// What the rules need from the machine and the application being updated. The two services
// default to the real detection and to "needs download".
struct SelectionContext {
  WindowsFacts windows;
  std::wstring applicationName;
  VersionNumber applicationVersion;
  std::function<bool(const UpdateRecord&)> isInstalled;
  // 1 needs download, 2 downloaded (the download state of the integrity checks).
  std::function<int(const UpdateRecord&)> downloadState;
  RolloutContext rollout;

  bool Installed(const UpdateRecord& record) const;
  int DownloadState(const UpdateRecord& record) const;
};

// The context of this machine: its Windows facts, the application's name and version as the client
// configuration gives them, and the real detection.
SelectionContext MachineSelectionContext(const std::wstring& applicationName, const std::wstring& applicationVersion);

bool IsApplicable(const UpdateRecord& record, const SelectionContext& context);
int EvaluateUpdate(UpdateRecord& record, const SelectionContext& context);

struct NeededCounts {
  unsigned needed = 0;
  unsigned critical = 0;
};
// Evaluates the catalogue in order; an installed update marks what it replaces and its dependency
// chain as replaced, and one that replaces "All" ends the walk.
NeededCounts SelectNeededUpdates(UpdateCatalogue& catalogue, const SelectionContext& context);

struct ProcessingCounts {
  unsigned toDownload = 0;
  unsigned taken = 0;
};
// Takes the records of a saved selection into the download and install phase (all of them, or only
// the critical ones and their dependency chains) and marks what they replace.
ProcessingCounts MarkForProcessing(UpdateCatalogue& catalogue, bool criticalOnly, const SelectionContext& context);

// The records taken for processing become the selection of the phase; the others are dropped.
void SelectProcessedUpdates(UpdateCatalogue& catalogue);

// The order of work over the selected records: downloads newest first (index 0 first),
// installations oldest first (last index first), so that dependencies listed after the updates
// that need them are in place before those.
std::vector<UpdateRecord*> DownloadOrder(UpdateCatalogue& catalogue);
std::vector<UpdateRecord*> InstallOrder(UpdateCatalogue& catalogue);

// The records of the `dependsOn` chain behind a record (its dependency, the dependency's
// dependency, ...), each once, ending where the chain loops.
std::vector<UpdateRecord*> DependencyChain(const UpdateRecord& record);

}  // namespace updater
