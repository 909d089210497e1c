// What the updates catalogue needs from the run's settings and services.
#pragma once

#include "catalogue/update_record.h"
#include "config/app_settings.h"

namespace updater {

// The catalogue's view of the run: folders, the updates-file URLs, the client flags, the trust check
// of custom detection programs (signed like this updater) and the "LastModified" reset.
CatalogueSettings CatalogueSettingsFor(const AppSettings& settings);

}  // namespace updater
