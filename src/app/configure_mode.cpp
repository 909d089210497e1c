#include "app/run_modes.h"

#include "base/logger.h"
#include "ui/update_options_dialog.h"

namespace updater {

Result RunConfigure(RunContext& run) {
  HWND owner = ::GetActiveWindow();
  HWND parentWindow = run.options.parentWindow;
  if (parentWindow && ::IsWindow(parentWindow) && ::GetWindowTextLengthW(parentWindow) > 0) owner = parentWindow;
  bool accepted = ShowUpdateOptions(owner, run.settings);
  Log(kLogDebug, accepted ? L"Update Options accepted." : L"Update Options closed without changes.");
  return kOk;
}

}  // namespace updater
