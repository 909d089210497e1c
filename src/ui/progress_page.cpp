// The progress page: starts the worker that downloads and installs the selected updates and is its
// observer. The worker's reports arrive on the worker thread and are shown through synchronous
// calls on the page's thread; the cancel flag is read directly.
#include <memory>

#include "base/logger.h"
#include "base/string_table.h"
#include "catalogue/update_catalogue.h"
#include "resources/resource_ids.h"
#include "resources/string_ids.h"
#include "transfer/download_observer.h"
#include "transfer/download_rules.h"
#include "ui/window_state.h"
#include "ui/wizard_sheet.h"
#include "ui/work_progress.h"
#include "ui/worker_questions.h"

namespace updater {
namespace {

class ProgressPage : public DownloadObserver {
 public:
  ProgressPage(WizardSheet& sheet, HWND page) : sheet_(sheet), page_(page) {}

  // ---- page thread ----
  void Init();
  void Activate();
  void OnWorkerEnded(Result result);
  // Cancel and the window's Close: true keeps the sheet open.
  bool RefuseCancel();
  // Back: -1 keeps the page.
  LONG_PTR OnBack();
  // Next and Finish move on once the installation ended, even while the worker is still returning.
  bool WorkDone() const { return installEnded_ || !sheet_.WorkerRunning(); }

  // ---- worker thread ----
  void BeginAction(int actionId, std::uint32_t totalCount, const wchar_t* name) override;
  void EndAction(int actionId, Result state) override;
  void SubActionPerform(std::uint32_t amount) override;
  bool IsCanceled() override { return sheet_.CancelRequested(); }
  bool IsPaused() override { return false; }
  Result Error(const wchar_t* url, Result code, void* context) override;

 private:
  void OnUi(const std::function<void()>& call) { RunOnUiThread(page_, call); }
  void SetStatus(const std::wstring& text);
  void SetPosition(int position);
  void SetRange(int range);
  void SetWorkControlsEnabled(bool enabled);
  void Show(const ProgressView& view);
  void ShowEnd(Result result);
  bool EnsureVisible(const std::wstring& question);
  std::uint64_t BytesToDownload() const;

  WizardSheet& sheet_;
  HWND page_;
  TaskbarButton taskbar_;
  int range_ = WorkProgress::kDownloadRange;
  int pendingButton_ = -1;  // the button to press once the worker stopped
  bool installing_ = false;
  bool installEnded_ = false;

