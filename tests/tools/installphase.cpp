// Test tool: runs the installation phase (optionally after the download phase) over an updates
// configuration file with the settings of a client configuration file, and prints what the observer
// saw. The installation is testable this way without a temporary updater copy.
// Usage: installphase [options] <client configuration file> <updates file>
// Options: --select SECTION (repeatable; without it every update is selected), --download (download
//   and verify first), --force-msi-basic-ui, --server SECTION (install that one update the way the
//   privileged server does), --log PATH (trace log).
// Output lines: pid, begin/end/error, update SECTION 0xSTATUS (and message SECTION TEXT for a
// failure), result=0x%08X.
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "base/logger.h"
#include "catalogue/update_catalogue.h"
#include "config/app_settings.h"
#include "install/installer.h"
#include "support/tool_support.h"
#include "transfer/catalogue_services.h"
#include "transfer/download_phase.h"

namespace {

using updater::Result;

class PrintingObserver : public updater::DownloadObserver {
 public:
  void BeginAction(int actionId, std::uint32_t totalCount, const wchar_t* name) override {
    std::printf("begin %d %u %ls\n", actionId, totalCount, name ? name : L"-");
    std::fflush(stdout);
  }
  void EndAction(int actionId, Result state) override {
    std::printf("end %d 0x%X\n", actionId, state);
    std::fflush(stdout);
  }
  void SubActionPerform(std::uint32_t) override {}
  bool IsCanceled() override { return false; }
  bool IsPaused() override { return false; }
  Result Error(const wchar_t*, Result code, void*) override {
    std::printf("error 0x%X\n", code);
    std::fflush(stdout);
    return 0;
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::set<std::wstring> selection;
  bool download = false;
  bool forceMsiBasicUi = false;
  std::wstring serverSection;
  std::vector<std::wstring> positional;
  tools::Arguments arguments(argc, argv);
  while (arguments.More()) {
    std::wstring arg = arguments.Next();
    auto next = [&arguments] { return arguments.Next(); };
    if (arg == L"--select") selection.insert(next());
    else if (arg == L"--download") download = true;
    else if (arg == L"--force-msi-basic-ui") forceMsiBasicUi = true;
    else if (arg == L"--server") serverSection = next();
    else if (arg == L"--log") {
      tools::LogEverythingTo(next());
    } else positional.push_back(arg);
  }
  if (positional.size() != 2) {
    std::fprintf(stderr, "usage: installphase [options] <client configuration> <updates file>\n");
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
  settings.forceMsiBasicUi = forceMsiBasicUi;
  updater::CatalogueSettings catalogueSettings = updater::CatalogueSettingsFor(settings);
  updater::UpdateCatalogue catalogue(catalogueSettings);
  updater::UpdatesFileReader reader(catalogue, positional[1]);
  result = reader.Load(true, false);
  if (result != updater::kOk) {
    std::printf("load=0x%08X\n", result);
    return static_cast<int>(result);
  }
  if (!serverSection.empty()) {
    result = updater::ServerInstallUpdate(serverSection, catalogue, settings.Store());
    std::printf("result=0x%08X\n", result);
    return static_cast<int>(result);
  }
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    updater::UpdateRecord& update = catalogue.At(i);
    update.selected = selection.empty() || selection.count(update.sectionName) != 0;
  }

  PrintingObserver observer;
  if (download) {
    result = updater::DownloadSelectedUpdates(catalogue, &observer, nullptr, settings);
    std::printf("download=0x%08X\n", result);
  }
  result = updater::InstallSelectedUpdates(catalogue, &observer, settings.Store(),
                                           updater::InstallPhaseSettingsOf(settings));
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    const updater::UpdateRecord& update = catalogue.At(i);
    if (!update.selected) continue;
    std::printf("update %ls 0x%08X\n", update.sectionName.c_str(), update.status);
    if (update.status != updater::kOk)
      std::printf("message %ls %ls\n", update.sectionName.c_str(), updater::MessageText(update.status).c_str());
  }
  std::printf("result=0x%08X\n", result);
  std::fflush(stdout);
  return static_cast<int>(result);
}
