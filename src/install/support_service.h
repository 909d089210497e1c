// The support service: the updater registered with the service control manager to run as
// LocalSystem, so that a standard user's updater can have an installation done for it. Its
// registration, the access that lets such a user start it, and its removal.
#pragma once

#include <windows.h>

#include <string>

#include "base/result_codes.h"
#include "base/win_handles.h"
#include "config/app_settings.h"

namespace updater {

// The name of the service (also its display name): the client configuration's "SupportServiceName",
// else the executable's file name without its extension.
std::wstring SupportServiceName(const AppSettings& settings, const std::wstring& executablePath);
// "<name> support service" with the executable's file name without its extension.
std::wstring SupportServiceDescription(const std::wstring& executablePath);
// The registered command line: the executable's path in quotes (a path with blanks is never read
// as a shorter program), a blank and "/runservice".
std::wstring SupportServiceCommandLine(const std::wstring& executablePath);

// Registers the service (own process, started on demand, normal error control, LocalSystem) with
// its description: 0 or the Windows error.
Result CreateSupportService(const std::wstring& name, const std::wstring& executablePath);
// Removes it: 0 or the Windows error.
Result DeleteSupportService(const std::wstring& name);
// Adds to the service's access list the right to start it and to query its status for the users
// who are logged on interactively, and nothing else: 0, or 0xE000001B when it cannot be done (an
// absent service included).
Result GrantSupportServiceAccess(const std::wstring& name);

// The rights granted to interactive users (SERVICE_START | SERVICE_QUERY_STATUS).
inline constexpr unsigned long kGrantedServiceRights = 0x0010 | 0x0004;

// The access list of `present` with those rights added for interactive users: 0 and the new list
// in `merged` (LocalAlloc'ed), or the Windows error.
Result ExtendServiceAccessList(PSECURITY_DESCRIPTOR present, UniqueLocalMem& merged);

}  // namespace updater
