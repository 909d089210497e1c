// Installing the selected updates: each verified installer is started with the command line its
// type needs, waited for, and judged by detecting the update again; the oldest update goes first so
// that dependencies are in place. The privileged server's own way of starting installers is here
// too.
#pragma once

#include <functional>
#include <string>

#include "base/result_codes.h"
#include "catalogue/update_catalogue.h"
#include "catalogue/update_record.h"
#include "config/app_settings.h"
#include "config/run_results.h"
#include "config/settings_store.h"
#include "transfer/download_observer.h"

namespace updater {

enum class InstallerType { kMsi, kMsp, kAppPackage, kExecutable };

// ---- Pure rules ----

// By the text after the last dot of the file name, case ignored.
InstallerType InstallerTypeOf(const std::wstring& path);
// The parameters of a client-side start: the update's command line, with " /qb" added for Windows
// Installer packages when the basic interface is forced and the command line does not ask for it.
std::wstring ClientInstallerParameters(const std::wstring& installerPath, const std::wstring& commandLine,
                                       bool forceMsiBasicUi);
// The script that installs an app package; its exit code is the number of errors.
std::wstring AppPackageScript(const std::wstring& packagePath);
// The parameters the privileged server gives an executable: "/exenoui [command line] /qn" when the
// no-interface switch holds the word /exenoui, else the command line, a blank and the switch.
std::wstring ServerExecutableParameters(const std::wstring& commandLine, const std::wstring& noGuiSwitch);
// A msiexec command line: the format ("\"%s\" /i \"%s\" /qn" or with /p) filled with "msiexec.exe"
// and the package, then a blank and the extra command line when there is one.
std::wstring MsiexecCommandLine(const std::wstring& format, const std::wstring& packagePath,
                                const std::wstring& extra);
// Whether a window of an application to close is meant: every titled window when the entry names
// no title, else the windows whose title contains it (case ignored).
bool WindowTitleMatches(const std::wstring& windowTitle, const std::wstring& wanted);
// Whether an application closed for the installation is started again afterwards.
bool RestartNeeded(const AutoCloseEntry& entry, bool wasRunning);

// ---- The phase ----

// What the phase takes from the run and the services it uses; empty services use the real ones.
struct InstallPhaseSettings {
  bool verifyDigitalSignature = false;  // client flag VerifyDigitalSignature
  bool forceMsiBasicUi = false;
  bool noUpdaterInstallGui = false;     // client flag NoUpdaterInstallGUI
  // 0 when the installer is signed like the running updater (or the updater is unsigned).
  std::function<Result(const std::wstring& installerPath)> verifySignature;
  std::function<bool(const UpdateRecord&)> isInstalled;
  std::function<int(const UpdateRecord&)> downloadState;
  // The support service: true when it took the installation, with its result in `result`.
  std::function<bool(UpdateRecord& update, Result& result)> supportService;
};
InstallPhaseSettings InstallPhaseSettingsOf(const AppSettings& settings);

// One update: 0 or an error, which is also left in `update.status`.
Result InstallUpdate(UpdateRecord& update, DownloadObserver* observer, const SettingsStore& store,
                     const InstallPhaseSettings& settings);
// Every selected, downloaded update, the last index first. Returns 0 or the last error; the loop goes
// on after a failure. The updates are locked under "Updates\Locks" while the phase runs.
Result InstallSelectedUpdates(UpdateCatalogue& catalogue, DownloadObserver* observer, const SettingsStore& store,
                              const InstallPhaseSettings& settings);

// How an update ended, for the results on the machine.
UpdateOutcome OutcomeOf(const UpdateRecord& update);
// The updates an installing run touched: those the installation reached and those whose download
// failed.
std::vector<UpdateOutcome> InstallOutcomes(const UpdateCatalogue& catalogue);

// Starts the installer in this process's context: 0 or a Win32 error (0xE000002C for an app
// package whose script failed). With `wait`, waits without limit and gives the exit code.
Result RunInstaller(const UpdateRecord& update, bool forceMsiBasicUi, bool wait, DWORD* exitCode);

// ---- The privileged server ----

// msiexec from the system folder with the command line above, after the package's signature check.
Result RunMsiexec(const std::wstring& format, const std::wstring& packagePath, const std::wstring& extra);
// The executable with "\"path\" parameters", after its signature check.
Result RunExecutable(const std::wstring& path, const std::wstring& parameters);
// Installs one downloaded update of the server's catalogue by its section name.
Result ServerInstallUpdate(const std::wstring& sectionName, UpdateCatalogue& catalogue, const SettingsStore& store);

}  // namespace updater
