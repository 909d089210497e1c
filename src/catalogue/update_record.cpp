#include "catalogue/update_record.h"

namespace updater {

FlagSet MakeUpdateFlags() {
  // The spelling "UnsafeCutomDetection" is the word publishers write.
  return FlagSet({{L"Critical", kUpdateCritical},
                  {L"Major", kUpdateMajor},
                  {L"SilentInstall", kUpdateSilentInstall},
                  {L"Sys64", kUpdateSys64},
                  {L"NoCache", kUpdateNoCache},
                  {L"Os32Only", kUpdateOs32Only},
                  {L"Os64", kUpdateOs64},
                  {L"Advertises", kUpdateAdvertises},
                  {L"NotSelected", kUpdateNotSelected},
                  {L"IsPatch", kUpdateIsPatch},
                  {L"SingleUpdate", kUpdateSingleUpdate},
                  {L"NoRedetect", kUpdateNoRedetect},
                  {L"UnsafeCutomDetection", kUpdateUnsafeCustomDetection}},
                 L'|');
}

FlagSet MakeRestartFlags() {
  return FlagSet({{L"NoRestart", kRestartNo}, {L"AlwaysRestart", kRestartAlways}, {L"QueryEndSession", kRestartQueryEndSession}},
                 L'|');
}

}  // namespace updater
