// Test tool: a host application of the updater's automation server. It registers the local server
// and the type library (as a publisher's installer would), creates the object out of process,
// registers a callback of its own and runs the steps it is given, printing what it saw.
// Usage: comclient <updater.exe path> [--proxystub | --localproxystub <dll>] STEP...
//   --register            only registers the server, its type library and the ProgID
//                         "MorvaskUpdater.MorvaskUpdater" (for script hosts): "registered"
//   --proxystub           the registered server command line adds -registerproxystub
//   --localproxystub <dll> this host registers that library's proxies and stubs for itself first:
//                         "localproxystub hr=<hex>"
//   check                 CheckForUpdates: "check hr=<hex> count=<n> download=<n> ret=<hex> list=<0|1>"
//   info <i>              GetUpdateInfo and every IMorvaskUpdateInfo method: "info hr=<hex> name=... display=...
//                         version=... size=<n> basic=<display>|<version>|<size> state=<n>" or "info hr=<hex>"
//   select <i> <0|1>      SelectForInstall
//   download              DownloadUpdates: "download hr=<hex> ret=<hex>"
//   launch <i>            LaunchInstaller: "launch hr=<hex> ret=<hex>"
//   error <code>          GetErrorDescription: "error text=<text>"
//   dispatch <code>       the same through IDispatch (GetIDsOfNames, Invoke): "dispatch hr=<hex> text=<text>"
//   hold <gate>           the next callback call waits for the file <gate> ("cb held", "cb released")
//   cancel <bytes>        from now on IsCanceled answers true once that many bytes were reported
//   release               releases every object (the server then ends)
// Callback lines: "cb register <id> <count>", "cb begin <id>", "cb end <id> <state hex>", "cb error <hex>";
// progress is summed per action and printed at its end as "cb progress <id> <total>".
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>

#include "morvask_updater.h"
#include "support/tool_support.h"

