// The just-check modes ("/justcheck", with "-critical"): count the updates that apply and end with 0
// when there are some, else 0xE0000011; optionally write them to a dump file.
#pragma once

#include "core/result_codes.h"
#include "core/run_context.h"

namespace updater {

Result RunJustCheck(RunContext& run);

}  // namespace updater
