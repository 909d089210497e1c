// Test tool: prints what the service control manager knows of one service, for the support-service
// tests. Usage: svcquery <service name>. Output lines (UTF-8):
//   name=<display name>
//   binary=<command line>
//   type=<service type> start=<start type> error=<error control> account=<account>
//   description=<description>
//   dacl=<the access list in SDDL form>
// Exit code 0; when a call fails, the line "error=<Windows error>" (1060 for no such service) and
// exit code 1.
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/win_handles.h"
#include "support/tool_support.h"

namespace {

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: svcquery <service name>\n");
    return 2;
  }
  auto fail = [] {
    tools::PrintLine(L"error=" + std::to_wstring(::GetLastError()));
    return 1;
  };
  updater::UniqueServiceHandle managerOwner(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!managerOwner) return fail();
  updater::UniqueServiceHandle serviceOwner(
      ::OpenServiceW(managerOwner.Get(), argv[1], SERVICE_QUERY_CONFIG | READ_CONTROL));
  if (!serviceOwner) return fail();
  SC_HANDLE service = serviceOwner.Get();
  DWORD needed = 0;
  ::QueryServiceConfigW(service, nullptr, 0, &needed);
  std::vector<unsigned char> buffer(needed + 16);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) return fail();
  tools::PrintLine(std::wstring(L"name=") + (config->lpDisplayName ? config->lpDisplayName : L""));
  tools::PrintLine(std::wstring(L"binary=") + (config->lpBinaryPathName ? config->lpBinaryPathName : L""));
  tools::PrintLine(L"type=" + std::to_wstring(config->dwServiceType) + L" start=" + std::to_wstring(config->dwStartType) +
        L" error=" + std::to_wstring(config->dwErrorControl) + L" account=" +
        (config->lpServiceStartName ? config->lpServiceStartName : L""));
  needed = 0;
  ::QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
  std::vector<unsigned char> text(needed + 16);
  auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(text.data());
  if (::QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, text.data(), static_cast<DWORD>(text.size()), &needed))
    tools::PrintLine(std::wstring(L"description=") + (description->lpDescription ? description->lpDescription : L""));
  needed = 0;
  ::QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  std::vector<unsigned char> security(needed + 16);
  if (::QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, security.data(), static_cast<DWORD>(security.size()),
                                   &needed)) {
    LPWSTR sddl = nullptr;
    if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(security.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                               &sddl, nullptr)) {
      updater::UniqueLocalMem text(sddl);
      tools::PrintLine(std::wstring(L"dacl=") + sddl);
    }
  } else {
    tools::PrintLine(L"dacl-error=" + std::to_wstring(::GetLastError()));
  }
  return 0;
}