namespace {

const CLSID kClass = {0x169CF221, 0x57E4, 0x4FCF, {0xBC, 0x3B, 0xA3, 0xB6, 0xB3, 0xA3, 0xBB, 0x52}};

std::wstring Hex(long value) {
  wchar_t text[16];
  swprintf(text, 16, L"%08lX", static_cast<unsigned long>(value));
  return text;
}

std::wstring Take(BSTR text) {
  std::wstring copy = text ? text : L"";
  ::SysFreeString(text);
  return copy;
}

class Callback final : public IMorvaskUpdaterCallback {
 public:
  virtual ~Callback() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == __uuidof(IMorvaskUpdaterCallback)) {
      *object = static_cast<IMorvaskUpdaterCallback*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(::InterlockedDecrement(&references_)); }
  HRESULT STDMETHODCALLTYPE RegisterAction(int id, int count) override {
    Gate();
    tools::PrintLine(L"cb register " + std::to_wstring(id) + L" " + std::to_wstring(count));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE BeginAction(int id) override {
    Gate();
    tools::PrintLine(L"cb begin " + std::to_wstring(id));
    action_ = id;
    progress_[id] = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SubActionPerform(int progress) override {
    progress_[action_] += progress;
    reported_ += progress;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EndAction(int id, int state) override {
    if (progress_.count(id)) tools::PrintLine(L"cb progress " + std::to_wstring(id) + L" " + std::to_wstring(progress_[id]));
    tools::PrintLine(L"cb end " + std::to_wstring(id) + L" " + Hex(state));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsCanceled(boolean* cancelled) override {
    *cancelled = cancelAfter_ >= 0 && reported_ >= cancelAfter_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Error(int code) override {
    tools::PrintLine(L"cb error " + Hex(code));
    return S_OK;
  }
  // The next callback call writes "<gate>.ready" and waits (at most 60 s) for the file <gate>: the
  // server stays inside this host's call meanwhile.
  void HoldAt(const std::wstring& gate) { gate_ = gate; }
  void CancelAfter(long long bytes) {
    cancelAfter_ = bytes;
    reported_ = 0;
  }

 private:
  LONG references_ = 1;
  int action_ = 0;
  std::map<int, long long> progress_;
  long long reported_ = 0;
  long long cancelAfter_ = -1;
  std::wstring gate_;

  void Gate() {
    if (gate_.empty()) return;
    std::wstring gate = gate_;
    gate_.clear();
    HANDLE ready = ::CreateFileW((gate + L".ready").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready != INVALID_HANDLE_VALUE) ::CloseHandle(ready);
    tools::PrintLine(L"cb held");
    for (int waited = 0; waited < 600 && ::GetFileAttributesW(gate.c_str()) == INVALID_FILE_ATTRIBUTES; ++waited)
      ::Sleep(100);
    tools::PrintLine(L"cb released");
  }
};

bool Register(const std::wstring& updater, bool proxyStub) {
  wchar_t classText[64];
  ::StringFromGUID2(kClass, classText, 64);
  std::wstring key = std::wstring(L"Software\\Classes\\CLSID\\") + classText + L"\\LocalServer32";
  std::wstring command = L"\"" + updater + L"\" /automation -clsid " + classText +
                        (proxyStub ? L" -registerproxystub" : L"") + L" -Embedding";
  HKEY opened = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &opened, nullptr) !=
      ERROR_SUCCESS)
    return false;
  ::RegSetValueExW(opened, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                   static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(opened);
  ITypeLib* library = nullptr;
  if (FAILED(::LoadTypeLibEx(updater.c_str(), REGKIND_REGISTER, &library))) return false;
  library->Release();
  // The library's locale is 1033; the type-library marshaller asks for the neutral locale, as a
  // publisher's registration file gives it too.
  std::wstring neutral = L"Software\\Classes\\TypeLib\\{061AAF5B-7AE9-4740-9623-3A4A5E8BFF01}\\1.0\\0\\win32";
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, neutral.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &opened, nullptr) !=
      ERROR_SUCCESS)
    return false;
  ::RegSetValueExW(opened, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(updater.c_str()),
                   static_cast<DWORD>((updater.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(opened);
  // The name script hosts create the object by.
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\MorvaskUpdater.MorvaskUpdater\\CLSID", 0, nullptr, 0,
                        KEY_WRITE, nullptr, &opened, nullptr) != ERROR_SUCCESS)
    return false;
  ::RegSetValueExW(opened, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(classText),
                   static_cast<DWORD>((std::wcslen(classText) + 1) * sizeof(wchar_t)));
  ::RegCloseKey(opened);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int first = 2;
  bool proxyStub = argc > 2 && std::wstring(argv[2]) == L"--proxystub";
  if (proxyStub) first = 3;
  if (argc > 3 && std::wstring(argv[2]) == L"--localproxystub") {
    first = 4;
    HMODULE library = ::LoadLibraryW(argv[3]);
    auto entry = library ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(::GetProcAddress(library, "LocalRegisterProxyStub"))
                         : nullptr;
    tools::PrintLine(L"localproxystub hr=" + Hex(entry ? entry() : E_FAIL));
  }
  bool registerOnly = argc > 2 && std::wstring(argv[2]) == L"--register";
  if (!Register(argv[1], proxyStub)) {
    tools::PrintLine(L"register failed");
    return 1;
  }
  if (registerOnly) {
    tools::PrintLine(L"registered");
    return 0;
  }
  IMorvaskUpdater* updater = nullptr;
  HRESULT created = ::CoCreateInstance(kClass, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(IMorvaskUpdater),
                                       reinterpret_cast<void**>(&updater));
  tools::PrintLine(L"create hr=" + Hex(created));
  if (FAILED(created)) return 1;
  Callback callback;
  tools::PrintLine(L"callback hr=" + Hex(updater->RegisterCallback(&callback)));
  IMorvaskUpdates* list = nullptr;
  for (int i = first; i < argc; ++i) {
    std::wstring step = argv[i];
    auto next = [&]() { return i + 1 < argc ? std::wstring(argv[++i]) : std::wstring(); };
    if (step == L"check") {
      int count = -1, download = -1, ret = -1;
      if (list) list->Release();
      list = nullptr;
      HRESULT hr = updater->CheckForUpdates(&count, &download, &ret, &list);
      tools::PrintLine(L"check hr=" + Hex(hr) + L" count=" + std::to_wstring(count) + L" download=" + std::to_wstring(download) +
            L" ret=" + Hex(ret) + L" list=" + (list ? L"1" : L"0"));
    } else if (step == L"info") {
      int index = std::stoi(next());
      IMorvaskUpdateInfo* info = nullptr;
      HRESULT hr = list ? list->GetUpdateInfo(index, &info) : E_POINTER;
      if (FAILED(hr) || !info) {
        tools::PrintLine(L"info hr=" + Hex(hr));
        continue;
      }
      BSTR name = nullptr, display = nullptr, version = nullptr, basicName = nullptr, basicVersion = nullptr;
      int size = -1, basicSize = -1, state = -1;
      info->GetName(&name);
      info->GetDisplayName(&display);
      info->GetVersion(&version);
      info->GetSize(&size);
      info->GetBasicInfo(&basicName, &basicVersion, &basicSize);
      info->GetState(&state);
      tools::PrintLine(L"info hr=" + Hex(hr) + L" name=" + Take(name) + L" display=" + Take(display) + L" version=" +
            Take(version) + L" size=" + std::to_wstring(size) + L" basic=" + Take(basicName) + L"|" +
            Take(basicVersion) + L"|" + std::to_wstring(basicSize) + L" state=" + std::to_wstring(state));
      info->Release();
    } else if (step == L"select" || step == L"launch" || step == L"clear") {
      int index = std::stoi(next());
      IMorvaskUpdateInfo* info = nullptr;
      if (!list || FAILED(list->GetUpdateInfo(index, &info))) {
        tools::PrintLine(step + L" hr=failed");
        continue;
      }
      if (step == L"select") {
        tools::PrintLine(L"select hr=" + Hex(info->SelectForInstall(std::stoi(next()) != 0)));
      } else if (step == L"clear") {
        tools::PrintLine(L"clear hr=" + Hex(info->ClearState()));
      } else {
        int ret = -1;
        HRESULT hr = info->LaunchInstaller(&ret);
        tools::PrintLine(L"launch hr=" + Hex(hr) + L" ret=" + Hex(ret));
      }
      info->Release();
    } else if (step == L"download") {
      int ret = -1;
      HRESULT hr = list ? list->DownloadUpdates(&ret) : E_POINTER;
      tools::PrintLine(L"download hr=" + Hex(hr) + L" ret=" + Hex(ret));
    } else if (step == L"error") {
      BSTR text = nullptr;
      updater->GetErrorDescription(static_cast<int>(std::stoul(next(), nullptr, 0)), &text);
      tools::PrintLine(L"error text=" + Take(text));
    } else if (step == L"dispatch") {
      int code = static_cast<int>(std::stoul(next(), nullptr, 0));
      IDispatch* dispatch = nullptr;
      updater->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
      std::wstring method = L"GetErrorDescription";
      LPOLESTR names[] = {method.data()};
      DISPID id = 0;
      HRESULT hr = dispatch ? dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id) : E_NOINTERFACE;
      VARIANT argument;
      ::VariantInit(&argument);
      argument.vt = VT_I4;
      argument.lVal = code;
      DISPPARAMS parameters{&argument, nullptr, 1, 0};
      VARIANT result;
      ::VariantInit(&result);
      if (SUCCEEDED(hr)) hr = dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, &result,
                                               nullptr, nullptr);
      tools::PrintLine(L"dispatch hr=" + Hex(hr) + L" text=" + (result.vt == VT_BSTR && result.bstrVal ? result.bstrVal : L""));
      ::VariantClear(&result);
      if (dispatch) dispatch->Release();
    } else if (step == L"hold") {
      callback.HoldAt(next());
    } else if (step == L"cancel") {
      callback.CancelAfter(std::stoll(next()));
    } else if (step == L"release") {
      if (list) list->Release();
      list = nullptr;
      updater->Release();
      updater = nullptr;
      tools::PrintLine(L"released");
      break;
    }
  }
  if (list) list->Release();
  if (updater) updater->Release();
  ::CoUninitialize();
  return 0;
}
