// Updater-comproxystub.dll: the proxies and stubs of the automation interfaces (table-driven, made
// by widl), for hosts and servers that marshal them without the type library. The export
// "LocalRegisterProxyStub" registers them for the calling process only; the automation server
// calls it when started with -registerproxystub.
#include <windows.h>
#include <objbase.h>

#include "morvask_updater.h"

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID classId, REFIID iid, void** object);

namespace {

// The class of the proxy-stub factory (PROXY_CLSID_IS in the build gives the same value).
const CLSID kProxyStubClass = {0xEE39AF8F, 0x71B6, 0x41AC, {0x90, 0x2D, 0xBD, 0xBC, 0x73, 0x42, 0xA9, 0xD0}};

DWORD registration = 0;

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE LocalRegisterProxyStub() {
  if (registration) return S_OK;
  IUnknown* factory = nullptr;
  HRESULT result = DllGetClassObject(kProxyStubClass, IID_IUnknown, reinterpret_cast<void**>(&factory));
  if (FAILED(result)) return result;
  result = ::CoRegisterClassObject(kProxyStubClass, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &registration);
  factory->Release();
  if (FAILED(result)) return result;
  const IID* interfaces[] = {&__uuidof(IMorvaskUpdaterCallback), &__uuidof(IMorvaskUpdater),
                             &__uuidof(IMorvaskUpdates), &__uuidof(IMorvaskUpdateInfo)};
  for (const IID* iid : interfaces) {
    result = ::CoRegisterPSClsid(*iid, kProxyStubClass);
    if (FAILED(result)) return result;
  }
  return S_OK;
}

// Ends what LocalRegisterProxyStub registered: the factory is no longer handed out. Interfaces the
// process marshalled keep their proxies and stubs until the apartment ends.
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE LocalUnregisterProxyStub() {
  if (!registration) return S_FALSE;
  HRESULT result = ::CoRevokeClassObject(registration);
  registration = 0;
  return result;
}
