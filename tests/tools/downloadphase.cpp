// Test tool: runs the download phase over an updates configuration file with the settings of a client
// configuration file, and prints what the observer saw.
// Usage: downloadphase [options] <client configuration file> <updates configuration file>
// Options: --select SECTION (repeatable; without it every update is selected), --answer N (the answer
//   to the next corrupt-file question, repeatable, in order; afterwards 0), --state-only (print the
//   download states, nothing is downloaded), --progress (print every progress report), --die-after N
//   (terminate this process once N bytes of one file were reported), --die-at-begin ACTION
//   (terminate this process when ACTION begins), --log PATH (trace log).
// Output lines: pid, begin/end/error/progress, state SECTION N, update SECTION 0xSTATUS, result=0x%08X.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "base/logger.h"
#include "catalogue/update_catalogue.h"
#include "config/app_settings.h"
#include "support/tool_support.h"
#include "transfer/download_phase.h"
#include "transfer/download_rules.h"

namespace {

using updater::Result;

class ScriptedObserver : public updater::DownloadObserver {
 public:
  std::vector<Result> answers;
  bool printProgress = false;
  unsigned long long dieAfter = 0;  // 0: never
  int dieAtBegin = -1;

  void BeginAction(int actionId, std::uint32_t totalCount, const wchar_t* name) override {
    std::printf("begin %d %u %ls\n", actionId, totalCount, name ? name : L"-");
    std::fflush(stdout);
    if (actionId == dieAtBegin) Die();
    if (actionId == updater::PAID_DOWNLOAD_FILE) progress_ = 0;
  }
  void EndAction(int actionId, Result state) override {
    std::printf("end %d 0x%X\n", actionId, state);
    std::fflush(stdout);
  }
  void SubActionPerform(std::uint32_t amount) override {
    progress_ += amount;
    if (printProgress) {
      std::printf("progress %llu\n", progress_);
      std::fflush(stdout);
    }
    if (dieAfter != 0 && progress_ >= dieAfter) Die();
  }
  bool IsCanceled() override { return false; }
  bool IsPaused() override { return false; }
  Result Error(const wchar_t* url, Result code, void*) override {
    Result answer = 0;
    if (code == updater::E_UPD_BAD_SHA256 || code == updater::E_UPD_BAD_MD5 || code == updater::E_UPD_WRONG_SIZE) {
      if (!answers.empty()) {
        answer = answers.front();
        answers.erase(answers.begin());
      }
    } else if (updater::IsCertificateError(code)) {
      answer = 1;  // fail
    }
    std::printf("error %ls 0x%X answer %u\n", url ? url : L"-", code, answer);
    std::fflush(stdout);
    return answer;
  }

 private:
  // The abrupt end of a killed process: no destructors, no flushing of the program's own buffers.
  static void Die() {
    std::printf("dying\n");
    std::fflush(stdout);
    ::TerminateProcess(::GetCurrentProcess(), 99);
  }
  unsigned long long progress_ = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  ScriptedObserver observer;
  std::set<std::wstring> selection;
  bool stateOnly = false;
  std::vector<std::wstring> positional;
  tools::Arguments arguments(argc, argv);
  while (arguments.More()) {
    std::wstring arg = arguments.Next();
    auto next = [&arguments] { return arguments.Next(); };
    if (arg == L"--select") selection.insert(next());
    else if (arg == L"--answer") observer.answers.push_back(wcstoul(next().c_str(), nullptr, 0));
    else if (arg == L"--state-only") stateOnly = true;
    else if (arg == L"--progress") observer.printProgress = true;
    else if (arg == L"--die-after") observer.dieAfter = wcstoull(next().c_str(), nullptr, 10);
    else if (arg == L"--die-at-begin") observer.dieAtBegin = _wtoi(next().c_str());
    else if (arg == L"--log") {
      tools::LogEverythingTo(next());
    } else positional.push_back(arg);
  }
  if (positional.size() != 2) {
    std::fprintf(stderr, "usage: downloadphase [options] <client configuration> <updates file>\n");
    return 2;
  }
  std::printf("pid %lu\n", ::GetCurrentProcessId());
  std::fflush(stdout);

  updater::AppSettings settings(positional[0]);
  Result result = settings.Load();
  if (result != updater::kOk) {
    std::printf("settings=0x%08X\n", result);
    return static_cast<int>(result);
  }
  updater::CatalogueSettings catalogueSettings;
  catalogueSettings.appDir = settings.appDir;
  catalogueSettings.downloadsFolder = settings.downloadsFolder;
  catalogueSettings.updatesUrls = settings.urls;
  updater::UpdateCatalogue catalogue(catalogueSettings);
  updater::UpdatesFileReader reader(catalogue, positional[1]);
  result = reader.Load(true, false);
  if (result != updater::kOk) {
    std::printf("load=0x%08X\n", result);
    return static_cast<int>(result);
  }
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    updater::UpdateRecord& update = catalogue.At(i);
    update.selected = selection.empty() || selection.count(update.sectionName) != 0;
  }

  if (stateOnly) {
    for (size_t i = 0; i < catalogue.Count(); ++i) {
      const updater::UpdateRecord& update = catalogue.At(i);
      std::printf("state %ls %d\n", update.sectionName.c_str(), updater::GetDownloadState(update, settings.Store()));
    }
    std::printf("result=0x%08X\n", 0u);
    return 0;
  }

  result = updater::DownloadSelectedUpdates(catalogue, &observer, nullptr, settings);
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    const updater::UpdateRecord& update = catalogue.At(i);
    if (update.selected) std::printf("update %ls 0x%08X\n", update.sectionName.c_str(), update.status);
  }
  std::printf("result=0x%08X\n", result);
  std::fflush(stdout);
  return static_cast<int>(result);
}
