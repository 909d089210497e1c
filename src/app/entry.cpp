#include "app/entry.h"

#include <windows.h>

#include "app/startup_hardening.h"
#include "app/updater_app.h"

namespace updater {

Result RunProcess(const std::wstring& commandLine) {
  HardenDllSearchPath();

  // Forces the windowing library to initialise before the first window of any mode.
  ::DefWindowProcW(nullptr, 0, 0, 0);
  // The common controls and the rich-edit library are made ready by the first window the run shows.

  UpdaterApp app(commandLine);
  Result result = app.Run();
  // The clean-up batch file of a temporary copy waits on the program file the run holds: the
  // system closes it when the process has ended.
  if (app.HoldsProgramFile()) ::ExitProcess(result);
  return result;
}

}  // namespace updater
