#include "app/run_modes.h"

#include <windows.h>
#include <oleauto.h>

#include "automation/automation_objects.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/win_handles.h"

namespace updater {
namespace {

constexpr DWORD kIdleLimitMs = 60000;
constexpr DWORD kPollMs = 100;

using LocalRegisterProxyStubFn = HRESULT(STDAPICALLTYPE*)();

}  // namespace

Result RunAutomation(RunContext& run) {
  AppSettings& settings = run.settings;
  const RunOptions& options = run.options;
  CLSID classId{};
  std::wstring text = options.clsid;
  if (settings.Validate() != kOk || text.empty() || FAILED(::CLSIDFromString(text.data(), &classId))) {
    Log(kLogError, L"The automation server needs a complete client configuration and a valid -clsid.");
    return E_UPD_CLIENT_CONFIG;
  }
  AutomationServer& server = Automation();
  server.settings = &settings;
  server.thread = ::GetCurrentThreadId();
  HRESULT loaded = ::LoadTypeLibEx(ExecutablePath().c_str(), REGKIND_NONE, &server.typeLibrary);
  if (FAILED(loaded)) {
    LogError(L"The type library could not be loaded.", static_cast<Result>(loaded));
    return static_cast<Result>(loaded);
  }
  IClassFactory* factory = NewClassFactory();
  DWORD cookie = 0;
  HRESULT registered = factory ? ::CoRegisterClassObject(classId, factory, CLSCTX_LOCAL_SERVER,
                                                         REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie)
                               : E_OUTOFMEMORY;
  Result result = kOk;
  UniqueLibrary proxyStub;
  if (FAILED(registered)) {
    LogError(L"The class object could not be registered.", static_cast<Result>(registered));
    result = static_cast<Result>(registered);
  } else if (options.registerProxyStub) {
    std::wstring path = FolderOf(ExecutablePath()) + L"\\Updater-comproxystub.dll";
    proxyStub.Reset(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    auto registerProxyStub = proxyStub ? reinterpret_cast<LocalRegisterProxyStubFn>(
                                             ::GetProcAddress(proxyStub.Get(), "LocalRegisterProxyStub"))
                                       : nullptr;
    if (!registerProxyStub || FAILED(registerProxyStub())) {
      Log(kLogError, L"The proxy-stub library could not register its interfaces: " + path);
      result = static_cast<Result>(E_FAIL);
    }
  }
  if (result == kOk) {
    ::CoResumeClassObjects();
    LARGE_INTEGER frequency{}, started{}, now{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&started);
    MSG message{};
    for (;;) {
      if (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) break;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
        continue;
      }
      ::Sleep(kPollMs);
      if (server.objectCreated) continue;
      ::QueryPerformanceCounter(&now);
      if ((now.QuadPart - started.QuadPart) * 1000 / frequency.QuadPart > kIdleLimitMs) {
        Log(kLogInfo, L"No automation object was created within 60 seconds.");
        result = static_cast<Result>(E_ABORT);
        break;
      }
    }
  }
  server.typeLibrary->Release();
  server.typeLibrary = nullptr;
  if (cookie) ::CoRevokeClassObject(cookie);
  if (factory) factory->Release();
  if (proxyStub) {
    auto unregisterProxyStub = reinterpret_cast<LocalRegisterProxyStubFn>(
        ::GetProcAddress(proxyStub.Get(), "LocalUnregisterProxyStub"));
    if (unregisterProxyStub) unregisterProxyStub();
    // The apartment keeps the stubs it made from the library until COM ends for this thread,
    // after this run: unloading the code under them now would crash that ending. The process
    // ends right after, and the library with it.
    proxyStub.Release();
  }
  server.settings = nullptr;
  return result;
}

}  // namespace updater
