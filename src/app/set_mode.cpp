#include "app/run_modes.h"

#include "transfer/credentials.h"

namespace updater {

Result RunSet(RunContext& run) {
  const std::wstring appId = run.settings.id;
  return run.settings.ApplySet(run.options.setName, run.options.setValue, run.options.setValue2,
                               [appId](const std::wstring& user, const std::wstring& password) {
                                 return RememberPasswordCommand(HKEY_CURRENT_USER, appId, user, password);
                               });
}

}  // namespace updater
