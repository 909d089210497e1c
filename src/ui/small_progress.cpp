#include "ui/small_progress.h"
#include "ui/window_state.h"
#include "ui/window_classes.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <memory>

#include "base/logger.h"
#include "base/string_table.h"
#include "base/win_handles.h"
#include "resources/resource_ids.h"
#include "resources/string_ids.h"
#include "transfer/download_observer.h"
#include "ui/work_progress.h"
#include "ui/worker_questions.h"

namespace updater {
namespace {

// Messages to the window: run the std::function<void()> in lParam on its thread (sent, so the
// worker waits for it), and the worker's end with its exit code in lParam (posted).
constexpr UINT kMsgRunOnWindowThread = WM_APP + 11;
constexpr UINT kMsgWorkEnded = WM_APP + 12;
constexpr UINT kMarqueeStepMs = 30;
constexpr INT_PTR kEndedNormally = 1;
constexpr INT_PTR kEndedCancelled = 2;

// The window and its worker, and the observer of a worker that downloads: the questions of a
// download are answered over the window, which is always visible. A kind of window says what the
// worker does and how its end shows.
class SmallProgressWindow : public DownloadObserver {
 public:
  explicit SmallProgressWindow(std::wstring applicationName) : applicationName_(std::move(applicationName)) {}

  std::optional<SmallWindowEnd> Run() {
    PrepareWindowClasses();
    INT_PTR ended = ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SMALL_PROGRESS),
                                      ::GetActiveWindow(), &DialogProcedure<SmallProgressWindow>,
                                      reinterpret_cast<LPARAM>(this));
    DWORD error = ::GetLastError();
    WaitForWorker();
    if (ended == -1 && !workerStarted_) {
      LogFormat(kLogError, L"The progress window could not be created (error %lu).", error);
      return std::nullopt;
    }
    return SmallWindowEnd{workerResult_, ended == kEndedCancelled};
  }

  // ---- DownloadObserver (worker thread) ----
  void BeginAction(int, std::uint32_t, const wchar_t*) override {}
  void EndAction(int, Result) override {}
  void SubActionPerform(std::uint32_t) override {}
  bool IsCanceled() override { return cancel_; }
  bool IsPaused() override { return false; }
  Result Error(const wchar_t* url, Result code, void* context) override {
    if (IsCertificateQuestion(code)) {
      Result answer = ERROR_CANCELLED;
      OnWindowThread([&] { answer = AskAboutCertificate(window_, context, code); });
      return answer;
    }
    if (code == E_UPD_AUTH_REQUIRED) {
      Result answer = 0;
      OnWindowThread([&] { answer = AskForCredentials(window_, context); });
      return answer;
    }
    if (code == E_UPD_PART_COMPLETE) {
      std::wstring status = url ? url : L"";
      OnWindowThread([&] { SetStatus(status); });
      return 0;
    }
    return Event(code);
  }

 protected:
  // On the window's thread, before the worker starts.
  virtual void Init() = 0;
  // On the worker thread: the work and its exit code.
  virtual Result Work() = 0;
  // On the window's thread once the worker returned.
  virtual void WorkEnded(Result result) = 0;
  // Any other event of a download (worker thread): logged, and the answer is 0.
  virtual Result Event(Result code) {
    LogFormat(kLogDebug, L"Progress window: %ls (0x%08X)", MessageText(code).c_str(), static_cast<unsigned>(code));
    return 0;
  }
  // The button (or Escape, or the window's Close): while the worker runs it asks the worker to stop,
  // once, when the button is enabled; afterwards it closes the window.
  virtual void ButtonPressed() {
    if (!workerRunning_) {
      End(kEndedNormally);
      return;
    }
    if (::IsWindowEnabled(Button()) && !cancel_.exchange(true)) Log(kLogInfo, L"The user cancelled the work.");
  }

  // ---- window thread ----
  const std::wstring& ApplicationName() const { return applicationName_; }
  HWND Window() const { return window_; }
  HWND Button() const { return ::GetDlgItem(window_, IDCANCEL); }
  HWND Bar() const { return ::GetDlgItem(window_, IDC_SMALL_BAR); }
  void SetTitle(const std::wstring& title) { ::SetWindowTextW(window_, title.c_str()); }
  void SetStatus(const std::wstring& text) { ::SetDlgItemTextW(window_, IDC_SMALL_STATUS, text.c_str()); }
  void SetButton(unsigned textId, bool enabled) {
    ::SetWindowTextW(Button(), LoadStringResource(textId).c_str());
    ::EnableWindow(Button(), enabled);
  }
  void EnableButton(bool enabled) { ::EnableWindow(Button(), enabled); }
  void SetRange(int range) {
    range_ = range > 0 ? range : 1;
    ::SendMessageW(Bar(), PBM_SETRANGE32, 0, range_);
  }
  void SetPosition(int position) {
    ::SendMessageW(Bar(), PBM_SETPOS, static_cast<WPARAM>(position), 0);
    if (taskbar_) taskbar_->SetValue(window_, position, range_);
  }
  void SetBarState(int barState, TBPFLAG taskbarState) {
    ::SendMessageW(Bar(), PBM_SETSTATE, static_cast<WPARAM>(barState), 0);
    if (taskbar_) taskbar_->SetState(window_, taskbarState);
  }
  void SetMarquee(bool on) {
    LONG_PTR style = ::GetWindowLongPtrW(Bar(), GWL_STYLE);
    ::SetWindowLongPtrW(Bar(), GWL_STYLE, on ? (style | PBS_MARQUEE) : (style & ~static_cast<LONG_PTR>(PBS_MARQUEE)));
    ::SendMessageW(Bar(), PBM_SETMARQUEE, on ? TRUE : FALSE, kMarqueeStepMs);
  }
  void End(INT_PTR result) { ::EndDialog(window_, result); }

