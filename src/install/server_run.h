// "/runserver": the copy of the updater that the support service starts. It opens the command
// channel named by the service's client, takes one command and runs it with the service's rights,
// refusing everything that is not exactly an installation of a verified installer of the
// updater's own publisher from the downloads folder the service was set up for.
#pragma once

#include <string>

#include "config/app_settings.h"
#include "core/result_codes.h"
#include "install/command_channel.h"

namespace updater {

// The checks the server makes before it runs anything, given the facts it found.
struct ServerCommandFacts {
  bool updaterSigned = false;        // the running updater carries a trusted signature
  std::wstring configPath;           // the service's client configuration
  std::vector<std::wstring> urls;    // its updates file URLs
};
// 0 when the command may go on to the installation, else 0xE0000020 (logged with the reason).
Result CheckServerCommand(const ChannelCommand& command, const ServerCommandFacts& facts);

// The command of a client: the checks, then the update's installer after its own checks.
Result HandleServerCommand(const AppSettings& settings, const ChannelCommand& command);

// Mode 18: 0 when the channel was created (served or not), else 0xE000000B.
Result RunServer(const AppSettings& settings, const std::wstring& ipcObjNameBase);

}  // namespace updater
