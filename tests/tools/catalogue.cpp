// Test tool: reads an updates configuration file, a release list (when the client configuration sets
// GitHubUpdates) or a saved selection with the settings of a client configuration file and prints
// its records, optionally with their detection and selection.
// Usage: catalogue [--no-header] [--select] <client configuration file> <updates file>
//   --no-header  read as a saved selection: no ";kxw;" check, the records come selected
//   --select     run the selection walk over this machine's state and print the counts
// Output lines: "settings=0x%08X valid=0x%08X" (the client configuration's load and check), load=0x%08X, then "record <section>|<Name>|flags=0x%X|size=<Size>|selected=<0/1>|
// replaced=<0/1>|installed=<0/1>" per record, then with --select "needed=N critical=N".
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "catalogue/detection.h"
#include "catalogue/github_releases.h"
#include "catalogue/selection.h"
#include "catalogue/update_catalogue.h"
#include "config/app_settings.h"
#include "transfer/catalogue_services.h"

int wmain(int argc, wchar_t** argv) {
  bool checkHeader = true;
  bool select = false;
  std::vector<std::wstring> positional;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--no-header") checkHeader = false;
    else if (arg == L"--select") select = true;
    else positional.push_back(arg);
  }
  if (positional.size() != 2) {
    std::fprintf(stderr, "usage: catalogue [--no-header] [--select] <client configuration> <updates file>\n");
    return 2;
  }
  updater::AppSettings settings(positional[0]);
  updater::Result loaded = settings.Load();
  std::printf("settings=0x%08X valid=0x%08X\n", loaded, settings.Validate());
  updater::CatalogueSettings catalogueSettings = updater::CatalogueSettingsFor(settings);
  // A file without the marker is a saved selection: its records are the chosen ones.
  catalogueSettings.readsSavedSelection = !checkHeader;
  updater::UpdateCatalogue catalogue(catalogueSettings);
  updater::Result result = updater::OpenDownloadedCatalogue(catalogue, positional[1])->Load(checkHeader, false);
  std::printf("load=0x%08X\n", result);
  updater::NeededCounts counts;
  if (select)
    counts = updater::SelectNeededUpdates(
        catalogue, updater::MachineSelectionContext(settings.applicationName, settings.applicationVersion));
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    const updater::UpdateRecord& record = catalogue.At(i);
    std::printf("record %ls|%ls|flags=0x%X|size=%u|selected=%d|replaced=%d|installed=%d\n", record.sectionName.c_str(),
                record.Name.c_str(), record.Flags.Value(), record.Size, record.selected ? 1 : 0,
                record.replaced ? 1 : 0, updater::IsInstalled(record) ? 1 : 0);
  }
  if (select) std::printf("needed=%u critical=%u\n", counts.needed, counts.critical);
  std::fflush(stdout);
  return static_cast<int>(result);
}