  // ---- worker thread ----
  void OnWindowThread(const std::function<void()>& call) {
    ::SendMessageW(window_, kMsgRunOnWindowThread, 0, reinterpret_cast<LPARAM>(&call));
  }
  void Show(const ProgressView& view) {
    if (view.Empty()) return;
    OnWindowThread([&] {
      if (view.range) SetRange(*view.range);
      if (view.position) SetPosition(*view.position);
      if (view.status) SetStatus(*view.status);
    });
  }
  bool CancelRequested() const { return cancel_; }

 private:
  friend INT_PTR CALLBACK DialogProcedure<SmallProgressWindow>(HWND, UINT, WPARAM, LPARAM);
  // Every message of the window, from WM_INITDIALOG on.
  INT_PTR OnMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case WM_INITDIALOG:
        window_ = window;
        taskbar_ = std::make_unique<TaskbarButton>();
        Init();
        StartWorker();
        return TRUE;
      case kMsgRunOnWindowThread:
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return TRUE;
      case kMsgWorkEnded:
        WaitForWorker();
        WorkEnded(static_cast<Result>(lParam));
        return TRUE;
      case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
          ButtonPressed();
          return TRUE;
        }
        return FALSE;
      case WM_DESTROY:
        taskbar_.reset();
        return FALSE;
      default:
        return FALSE;
    }
  }

  static DWORD WINAPI WorkerMain(LPVOID parameter) {
    auto* self = static_cast<SmallProgressWindow*>(parameter);
    Result result = self->Work();
    ::PostMessageW(self->window_, kMsgWorkEnded, 0, static_cast<LPARAM>(result));
    return result;
  }

  void StartWorker() {
    workerRunning_ = true;
    workerStarted_ = true;
    worker_.Reset(::CreateThread(nullptr, 0, &SmallProgressWindow::WorkerMain, this, 0, nullptr));
    if (!worker_) {
      workerRunning_ = false;
      workerResult_ = ::GetLastError();
      ::PostMessageW(window_, kMsgWorkEnded, 0, static_cast<LPARAM>(workerResult_));
    }
  }

  void WaitForWorker() {
    if (!worker_) return;
    workerResult_ = JoinWorkerThread(worker_);
    workerRunning_ = false;
  }

  std::wstring applicationName_;
  HWND window_ = nullptr;
  int range_ = 100;
  // Made on the window's thread: it joins that thread's COM apartment.
  std::unique_ptr<TaskbarButton> taskbar_;
  UniqueHandle worker_;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> workerRunning_{false};
  bool workerStarted_ = false;
  Result workerResult_ = kOk;
};

// ---- "Checking for Updates" ----------------------------------------------------------------------

class CheckWindow : public SmallProgressWindow {
 public:
  CheckWindow(const std::wstring& applicationName,
              const std::function<Result(DownloadObserver&, const CheckMessageSink&)>& check)
      : SmallProgressWindow(applicationName), check_(check) {}

 protected:
  void Init() override {
    SetTitle(ApplicationName());
    SetStatus(LoadStringResource(kStrCheckingForUpdates));
    SetButton(kStrCancel, true);
    SetMarquee(true);
  }

  Result Work() override {
    return check_(*this, [this](const std::wstring& message, Result code) {
      if (code != E_UPD_UP_TO_DATE) return;
      OnWindowThread([&] { ShowUpToDate(message); });
    });
  }

  // Nothing applies: the text stays with a full bar until the user presses OK.
  void ShowUpToDate(const std::wstring& message) {
    upToDate_ = true;
    SetStatus(message);
    SetMarquee(false);
    SetRange(100);
    SetPosition(100);
    SetButton(kStrOk, true);
  }

  void WorkEnded(Result result) override {
    if (upToDate_) return;
    End(result == E_UPD_CANCELED ? kEndedCancelled : kEndedNormally);
  }

 private:
  const std::function<Result(DownloadObserver&, const CheckMessageSink&)>& check_;
  bool upToDate_ = false;
};

// ---- Reduced progress ----------------------------------------------------------------------------

class ReducedProgressWindow : public SmallProgressWindow {
 public:
  ReducedProgressWindow(const std::wstring& applicationName, bool justDownload, const UpdateCatalogue& catalogue,
                        const std::function<bool(const UpdateRecord&)>& isDownloaded,
                        const std::function<Result(DownloadObserver&)>& work)
      : SmallProgressWindow(applicationName),
        justDownload_(justDownload),
        catalogue_(catalogue),
        isDownloaded_(isDownloaded),
        work_(work) {}