  WorkProgress progress_;  // worker side
};

void ProgressPage::Init() {
  // Of the template only the status line and the progress bar are used: they move up into the
  // place of the hidden list.
  HWND list = ::GetDlgItem(page_, IDC_PROGRESS_LIST);
  RECT listRect{};
  ::GetWindowRect(list, &listRect);
  int shift = listRect.bottom - listRect.top;
  for (int control : {IDC_PROGRESS_LIST, IDC_PROGRESS_PAUSE, IDC_PROGRESS_AUTOINSTALL})
    ::ShowWindow(::GetDlgItem(page_, control), SW_HIDE);
  for (int control : {IDC_PROGRESS_STATUS, IDC_PROGRESS_BAR}) {
    HWND child = ::GetDlgItem(page_, control);
    RECT rect{};
    ::GetWindowRect(child, &rect);
    ::MapWindowPoints(nullptr, page_, reinterpret_cast<POINT*>(&rect), 2);
    ::SetWindowPos(child, nullptr, rect.left, rect.top - shift, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  }
  SetRange(WorkProgress::kDownloadRange);
}

void ProgressPage::Activate() {
  std::wstring header = LoadStringResource(sheet_.settings.justDownload ? kStrDownloadingUpdates : kStrInstallingUpdates);
  sheet_.SetTitle(LoadStringFilled(kStrHeaderForApplication, {header, sheet_.ApplicationName()}));
  sheet_.SetButtonTexts();
  sheet_.ShowButtons(kButtonBack | kButtonNext | kButtonCancel | kButtonFinish, kButtonBack | kButtonNext | kButtonCancel);
  sheet_.EnableButtons(kButtonBack | kButtonNext | kButtonCancel, 0);
  sheet_.SetCloseEnabled(false);
  sheet_.Tray().SetMenuItemEnabled(IDM_TRAY_EXIT, false);
  installing_ = false;
  installEnded_ = false;
  pendingButton_ = -1;
  progress_ = WorkProgress();
  SetRange(WorkProgress::kDownloadRange);
  SetPosition(0);
  SetStatus(L"");
  sheet_.StartWorker(*this, page_);
}

void ProgressPage::SetStatus(const std::wstring& text) { ::SetDlgItemTextW(page_, IDC_PROGRESS_STATUS, text.c_str()); }

void ProgressPage::SetRange(int range) {
  range_ = range > 0 ? range : 1;
  ::SendDlgItemMessageW(page_, IDC_PROGRESS_BAR, PBM_SETRANGE32, 0, range_);
}

void ProgressPage::SetPosition(int position) {
  ::SendDlgItemMessageW(page_, IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  taskbar_.SetValue(sheet_.Window(), position, range_);
}

// Close, the tray's "Exit" and Cancel go together: the installation cannot be cancelled.
void ProgressPage::SetWorkControlsEnabled(bool enabled) {
  sheet_.SetCloseEnabled(enabled);
  sheet_.Tray().SetMenuItemEnabled(IDM_TRAY_EXIT, enabled);
  sheet_.EnableButtons(kButtonCancel, enabled ? kButtonCancel : 0);
}

std::uint64_t ProgressPage::BytesToDownload() const {
  std::uint64_t total = 0;
  const UpdateCatalogue& catalogue = sheet_.context.catalogue;
  for (std::size_t i = 0; i < catalogue.Count(); ++i) {
    const UpdateRecord& record = catalogue.At(i);
    if (record.selected && !(sheet_.context.isDownloaded && sheet_.context.isDownloaded(record))) total += record.Size;
  }
  return total;
}

// ---- worker thread -----------------------------------------------------------------------------------

void ProgressPage::Show(const ProgressView& view) {
  if (view.Empty()) return;
  OnUi([&] {
    if (view.range) SetRange(*view.range);
    if (view.position) SetPosition(*view.position);
    if (view.status) SetStatus(*view.status);
  });
}

void ProgressPage::BeginAction(int actionId, std::uint32_t totalCount, const wchar_t* name) {
  Show(progress_.Begin(actionId, totalCount, name, actionId == PAID_DOWNLOAD ? BytesToDownload() : 0, ::GetTickCount()));
  if (actionId == PAID_DOWNLOAD)
    OnUi([&] {
      if (!sheet_.IsFirstPage(WizardPage::kProgress)) sheet_.EnableButtons(kButtonBack, kButtonBack);
      SetWorkControlsEnabled(true);
    });
}

void ProgressPage::SubActionPerform(std::uint32_t amount) { Show(progress_.Perform(amount, ::GetTickCount())); }

void ProgressPage::EndAction(int actionId, Result state) {
  Show(progress_.End(actionId, state));
  if (actionId == PAID_DOWNLOAD)
    OnUi([&] {
      sheet_.EnableButtons(kButtonBack, 0);
      SetWorkControlsEnabled(false);
      installing_ = true;
    });
  if (actionId == PAID_INSTALL) OnUi([&] { ShowEnd(state); });
}

// Questions need the window: a hidden sheet says so through its icon and waits until the user opened
// it. False when the run was cancelled meanwhile.
bool ProgressPage::EnsureVisible(const std::wstring& question) {
  if (sheet_.Visible()) return true;
  LogFormat(kLogInfo, L"Waiting for the window to be shown: %ls", question.c_str());
  OnUi([&] {
    sheet_.Tray().SetTip(question);
    sheet_.Tray().ShowBalloon(TrayIcon::Balloon::kError, question, sheet_.ApplicationName(), kBalloonTimeoutMs);
  });
  while (!sheet_.Visible()) {
    if (sheet_.CancelRequested()) return false;
    ::Sleep(10);
  }
  return true;
}

Result ProgressPage::Error(const wchar_t* url, Result code, void* context) {
  if (code == E_UPD_PART_COMPLETE && url) {
    std::wstring status = url;
    OnUi([&] { SetStatus(status); });
    return 0;
  }
  if (IsCertificateQuestion(code)) {
    if (!EnsureVisible(LoadStringResource(kStrUntrustedCertificateQuestion))) return code;
    Result answer = ERROR_CANCELLED;
    OnUi([&] { answer = AskAboutCertificate(sheet_.Window(), context, code); });
    return answer;
  }
  if (code == E_UPD_AUTH_REQUIRED) {
    if (!context || !EnsureVisible(LoadStringResource(kStrCredentialsNeededForUpdate))) return 0;
    Result answer = 0;
    OnUi([&] { answer = AskForCredentials(sheet_.Window(), context); });
    return answer;
  }
  if (code == E_UPD_BAD_MD5 || code == E_UPD_BAD_SHA256) {
    std::wstring status = MessageText(code);
    std::wstring question = CorruptFileQuestion(code);
    OnUi([&] { SetStatus(status); });
    if (!EnsureVisible(question)) return 0;
    bool again = false;
    OnUi([&] { again = AskToRestartCorruptDownload(sheet_.Window(), sheet_.ApplicationName(), question); });
    if (!again) return 0;
    progress_.ForgetLastFile();
    return kObserverRetry;
  }
  std::wstring status = MessageText(code);
  LogFormat(kLogDebug, L"Progress page: %ls (0x%08X)", status.c_str(), static_cast<unsigned>(code));
  OnUi([&] { SetStatus(status); });
  return 0;
}

// ---- page thread -----------------------------------------------------------------------------------

// The installation ended (or the run only downloaded): success and the two cancellations close the
// wizard unless the client wants the summary every time; anything else leads to the summary.
void ProgressPage::ShowEnd(Result result) {
  installing_ = false;
  installEnded_ = true;
  // An update that failed to download counts too, even when everything downloaded installed.
  if (result == kOk) {
    const UpdateCatalogue& catalogue = sheet_.context.catalogue;
    for (std::size_t i = 0; i < catalogue.Count() && result == kOk; ++i)
      if (catalogue.At(i).processing && IsInstallFailure(catalogue.At(i).status)) result = catalogue.At(i).status;
  }
  SetWorkControlsEnabled(true);
  if (InstallEndsWithoutSummary(result, sheet_.settings.HasClientFlag(kClientInstallSummaryAlways))) {
    sheet_.ShowButtons(kButtonFinish | kButtonNext, kButtonFinish);
    sheet_.EnableButtons(kButtonFinish, kButtonFinish);
    sheet_.Press(PSBTN_FINISH);
  } else {
    sheet_.EnableButtons(kButtonNext, kButtonNext);
    sheet_.Press(PSBTN_NEXT);
  }
}

void ProgressPage::OnWorkerEnded(Result result) {
  sheet_.WaitForWorker();
  sheet_.OnWorkerEnded(result);
  taskbar_.SetState(sheet_.Window(), TBPF_NOPROGRESS);
  if (pendingButton_ >= 0) {
    int button = pendingButton_;
    pendingButton_ = -1;
    if (button == PSBTN_BACK) sheet_.ClearCancel();
    SetWorkControlsEnabled(true);
    sheet_.Press(button);
    return;
  }
  if (!installEnded_) ShowEnd(result);
}

bool ProgressPage::RefuseCancel() {
  if (!sheet_.WorkerRunning()) return false;
  if (!installing_ && sheet_.RequestCancel()) pendingButton_ = PSBTN_CANCEL;
  return true;
}

LONG_PTR ProgressPage::OnBack() {
  if (sheet_.IsFirstPage(WizardPage::kProgress)) return -1;
  if (!sheet_.WorkerRunning()) return 0;
  if (!installing_ && sheet_.RequestCancel()) pendingButton_ = PSBTN_BACK;
  return -1;
}

}  // namespace

INT_PTR CALLBACK ProgressPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  WizardSheet* sheet = SheetOfPage(page, message, lParam);
  if (!sheet) return FALSE;
  ProgressPage* progress = WindowState<ProgressPage>::Of(page);
  switch (message) {
    case WM_INITDIALOG: {
      auto created = std::make_unique<ProgressPage>(*sheet, page);
      created->Init();
      WindowState<ProgressPage>::AttachOwned(page, std::move(created));
      return TRUE;
    }
    case kMsgRunOnUiThread:
      (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return TRUE;
    case kMsgWorkerEnded:
      if (progress) progress->OnWorkerEnded(static_cast<Result>(lParam));
      return TRUE;
    case WM_NOTIFY: {
      if (!progress) return FALSE;
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      switch (header->code) {
        case PSN_SETACTIVE:
          progress->Activate();
          return Answer(page, 0);
        case PSN_WIZBACK:
          return Answer(page, progress->OnBack());
        case PSN_WIZNEXT:
          return Answer(page, progress->WorkDone() ? 0 : -1);
        case PSN_WIZFINISH:
          if (!progress->WorkDone()) return Answer(page, TRUE);
          sheet->MarkFinished();
          return Answer(page, 0);
        case PSN_QUERYCANCEL:
          return Answer(page, progress->RefuseCancel() ? TRUE : FALSE);
        default:
          return FALSE;
      }
    }
    case WM_DESTROY:
      // The worker reports to this page until it ends.
      sheet->WaitForWorker();
      WindowState<ProgressPage>::DetachOwned(page);
      return FALSE;
    default:
      (void)wParam;
      return FALSE;
  }
}

}  // namespace updater
