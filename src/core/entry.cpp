#include "core/entry.h"

#include <windows.h>
#include <commctrl.h>

#include "core/startup_hardening.h"
#include "core/updater_app.h"
#include "core/win_handles.h"

namespace updater {

Result RunProcess(const std::wstring& commandLine) {
  HardenDllSearchPath();

  ComInitialization com(COINIT_APARTMENTTHREADED);
  // Forces the windowing library to initialise before the first window of any mode.
  ::DefWindowProcW(nullptr, 0, 0, 0);
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_COOL_CLASSES};
  ::InitCommonControlsEx(&controls);
  UniqueLibrary richEdit(::LoadLibraryW(L"RICHED20.DLL"));

  Result result;
  {
    UpdaterApp app(commandLine);
    result = app.Run();
  }
  return result;
}

}  // namespace updater