  void BeginAction(int actionId, std::uint32_t totalCount, const wchar_t* name) override {
    Show(progress_.Begin(actionId, totalCount, name, actionId == PAID_DOWNLOAD ? BytesToDownload() : 0,
                         ::GetTickCount()));
    // The download may be cancelled; the installation that follows may not.
    if (actionId == PAID_DOWNLOAD) OnWindowThread([&] { EnableButton(true); });
  }
  void EndAction(int actionId, Result state) override {
    Show(progress_.End(actionId, state));
    if (actionId == PAID_DOWNLOAD) OnWindowThread([&] { EnableButton(false); });
  }
  void SubActionPerform(std::uint32_t amount) override { Show(progress_.Perform(amount, ::GetTickCount())); }

 protected:
  void Init() override {
    std::wstring header = LoadStringResource(justDownload_ ? kStrDownloadingUpdates : kStrInstallingUpdates);
    SetTitle(LoadStringFilled(kStrHeaderForApplication, {header, ApplicationName()}));
    SetButton(kStrCancel, false);
    SetRange(WorkProgress::kDownloadRange);
  }

  Result Work() override { return work_(*this); }

  Result Event(Result code) override {
    std::wstring status = MessageText(code);
    if (code == E_UPD_BAD_MD5 || code == E_UPD_BAD_SHA256) {
      std::wstring question = CorruptFileQuestion(code);
      bool again = false;
      OnWindowThread([&] {
        SetStatus(status);
        again = AskToRestartCorruptDownload(Window(), ApplicationName(), question);
      });
      if (!again) return 0;
      progress_.ForgetLastFile();
      return kObserverRetry;
    }
    OnWindowThread([&] { SetStatus(status); });
    return SmallProgressWindow::Event(code);
  }

  // Success closes with 1, the two cancellations with 2; any other end is shown first.
  void WorkEnded(Result result) override {
    if (result == kOk) {
      End(kEndedNormally);
      return;
    }
    if (result == kErrorInstallUserExit || result == E_UPD_CANCELED) {
      End(kEndedCancelled);
      return;
    }
    std::wstring text = result == E_UPD_WRONG_SIZE ? MessageText(result)
                                                   : LoadStringFilled(kStrErrorWithText, {MessageText(result)});
    SetStatus(text);
    SetBarState(PBST_ERROR, TBPF_ERROR);
    ::MessageBoxW(Window(), text.c_str(), ApplicationName().c_str(), MB_OK | MB_ICONERROR);
    End(kEndedCancelled);
  }

 private:
  std::uint64_t BytesToDownload() const {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < catalogue_.Count(); ++i) {
      const UpdateRecord& record = catalogue_.At(i);
      if (record.selected && !(isDownloaded_ && isDownloaded_(record))) total += record.Size;
    }
    return total;
  }

  bool justDownload_;
  const UpdateCatalogue& catalogue_;
  const std::function<bool(const UpdateRecord&)>& isDownloaded_;
  const std::function<Result(DownloadObserver&)>& work_;
  WorkProgress progress_;  // worker side
};

// ---- Clean-up ------------------------------------------------------------------------------------

class CleanUpWindow : public SmallProgressWindow, public CleanUpProgress {
 public:
  CleanUpWindow(const std::wstring& applicationName, const std::function<Result(CleanUpProgress&)>& cleanUp)
      : SmallProgressWindow(applicationName), cleanUp_(cleanUp) {}

  void Item(const std::wstring& path, std::size_t index, std::size_t count) override {
    OnWindowThread([&] {
      SetRange(static_cast<int>(count));
      SetPosition(static_cast<int>(index + 1));
      SetStatus(path);
    });
  }
  bool CancelRequested() override { return SmallProgressWindow::CancelRequested(); }

 protected:
  void Init() override {
    SetTitle(ApplicationName());
    SetButton(kStrCancel, true);
  }
  Result Work() override { return cleanUp_(*this); }
  void WorkEnded(Result) override { End(kEndedNormally); }

 private:
  const std::function<Result(CleanUpProgress&)>& cleanUp_;
};

}  // namespace

std::optional<SmallWindowEnd> RunCheckWindow(
    const std::wstring& applicationName,
    const std::function<Result(DownloadObserver& observer, const CheckMessageSink& sink)>& check) {
  CheckWindow window(applicationName, check);
  return window.Run();
}

std::optional<SmallWindowEnd> RunReducedProgressWindow(
    const std::wstring& applicationName, bool justDownload, const UpdateCatalogue& catalogue,
    const std::function<bool(const UpdateRecord&)>& isDownloaded,
    const std::function<Result(DownloadObserver& observer)>& work) {
  ReducedProgressWindow window(applicationName, justDownload, catalogue, isDownloaded, work);
  return window.Run();
}

std::optional<SmallWindowEnd> RunCleanUpWindow(const std::wstring& applicationName,
                                               const std::function<Result(CleanUpProgress& progress)>& cleanUp) {
  CleanUpWindow window(applicationName, cleanUp);
  return window.Run();
}

}  // namespace updater
