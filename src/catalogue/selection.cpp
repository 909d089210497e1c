#include "catalogue/selection.h"

#include <algorithm>
#include <unordered_set>

#include "base/logger.h"
#include "catalogue/rollout.h"

namespace updater {
namespace {

bool AnyRangeMatches(const std::vector<std::wstring>& entries, const SelectionContext& context) {
  for (const std::wstring& entry : entries) {
    VersionRange range;
    if (ParseVersionRange(entry, range) && MatchesRange(context.applicationName, context.applicationVersion, range))
      return true;
  }
  return false;
}

bool AnyConditionHolds(const std::vector<std::wstring>& entries, const SelectionContext& context) {
  for (const std::wstring& entry : entries) {
    VersionCondition condition;
    if (ParseVersionCondition(entry, condition) && MatchesCondition(context.applicationVersion, condition)) return true;
  }
  return false;
}

// EvaluateUpdate with the records already on the evaluation path, so that a dependency loop ends.
// A dependency of an offered update is offered with it, whatever its own rollout.
int Evaluate(UpdateRecord& record, const SelectionContext& context, std::unordered_set<const UpdateRecord*>& path,
             bool asDependency) {
  if (record.selected) return kEvaluationNotApplicable;
  if (!IsApplicable(record, context)) {
    record.selected = false;
    return kEvaluationNotApplicable;
  }
  if (context.Installed(record)) return kEvaluationInstalled;
  if (!asDependency && !IsOffered(record, context.rollout)) return kEvaluationNotApplicable;
  path.insert(&record);
  // A needed dependency becomes selected too; its result is not used.
  if (record.dependsOn && path.count(record.dependsOn) == 0) Evaluate(*record.dependsOn, context, path, true);
  record.selected = true;
  return kEvaluationNeeded;
}

void TakeForProcessing(UpdateRecord& record, const SelectionContext& context, ProcessingCounts& counts) {
  record.processing = true;
  ++counts.taken;
  if (context.DownloadState(record) == kDownloadStateNeeded) ++counts.toDownload;
}

const wchar_t* EvaluationText(int evaluation) {
  switch (evaluation) {
    case kEvaluationInstalled:
      return L"installed";
    case kEvaluationNeeded:
      return L"needed";
    default:
      return L"not applicable or already selected";
  }
}

}  // namespace

bool SelectionContext::Installed(const UpdateRecord& record) const {
  if (isInstalled) return isInstalled(record);
  if (!LogWants(kLogTrace)) return IsInstalled(record);
  std::wstring explanation;
  bool installed = IsInstalled(record, &explanation);
  LogFormat(kLogTrace, L"Detection of \"%ls\": %ls.", record.Name.c_str(), explanation.c_str());
  return installed;
}

int SelectionContext::DownloadState(const UpdateRecord& record) const {
  return downloadState ? downloadState(record) : kDownloadStateNeeded;
}

SelectionContext MachineSelectionContext(const std::wstring& applicationName, const std::wstring& applicationVersion) {
  SelectionContext context;
  context.windows = GetWindowsFacts();
  context.applicationName = applicationName;
  if (!ParseVersion(applicationVersion, context.applicationVersion)) context.applicationVersion = VersionNumber{};
  return context;
}

bool IsApplicable(const UpdateRecord& record, const SelectionContext& context) {
  if (context.windows.is64Bit ? record.HasFlag(kUpdateOs32Only) : record.HasFlag(kUpdateOs64)) return false;
  if (!WithinWindowsBounds(WindowsVersionOf(context.windows), record.TargetOsMinVersion, record.TargetOsMaxVersion))
    return false;
  if (!record.UpdatedApplications.empty() && !AnyRangeMatches(record.UpdatedApplications, context)) return false;
  if (!record.UpdatedApplicationVersions.empty() && !AnyConditionHolds(record.UpdatedApplicationVersions, context))
    return false;
  return true;
}

int EvaluateUpdate(UpdateRecord& record, const SelectionContext& context) {
  std::unordered_set<const UpdateRecord*> path;
  return Evaluate(record, context, path, false);
}

bool IsOffered(const UpdateRecord& record, const RolloutContext& rollout) {
  if (!rollout.active) return true;
  bool rampIgnored = false;
  std::uint32_t share = RolloutShare(record, rollout.now, &rampIgnored);
  bool offered = rollout.personAsked ? share != 0 : IsInRolloutShare(rollout.bucket, share);
  if (!offered)
    LogFormat(kLogDebug, L"Update \"%ls\": held back by the staged rollout (bucket %u, share %ls).", record.Name.c_str(),
              rollout.bucket, FormatRolloutShare(share).c_str());
  return offered;
}

std::vector<UpdateRecord*> DependencyChain(const UpdateRecord& record) {
  std::vector<UpdateRecord*> chain;
  std::unordered_set<const UpdateRecord*> visited{&record};
  for (UpdateRecord* next = record.dependsOn; next && visited.insert(next).second; next = next->dependsOn)
    chain.push_back(next);
  return chain;
}

NeededCounts SelectNeededUpdates(UpdateCatalogue& catalogue, const SelectionContext& context) {
  NeededCounts counts;
  for (size_t i = 0; i < catalogue.Count(); ++i) catalogue.At(i).replaced = false;
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    UpdateRecord& record = catalogue.At(i);
    if (record.replaced) continue;
    int evaluation = EvaluateUpdate(record, context);
    LogFormat(kLogDebug, L"Update \"%ls\": %ls.", record.Name.c_str(), EvaluationText(evaluation));
    if (evaluation == kEvaluationInstalled) {
      for (UpdateRecord* replaced : record.replaces) replaced->replaced = true;
      for (UpdateRecord* dependency : DependencyChain(record)) dependency->replaced = true;
      if (record.replacesAll) break;
    } else if (evaluation == kEvaluationNeeded) {
      ++counts.needed;
      if (record.HasFlag(kUpdateCritical)) ++counts.critical;
    }
  }
  return counts;
}

ProcessingCounts MarkForProcessing(UpdateCatalogue& catalogue, bool criticalOnly, const SelectionContext& context) {
  ProcessingCounts counts;
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    UpdateRecord& record = catalogue.At(i);
    if (record.processing || record.replaced || record.deprecated) continue;
    bool critical = record.HasFlag(kUpdateCritical);
    if (criticalOnly && !critical) continue;
    TakeForProcessing(record, context, counts);
    // A critical update brings the updates it depends on, critical or not.
    if (critical)
      for (UpdateRecord* dependency : DependencyChain(record))
        if (!dependency->processing) TakeForProcessing(*dependency, context, counts);
    for (UpdateRecord* replaced : record.replaces) replaced->replaced = true;
    if (record.replacesAll)
      for (size_t later = i + 1; later < catalogue.Count(); ++later) catalogue.At(later).replaced = true;
  }
  return counts;
}

void SelectProcessedUpdates(UpdateCatalogue& catalogue) {
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    UpdateRecord& record = catalogue.At(i);
    record.selected = record.processing;
  }
}

std::vector<UpdateRecord*> DownloadOrder(UpdateCatalogue& catalogue) {
  std::vector<UpdateRecord*> order;
  for (size_t i = 0; i < catalogue.Count(); ++i)
    if (catalogue.At(i).selected) order.push_back(&catalogue.At(i));
  return order;
}

std::vector<UpdateRecord*> InstallOrder(UpdateCatalogue& catalogue) {
  std::vector<UpdateRecord*> order = DownloadOrder(catalogue);
  std::reverse(order.begin(), order.end());
  return order;
}

}  // namespace updater
