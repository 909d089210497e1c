#include "app/run_modes.h"

#include "base/logger.h"
#include "base/process.h"
#include "base/text_util.h"

namespace updater {

// The toast's link: opened as the shell opens it.
Result RunToastLink(RunContext& run) {
  const RunOptions& options = run.options;
  ShellOpen open;
  open.file = options.linkTarget;
  open.parameters = options.linkParameters;
  Result opened = OpenWithShell(open);
  if (opened != kOk) LogError(L"Cannot open " + options.linkTarget, opened);
  return kOk;
}

// "purgenotifseen <ID> <message id>": the message may be shown again.
Result RunToastCommand(RunContext& run) {
  const RunOptions& options = run.options;
  if (LowerAscii(options.toastCommand) == L"purgenotifseen" && !options.toastArg1.empty() && !options.toastArg2.empty()) {
    SettingsStore store(HKEY_CURRENT_USER, options.toastArg1);
    store.DeleteValue(SettingsKey::kMessages, options.toastArg2);
  }
  return kOk;
}

}  // namespace updater
