// Acme Tool's "check for updates" command, as a publisher's application would write it: it drives
// the updater through its automation interface instead of starting it with switches. It creates
// the updater's object out of process, follows the work through a callback of its own, checks,
// lists what was found, and downloads and installs the newest update.
//
// Usage: acme_host.exe <updater.exe> [--register]
//   --register  does what the application's installer does once: registers the updater's local
//               server and its type library (see the README's registration file)
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

#include "morvask_updater.h"

namespace {

void Say(const std::wstring& line) {
  std::fputws((line + L"\n").c_str(), stdout);
  std::fflush(stdout);
}

std::wstring Hex(int code) {
  wchar_t text[16];
  swprintf(text, 16, L"0x%08X", static_cast<unsigned>(code));
  return text;
}

// Owns one interface reference.
template <typename Interface>
class Ref {
 public:
  Ref() = default;
  ~Ref() { Reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Interface** Out() {
    Reset();
    return &pointer_;
  }
  Interface* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  void Reset() {
    if (pointer_) pointer_->Release();
    pointer_ = nullptr;
  }

 private:
  Interface* pointer_ = nullptr;
};

std::wstring Take(BSTR text) {
  std::wstring copy = text ? text : L"";
  ::SysFreeString(text);
  return copy;
}

// What the application shows while the updater works: the downloads' progress in quarters.
class Progress final : public IMorvaskUpdaterCallback {
 public:
  virtual ~Progress() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != __uuidof(IMorvaskUpdaterCallback)) return E_NOINTERFACE;
    *object = static_cast<IMorvaskUpdaterCallback*>(this);
    AddRef();
    return S_OK;
  }
  // Lives on the stack for the whole session.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE RegisterAction(int id, int count) override {
    if (id == kDownloadFile) fileSize_ = count;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE BeginAction(int id) override {
    if (id == kDownloadFile) {
      received_ = 0;
      quarter_ = 0;
    }
    action_ = id;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SubActionPerform(int amount) override {
    if (action_ != kDownloadFile || fileSize_ <= 0) return S_OK;
    received_ += amount;
    int quarter = static_cast<int>(received_ * 4 / fileSize_);
    if (quarter > quarter_) {
      quarter_ = quarter;
      Say(L"     downloaded " + std::to_wstring(received_ * 100 / fileSize_) + L" % of " +
          std::to_wstring(fileSize_) + L" bytes");
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EndAction(int id, int state) override {
    if (id == kCheckSha256 || id == kCheckMd5)
      Say(state == 0 ? L"     the installer's hash is the published one" : L"     hash check failed: " + Hex(state));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsCanceled(boolean* cancelled) override {
    *cancelled = 0;  // an application's Cancel button would answer here
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Error(int code) override {
    Say(L"     the updater reports " + Hex(code));
    return S_OK;
  }

 private:
  static constexpr int kDownloadFile = 1;
  static constexpr int kCheckMd5 = 102;
  static constexpr int kCheckSha256 = 105;
  int action_ = 0;
  long long fileSize_ = 0;
  long long received_ = 0;
  int quarter_ = 0;
};

bool SetDefault(const std::wstring& key, const std::wstring& value) {
  HKEY opened = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &opened, nullptr) !=
      ERROR_SUCCESS)
    return false;
  LONG written = ::RegSetValueExW(opened, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(opened);
  return written == ERROR_SUCCESS;
}

int Register(const std::wstring& updater) {
  const std::wstring classKey = L"Software\\Classes\\CLSID\\{169CF221-57E4-4FCF-BC3B-A3B6B3A3BB52}";
  const std::wstring library = L"{061AAF5B-7AE9-4740-9623-3A4A5E8BFF01}";
  bool done = SetDefault(classKey, L"Kestrune Installer Updater COM") &&
              SetDefault(classKey + L"\\LocalServer32",
                         L"\"" + updater + L"\" /automation -clsid {169CF221-57E4-4FCF-BC3B-A3B6B3A3BB52} -Embedding") &&
              SetDefault(classKey + L"\\TypeLib", library) &&
              SetDefault(L"Software\\Classes\\TypeLib\\" + library + L"\\1.0\\0\\win32", updater);
  ITypeLib* typeLibrary = nullptr;
  done = done && SUCCEEDED(::LoadTypeLibEx(updater.c_str(), REGKIND_REGISTER, &typeLibrary));
  if (typeLibrary) typeLibrary->Release();
  Say(done ? L"registered the updater's automation server" : L"the registration failed");
  return done ? 0 : 1;
}

int CheckDownloadInstall() {
  Ref<IMorvaskUpdater> updater;
  HRESULT created = ::CoCreateInstance(__uuidof(MorvaskUpdater), nullptr, CLSCTX_LOCAL_SERVER,
                                       __uuidof(IMorvaskUpdater), reinterpret_cast<void**>(updater.Out()));
  if (FAILED(created)) {
    Say(L"The updater's automation server could not be started: " + Hex(created));
    return 1;
  }
  auto describe = [&updater](int code) {
    BSTR text = nullptr;
    updater->GetErrorDescription(code, &text);
    return Take(text);
  };
  Progress progress;
  updater->RegisterCallback(&progress);

  Say(L"  Acme Tool asks the updater for updates");
  int count = 0, toDownload = 0, result = 0;
  Ref<IMorvaskUpdates> updates;
  updater->CheckForUpdates(&count, &toDownload, &result, updates.Out());
  if (result != 0) {
    Say(L"  " + describe(result) + L" (" + Hex(result) + L")");
    return 0;
  }
  Say(L"  found " + std::to_wstring(count) + L" update(s), " + std::to_wstring(toDownload) + L" to download:");
  for (int i = 0; i < count; ++i) {
    Ref<IMorvaskUpdateInfo> info;
    if (FAILED(updates->GetUpdateInfo(i, info.Out()))) break;
    BSTR name = nullptr, version = nullptr;
    int size = 0;
    info->GetBasicInfo(&name, &version, &size);
    Say(L"   - " + Take(name) + L", version " + Take(version) + L", " + std::to_wstring(size) + L" bytes");
  }
  // The list is newest first: the application offers the newest update, which carries the others.
  Ref<IMorvaskUpdateInfo> newest;
  if (FAILED(updates->GetUpdateInfo(0, newest.Out()))) return 1;
  BSTR name = nullptr;
  newest->GetDisplayName(&name);
  std::wstring shown = Take(name);
  newest->SelectForInstall(1);
  Say(L"  the user chose to install " + shown + L": the updater downloads and verifies it");
  updates->DownloadUpdates(&result);
  if (result != 0) {
    Say(L"  download failed: " + describe(result) + L" (" + Hex(result) + L")");
    return 0;
  }
  Say(L"  installing " + shown);
  newest->LaunchInstaller(&result);
  Say(L"  " + shown + L": " + (result == 0 ? std::wstring(L"installed") : describe(result) + L" (" + Hex(result) + L")"));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    Say(L"usage: acme_host <updater.exe> [--register]");
    return 2;
  }
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int code = argc > 2 && std::wstring(argv[2]) == L"--register" ? Register(argv[1]) : CheckDownloadInstall();
  ::CoUninitialize();
  return code;
}
