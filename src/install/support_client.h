// The client's side of the support service: for an update marked "Advertises", the service is
// started with a fresh channel name and asked to install the update with its own rights.
#pragma once

#include "base/result_codes.h"
#include "catalogue/update_record.h"
#include "config/app_settings.h"
#include "install/channel_objects.h"

namespace updater {

// True when the channel to a started server is open and the installer passed this side's
// signature check; false sends the installation back to this process.
bool UseSupportService(const AppSettings& settings, const UpdateRecord& update, ChannelClient& channel);
// True when the service took the installation, with the server's answer in `result` (0xE0000020
// also when the server ended without answering).
bool InstallThroughSupportService(const AppSettings& settings, UpdateRecord& update, Result& result);

}  // namespace updater
