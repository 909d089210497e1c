#include "ui/configure_run.h"

#include "core/logger.h"
#include "ui/update_options_dialog.h"

namespace updater {

Result RunConfigure(AppSettings& settings, HWND parentWindow) {
  HWND owner = ::GetActiveWindow();
  if (parentWindow && ::IsWindow(parentWindow) && ::GetWindowTextLengthW(parentWindow) > 0) owner = parentWindow;
  bool accepted = ShowUpdateOptions(owner, settings);
  Log(kLogDebug, accepted ? L"Update Options accepted." : L"Update Options closed without changes.");
  return kOk;
}

}  // namespace updater
