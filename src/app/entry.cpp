#include "app/entry.h"

#include <windows.h>
#include <commctrl.h>

#include "app/startup_hardening.h"
#include "app/updater_app.h"
#include "base/win_handles.h"

namespace updater {

Result RunProcess(const std::wstring& commandLine) {
  HardenDllSearchPath();

  ComInitialization com(COINIT_APARTMENTTHREADED);
  // Forces the windowing library to initialise before the first window of any mode.
  ::DefWindowProcW(nullptr, 0, 0, 0);
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_COOL_CLASSES};
  ::InitCommonControlsEx(&controls);
  UniqueLibrary richEdit(::LoadLibraryW(L"RICHED20.DLL"));

  UpdaterApp app(commandLine);
  Result result = app.Run();
  // The clean-up batch file of a temporary copy waits on the program file the run holds: the
  // system closes it when the process has ended.
  if (app.HoldsProgramFile()) ::ExitProcess(result);
  return result;
}

}  // namespace updater
