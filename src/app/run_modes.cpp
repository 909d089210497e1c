#include "app/run_modes.h"

#include <iterator>

namespace updater {
namespace {

struct ModeEntry {
  RunMode mode;
  ModeHandler handler;
};

constexpr ModeEntry kModes[] = {
    {RunMode::CheckNow, RunCheckNow},
    {RunMode::Silent, RunSilentCheck},
    {RunMode::SilentAll, RunSilentCheck},
    {RunMode::SilentCritical, RunSilentCheck},
    {RunMode::Configure, RunConfigure},
    {RunMode::InstallInteractive, RunInstall},
    {RunMode::InstallSilent, RunInstall},
    {RunMode::InstallSilentAll, RunInstall},
    {RunMode::InstallSilentCritical, RunInstall},
    {RunMode::Clean, RunClean},
    {RunMode::JustCheck, RunJustCheck},
    {RunMode::JustCheckCritical, RunJustCheck},
    {RunMode::RunService, RunService},
    {RunMode::DebugService, RunDebugService},
    {RunMode::InstallService, RunInstallService},
    {RunMode::ConfigService, RunConfigService},
    {RunMode::UninstallService, RunUninstallService},
    {RunMode::RunServer, RunServer},
    {RunMode::Set, RunSet},
    {RunMode::Automation, RunAutomation},
    {RunMode::ToastLink, RunToastLink},
    {RunMode::ToastCommand, RunToastCommand},
};
// Every mode from 0 to the last but the unused 5.
static_assert(std::size(kModes) == static_cast<int>(RunMode::ToastCommand), "one entry per mode");

}  // namespace

ModeHandler HandlerOf(RunMode mode) {
  for (const ModeEntry& entry : kModes)
    if (entry.mode == mode) return entry.handler;
  return nullptr;
}

}  // namespace updater
