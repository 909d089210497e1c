#include "automation/automation_objects.h"

#include <memory>
#include <new>
#include <vector>

#include "automation/script_arguments.h"
#include "base/instance_guard.h"
#include "base/logger.h"
#include "base/paths.h"
#include "catalogue/selection.h"
#include "catalogue/version.h"
#include "check/check_run.h"
#include "install/installer.h"
#include "transfer/catalogue_services.h"
#include "transfer/credentials.h"
#include "transfer/credentials_provider.h"
#include "transfer/download_observer.h"
#include "transfer/download_phase.h"
#include "ui/credentials_dialog.h"

namespace updater {
namespace {

HRESULT CopyText(const std::wstring& text, BSTR* out) {
  if (!out) return E_FAIL;
  *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

// The host's callback as the work's observer.
class CallbackObserver : public DownloadObserver {
 public:
  explicit CallbackObserver(IMorvaskUpdaterCallback* callback) : callback_(callback) {}
  void BeginAction(int actionId, std::uint32_t, const wchar_t*) override {
    if (callback_) callback_->BeginAction(actionId);
  }
  void EndAction(int actionId, Result state) override {
    if (callback_) callback_->EndAction(actionId, static_cast<int>(state));
  }
  void SubActionPerform(std::uint32_t amount) override {
    if (callback_) callback_->SubActionPerform(static_cast<int>(amount));
  }
  bool IsCanceled() override {
    boolean cancelled = 0;
    return callback_ && SUCCEEDED(callback_->IsCanceled(&cancelled)) && cancelled != 0;
  }
  bool IsPaused() override { return false; }
  Result Error(const wchar_t*, Result code, void* context) override {
    if (!callback_) return 0;
    if (code == E_UPD_AUTH_REQUIRED) {
      // The updater asks for credentials itself, over whatever the user is looking at.
      auto* provider = static_cast<CredentialsProvider*>(context);
      return provider && provider->Prompt(::GetForegroundWindow()) ? kObserverRetry : 0;
    }
    return static_cast<Result>(callback_->Error(static_cast<int>(code)));
  }

 private:
  IMorvaskUpdaterCallback* callback_;
};

// IUnknown and IDispatch over the interface's type information.
template <typename Interface>
class DispatchObject : public Interface {
 public:
  DispatchObject() {
    ITypeLib* library = Automation().typeLibrary;
    if (library) library->GetTypeInfoOfGuid(__uuidof(Interface), &typeInfo_);
  }
  virtual ~DispatchObject() {
    if (typeInfo_) typeInfo_->Release();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(Interface)) {
      *object = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = typeInfo_ ? 1 : 0;
    return typeInfo_ ? S_OK : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    if (!typeInfo_) return E_NOTIMPL;
    typeInfo_->AddRef();
    *info = typeInfo_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return typeInfo_ ? ::DispGetIDsOfNames(typeInfo_, names, count, ids) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argumentError) override {
    if (!typeInfo_) return E_NOTIMPL;
    std::vector<ParameterShape> shapes;
    if (!parameters || !ParameterShapesOf(*typeInfo_, id, flags, shapes))
      return ::DispInvoke(static_cast<Interface*>(this), typeInfo_, id, flags, parameters, result, exception,
                          argumentError);
    ScriptArguments arguments(shapes, *parameters);
    HRESULT invoked = ::DispInvoke(static_cast<Interface*>(this), typeInfo_, id, flags, arguments.Prepared(), result,
                                   exception, argumentError);
    if (SUCCEEDED(invoked)) arguments.HandBack();
    return invoked;
  }

 private:
  ITypeInfo* typeInfo_ = nullptr;
};

// A counted object that keeps the server while it lives.
template <typename Interface>
class ServerObject : public DispatchObject<Interface> {
 public:
  ServerObject() { AddServerReference(); }
  ~ServerObject() override { ReleaseServerReference(); }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = ::InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 private:
  LONG references_ = 1;
};

class UpdatesList;

class UpdateInfo : public DispatchObject<IMorvaskUpdateInfo> {
 public:
  UpdateInfo(UpdatesList& list, UpdateRecord& record) : list_(list), record_(record) {}
  // Every reference is one on the list, which owns this object.
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetName(BSTR* name) override { return CopyText(record_.sectionName, name); }
  HRESULT STDMETHODCALLTYPE GetDisplayName(BSTR* name) override { return CopyText(record_.Name, name); }
  HRESULT STDMETHODCALLTYPE GetVersion(BSTR* version) override {
    return CopyText(FormatVersion(record_.Version), version);
  }
  HRESULT STDMETHODCALLTYPE GetSize(int* size) override {
    if (!size) return E_FAIL;
    *size = static_cast<int>(record_.Size);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBasicInfo(BSTR* name, BSTR* version, int* size) override {
    HRESULT result = GetDisplayName(name);
    if (SUCCEEDED(result)) result = GetVersion(version);
    if (SUCCEEDED(result)) result = GetSize(size);
    return result;
  }
  HRESULT STDMETHODCALLTYPE SelectForInstall(boolean select) override {
    record_.processing = select != 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetState(int* state) override {
    if (!state) return E_FAIL;
    *state = static_cast<int>(record_.status);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ClearState() override {
    record_.status = kOk;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE LaunchInstaller(int* retCode) override;

 private:
  UpdatesList& list_;
  UpdateRecord& record_;
};

class UpdatesList : public ServerObject<IMorvaskUpdates> {
 public:
  UpdatesList(std::unique_ptr<CatalogueSettings> catalogueSettings, std::unique_ptr<UpdateCatalogue> catalogue,
              IMorvaskUpdaterCallback* callback)
      : catalogueSettings_(std::move(catalogueSettings)), catalogue_(std::move(catalogue)), callback_(callback) {
    if (callback_) callback_->AddRef();
    for (std::size_t i = 0; i < catalogue_->Count(); ++i)
      if (catalogue_->At(i).selected) records_.push_back(&catalogue_->At(i));
    for (UpdateRecord* record : records_) record->processing = false;
  }
  ~UpdatesList() override {
    if (callback_) callback_->Release();
  }

  std::size_t Count() const { return records_.size(); }
  // The updates of the list whose installer still has to be downloaded.
  int CountToDownload(const SettingsStore& store) const {
    int count = 0;
    for (const UpdateRecord* record : records_)
      if (GetDownloadState(*record, store) != kDownloadStateDownloaded) ++count;
    return count;
  }
  IMorvaskUpdaterCallback* Callback() const { return callback_; }

  // The host's installations from one list make one installing run: the first replaces the record
  // of the previous run, the later ones add their update; the run's result is its last failure.
  void RecordInstallation(const UpdateRecord& record, Result result, const SettingsStore& store) {
    if (result != kOk) installRunResult_ = result;
    RecordInstallResults(store, installRunResult_, {OutcomeOf(record)}, !installRecorded_);
    installRecorded_ = true;
  }

  HRESULT STDMETHODCALLTYPE GetUpdateInfo(int index, IMorvaskUpdateInfo** info) override {
    if (!info || index < 0 || static_cast<std::size_t>(index) >= records_.size()) return E_FAIL;
    auto* made = new (std::nothrow) UpdateInfo(*this, *records_[static_cast<std::size_t>(index)]);
    if (!made) return E_OUTOFMEMORY;
    infos_.emplace_back(made);
    return made->QueryInterface(__uuidof(IMorvaskUpdateInfo), reinterpret_cast<void**>(info));
  }

  HRESULT STDMETHODCALLTYPE DownloadUpdates(int* retCode) override {
    if (!retCode) return E_FAIL;
    *retCode = 0;
    AppSettings& settings = *Automation().settings;
    unsigned toDownload = AnnouncePlan(false, settings);
    if (toDownload == 0) return S_OK;
    for (std::size_t i = 0; i < catalogue_->Count(); ++i) catalogue_->At(i).selected = catalogue_->At(i).processing;
    ServerCredentials credentials(HKEY_CURRENT_USER, settings.id);
    credentials.SetPromptFunction(DialogCredentialsPrompt());
    credentials.LoadAtStart();
    CallbackObserver observer(callback_);
    *retCode = static_cast<int>(DownloadSelectedUpdates(*catalogue_, &observer, &credentials, settings));
    return S_OK;
  }

  // The plan of a phase through RegisterAction; the number of taken records still to download.
  unsigned AnnouncePlan(bool installs, const AppSettings& settings, const UpdateRecord* only = nullptr) {
    const SettingsStore& store = settings.Store();
    auto announce = [this](int id, int count) {
      if (callback_) callback_->RegisterAction(id, count);
    };
    if (installs) {
      announce(PAID_INSTALL, 0);
      if (settings.HasClientFlag(kClientNoUpdaterInstallGui)) announce(PAID_INSTALL_EXTRA, 0);
    }
    unsigned toDownload = 0;
    for (UpdateRecord* record : records_) {
      if (only ? record != only : !record->processing) continue;
      if (GetDownloadState(*record, store) != kDownloadStateDownloaded) {
        if (toDownload++ == 0) announce(PAID_DOWNLOAD, 0);
        announce(PAID_DOWNLOAD_FILE, static_cast<int>(record->Size));
        if (!record->SHA256.empty() || !record->MD5.empty()) announce(PAID_CHECK_MD5, 0);
      }
      if (installs) announce(PAID_INSTALL_UPDATE, 0);
    }
    return toDownload;
  }

 private:
  std::unique_ptr<CatalogueSettings> catalogueSettings_;
  std::unique_ptr<UpdateCatalogue> catalogue_;
  IMorvaskUpdaterCallback* callback_;
  std::vector<UpdateRecord*> records_;
  std::vector<std::unique_ptr<UpdateInfo>> infos_;
  bool installRecorded_ = false;
  Result installRunResult_ = kOk;
};

ULONG STDMETHODCALLTYPE UpdateInfo::AddRef() { return list_.AddRef(); }
ULONG STDMETHODCALLTYPE UpdateInfo::Release() { return list_.Release(); }

HRESULT STDMETHODCALLTYPE UpdateInfo::LaunchInstaller(int* retCode) {
  if (!retCode) return E_FAIL;
  AppSettings& settings = *Automation().settings;
  list_.AnnouncePlan(true, settings, &record_);
  CallbackObserver observer(list_.Callback());
  Result result = InstallUpdate(record_, &observer, settings.Store(), InstallPhaseSettingsOf(settings));
  list_.RecordInstallation(record_, result, settings.Store());
  *retCode = static_cast<int>(result);
  return S_OK;
}

class Updater : public ServerObject<IMorvaskUpdater> {
 public:
  ~Updater() override {
    if (callback_) callback_->Release();
  }

  HRESULT STDMETHODCALLTYPE RegisterCallback(IMorvaskUpdaterCallback* callback) override {
    if (!callback) return E_FAIL;
    callback->AddRef();
    if (callback_) callback_->Release();
    callback_ = callback;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE CheckForUpdates(int* updatesCount, int* toDownloadCount, int* retCode,
                                            IMorvaskUpdates** updatesInfo) override {
    if (!updatesCount || !toDownloadCount || !retCode || !updatesInfo) return E_INVALIDARG;
    AppSettings& settings = *Automation().settings;
    InstanceGuard guard;
    Result first = EnsureFirstInstance(guard, ExecutablePath(), false);
    if (first != kOk) {
      *retCode = static_cast<int>(first);
      return S_OK;
    }
    auto catalogueSettings = std::make_unique<CatalogueSettings>(CatalogueSettingsFor(settings));
    auto catalogue = std::make_unique<UpdateCatalogue>(*catalogueSettings);
    CheckRun check(guard, settings, *catalogue, RunMode::JustCheck);
    check.SetStartedByHost(true);
    CallbackObserver observer(callback_);
    check.SetObserver(&observer);
    Result result = check.Run();
    *retCode = static_cast<int>(result);
    if (result != kOk) return S_OK;
    auto* list = new (std::nothrow) UpdatesList(std::move(catalogueSettings), std::move(catalogue), callback_);
    if (!list) return E_OUTOFMEMORY;
    *updatesCount = static_cast<int>(list->Count());
    *toDownloadCount = list->CountToDownload(settings.Store());
    HRESULT queried = list->QueryInterface(__uuidof(IMorvaskUpdates), reinterpret_cast<void**>(updatesInfo));
    list->Release();
    return queried;
  }

  HRESULT STDMETHODCALLTYPE GetErrorDescription(int retCode, BSTR* description) override {
    if (!description) return E_FAIL;
    return CopyText(MessageText(static_cast<Result>(retCode)), description);
  }

 private:
  IMorvaskUpdaterCallback* callback_ = nullptr;
};

class ClassFactory final : public IClassFactory {
 public:
  virtual ~ClassFactory() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = ::InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* made = new (std::nothrow) Updater();
    if (!made) return E_OUTOFMEMORY;
    HRESULT result = made->QueryInterface(iid, object);
    made->Release();
    if (SUCCEEDED(result)) Automation().objectCreated = true;
    LogFormat(kLogDebug, L"Automation object created: 0x%08lX", static_cast<unsigned long>(result));
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      AddServerReference();
      Automation().objectCreated = true;
    } else {
      ReleaseServerReference();
    }
    return S_OK;
  }

 private:
  LONG references_ = 1;
};

}  // namespace

AutomationServer& Automation() {
  static AutomationServer server;
  return server;
}

void AddServerReference() { ::CoAddRefServerProcess(); }

void ReleaseServerReference() {
  if (::CoReleaseServerProcess() == 0 && Automation().thread) ::PostThreadMessageW(Automation().thread, WM_QUIT, 0, 0);
}

IClassFactory* NewClassFactory() { return new (std::nothrow) ClassFactory(); }

}  // namespace updater
