#include "core/entry.h"

namespace updater {

Result RunProcess(const std::wstring& commandLine) {
  return commandLine.empty() ? E_UPD_COMMAND_LINE : kOk;
}

}  // namespace updater
