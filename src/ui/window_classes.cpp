#include "ui/window_classes.h"

#include <windows.h>
#include <commctrl.h>

#include "base/win_handles.h"

namespace updater {

void PrepareWindowClasses() {
  // Function statics: made once, by whichever thread shows the first window; the library is freed
  // when the process ends.
  static const bool controlsReady = [] {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_COOL_CLASSES};
    return ::InitCommonControlsEx(&controls) != FALSE;
  }();
  static const UniqueLibrary richEdit(::LoadLibraryW(L"RICHED20.DLL"));
  static_cast<void>(controlsReady);
}

}  // namespace updater
