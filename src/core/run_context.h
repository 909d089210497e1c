// What a mode's handler gets from the application object: the run's settings and options, its mode,
// the two instance guards, and the flag a cancelled window sets.
#pragma once

#include "config/app_settings.h"
#include "core/command_line.h"
#include "core/instance_guard.h"

namespace updater {

struct RunContext {
  AppSettings& settings;
  const RunOptions& options;
  RunMode mode;
  InstanceGuard& checkGuard;
  InstanceGuard& installGuard;
  bool& dialogCancelled;
};

}  // namespace updater
