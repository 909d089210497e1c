// What a mode's handler gets from the application object: the run's settings and options, its mode,
// the two instance guards, and the flag a cancelled window sets.
#pragma once

#include "base/instance_guard.h"
#include "config/app_settings.h"
#include "config/command_line.h"

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
