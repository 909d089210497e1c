// Test tool: a client of the support service's command channel that says whatever the test wants,
// as a hostile or careless standard user could. It starts the service with a fresh channel name,
// waits for the server and sends one command of four fields.
// Usage: channelclient <service name> <command> <section> <client configuration path> <url>
// Prints "result=<decimal>" (the server's answer) and exits 0; "error=<step> <code>" and exit 1
// when the service or the channel cannot be reached.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "base/win_handles.h"
#include "install/channel_objects.h"
#include "install/command_channel.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: channelclient <service> <command> <section> <config> <url>\n");
    return 2;
  }
  GUID guid{};
  ::CoCreateGuid(&guid);
  std::wstring base = updater::GuidBaseName(guid);
  updater::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  updater::UniqueServiceHandle service(
      manager ? ::OpenServiceW(manager.Get(), argv[1], SERVICE_START | SERVICE_QUERY_STATUS) : nullptr);
  // The service's previous run may still be ending.
  for (int attempt = 0; service && attempt < 300; ++attempt) {
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(service.Get(), &status) || status.dwCurrentState == SERVICE_STOPPED) break;
    ::Sleep(100);
  }
  const wchar_t* arguments[] = {base.c_str()};
  if (!service || !::StartServiceW(service.Get(), 1, arguments)) {
    std::printf("error=start %lu\n", ::GetLastError());
    return 1;
  }
  updater::ChannelClient channel;
  channel.SetObjectNames(base);
  if (!channel.WaitForServerToBecomeReady() || !channel.Open()) {
    std::printf("error=channel %lu\n", ::GetLastError());
    return 1;
  }
  updater::Result result = channel.SendCommand(updater::ChannelCommand{{argv[2], argv[3], argv[4], argv[5]}});
  std::printf("result=%lu\n", static_cast<unsigned long>(result));
  return 0;
}
