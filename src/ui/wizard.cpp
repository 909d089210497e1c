#include "ui/wizard.h"

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <algorithm>

#include "base/logger.h"
#include "base/string_table.h"
#include "resources/resource_ids.h"
#include "resources/string_ids.h"
#include "ui/description_pane.h"
#include "ui/window_state.h"
#include "ui/window_classes.h"
#include "ui/wizard_sheet.h"
#include "ui/worker_questions.h"

namespace updater {
namespace {

// Control ids of the sheet's own buttons.
constexpr int kIdBackButton = 0x3023;
constexpr int kIdNextButton = 0x3024;
constexpr int kIdFinishButton = 0x3025;
constexpr UINT_PTR kSubclassId = 1;
// Sheet styles of Windows Vista and later that this tool chain's headers leave out.
constexpr DWORD kSheetAeroWizard = 0x00004000;
constexpr DWORD kSheetResizable = 0x04000000;

// The property-sheet callback carries no context: the sheet being created is kept here (one
// wizard per thread at a time).
thread_local WizardSheet* creatingSheet = nullptr;

struct ButtonControl {
  int bit;
  int id;
};
constexpr ButtonControl kButtons[] = {
    {kButtonBack, kIdBackButton}, {kButtonNext, kIdNextButton}, {kButtonFinish, kIdFinishButton}, {kButtonCancel, IDCANCEL}};

std::size_t ListedUpdateCount(const UpdateCatalogue& catalogue) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < catalogue.Count(); ++i)
    if (catalogue.At(i).selected && !catalogue.At(i).deprecated) ++count;
  return count;
}

std::wstring HeaderOf(WizardPage page, const WizardSheet& sheet) {
  switch (page) {
    case WizardPage::kWelcome:
      return LoadStringFilled(kStrUpdatesAvailableFor, {sheet.ApplicationName()});
    case WizardPage::kSelection:
      return LoadStringResource(SelectionTitledAsSummary(ListedUpdateCount(sheet.context.catalogue), sheet.VerticalSplit())
                                    ? kStrUpdateSummary
                                    : kStrChooseUpdates);
    case WizardPage::kProgress:
      return LoadStringResource(sheet.settings.justDownload ? kStrDownloadingUpdates : kStrInstallingUpdates);
    case WizardPage::kSummary:
      return LoadStringResource(kStrInstallSummary);
  }
  return {};
}

struct PageTemplate {
  int dialog;
  DLGPROC procedure;
};

PageTemplate TemplateOf(WizardPage page) {
  switch (page) {
    case WizardPage::kWelcome:
      return {IDD_WELCOME, &WelcomePageProc};
    case WizardPage::kSelection:
      return {IDD_SELECTION, &SelectionPageProc};
    case WizardPage::kProgress:
      return {IDD_PROGRESS, &ProgressPageProc};
    case WizardPage::kSummary:
      return {IDD_SUMMARY, &SummaryPageProc};
  }
  return {IDD_SUMMARY, &SummaryPageProc};
}

// The sheet's frame, set before it is created: no maximise box, a minimise box, resizable, its own
// taskbar button, children clipped, and invisible until the wizard decides to show it.
void AdjustSheetTemplate(LPARAM templatePointer) {
  struct ExtendedHeader {
    WORD version;
    WORD signature;
    DWORD helpId;
    DWORD extendedStyle;
    DWORD style;
  };
  auto adjust = [](DWORD& style, DWORD& extendedStyle) {
    style &= ~(WS_VISIBLE | WS_MAXIMIZEBOX);
    style |= WS_MINIMIZEBOX | WS_THICKFRAME | WS_CLIPCHILDREN;
    extendedStyle |= WS_EX_APPWINDOW;
  };
  auto* extended = reinterpret_cast<ExtendedHeader*>(templatePointer);
  if (extended->signature == 0xFFFF) {
    adjust(extended->style, extended->extendedStyle);
  } else {
    auto* plain = reinterpret_cast<DLGTEMPLATE*>(templatePointer);
    adjust(plain->style, plain->dwExtendedStyle);
  }
}

}  // namespace

void RunOnUiThread(HWND window, const std::function<void()>& call) {
  ::SendMessageW(window, kMsgRunOnUiThread, 0, reinterpret_cast<LPARAM>(&call));
}

WizardSheet* SheetOfPage(HWND page, UINT message, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* sheet = reinterpret_cast<WizardSheet*>(reinterpret_cast<const PROPSHEETPAGEW*>(lParam)->lParam);
    WindowState<WizardSheet>::Attach(page, sheet);
    return sheet;
  }
  WizardSheet* sheet = WindowState<WizardSheet>::Of(page);
  if (message == WM_NCDESTROY) WindowState<WizardSheet>::Detach(page);
  return sheet;
}

WizardSheet::WizardSheet(WizardContext& wizardContext)
    : context(wizardContext), settings(wizardContext.settings), applicationName_(wizardContext.settings.applicationName) {
  pages_ = PagesOfMode(context.mode);
  startsHidden_ = SheetStartsHidden(context.mode, settings.startMinimized);
  verticalSplit_ = UsesVerticalSplit(settings.HasClientFlag(kClientVertSplitter), ::GetSystemMetrics(SM_CXSCREEN),
                                     ::GetSystemMetrics(SM_CYSCREEN));
}

WizardSheet::~WizardSheet() { WaitForWorker(); }

int WizardSheet::IndexOf(WizardPage page) const {
  for (std::size_t i = 0; i < pages_.size(); ++i)
    if (pages_[i] == page) return static_cast<int>(i);
  return -1;
}

void WizardSheet::SelectPage(WizardPage page) {
  int index = IndexOf(page);
  if (index >= 0) PropSheet_SetCurSel(sheet_, nullptr, index);
}

void WizardSheet::Press(int psButton) { PropSheet_PressButton(sheet_, psButton); }

void WizardSheet::SetTitle(const std::wstring& title) {
  ::SetWindowTextW(sheet_, title.c_str());
  tray_.SetTip(title);
}

// The buttons are shown and enabled control by control: the mask messages exist only for the newer
// wizard style and not on every platform.
void WizardSheet::ShowButtons(int mask, int shown) {
  for (const ButtonControl& button : kButtons) {
    if ((mask & button.bit) == 0) continue;
    if (HWND control = ::GetDlgItem(sheet_, button.id)) ::ShowWindow(control, (shown & button.bit) ? SW_SHOW : SW_HIDE);
  }
}

void WizardSheet::EnableButtons(int mask, int enabled) {
  for (const ButtonControl& button : kButtons) {
    if ((mask & button.bit) == 0) continue;
    if (HWND control = ::GetDlgItem(sheet_, button.id)) ::EnableWindow(control, (enabled & button.bit) != 0);
  }
}

void WizardSheet::SetCloseEnabled(bool enabled) {
  if (HMENU menu = ::GetSystemMenu(sheet_, FALSE))
    ::EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
}

void WizardSheet::SetButtonTexts() {
  const std::pair<int, unsigned> texts[] = {
      {kIdBackButton, kStrBack}, {kIdNextButton, kStrNext}, {kIdFinishButton, kStrFinish}, {IDCANCEL, kStrCancel}};
  for (const auto& [id, text] : texts)
    if (HWND control = ::GetDlgItem(sheet_, id)) ::SetWindowTextW(control, LoadStringResource(text).c_str());
}

void WizardSheet::Restore() {
  if (!sheet_) return;
  if (!::IsWindowVisible(sheet_) || ::IsIconic(sheet_)) {
    restoring_ = true;
    ::ShowWindow(sheet_, SW_SHOWMINIMIZED);
    ::ShowWindow(sheet_, SW_RESTORE);
    restoring_ = false;
  }
  ::SetForegroundWindow(sheet_);
}

// ---- Worker ----------------------------------------------------------------------------------------

bool WizardSheet::StartWorker(DownloadObserver& sink, HWND page) {
  WaitForWorker();
  sink_ = &sink;
  workerPage_ = page;
  cancel_ = false;
  workerRunning_ = true;
  workerRan_ = true;
  worker_.Reset(::CreateThread(nullptr, 0, &WizardSheet::WorkerMain, this, 0, nullptr));
  if (!worker_) {
    workerRunning_ = false;
    workerResult_ = ::GetLastError();
    ::PostMessageW(page, kMsgWorkerEnded, 0, static_cast<LPARAM>(workerResult_));
    return false;
  }
  return true;
}

DWORD WINAPI WizardSheet::WorkerMain(LPVOID parameter) {
  auto* sheet = static_cast<WizardSheet*>(parameter);
  Result result = sheet->context.work ? sheet->context.work(*sheet->sink_) : kOk;
  ::PostMessageW(sheet->workerPage_, kMsgWorkerEnded, 0, static_cast<LPARAM>(result));
  return result;
}

void WizardSheet::OnWorkerEnded(Result result) {
  workerRunning_ = false;
  workerResult_ = result;
}

void WizardSheet::WaitForWorker() {
  if (!worker_) return;
  // The worker may be sending a report to a page of this thread: the join answers it.
  workerResult_ = JoinWorkerThread(worker_);
  workerRunning_ = false;
}

// ---- Sheet window ------------------------------------------------------------------------------------

void WizardSheet::OnSheetCreated(HWND sheet) {
  sheet_ = sheet;
  ::SetWindowSubclass(sheet, &WizardSheet::SheetSubclass, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
  if (HICON icon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                                   0, 0, LR_DEFAULTSIZE | LR_SHARED)))
    ::SendMessageW(sheet, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  tray_.Add(sheet, applicationName_);
  if (verticalSplit_) {
    ::SetWindowPos(sheet, nullptr, 0, 0, 850, 600, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // Centred again on the owner, or on the screen without one.
    RECT frame{}, around{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
    ::GetWindowRect(sheet, &frame);
    if (HWND owner = ::GetWindow(sheet, GW_OWNER)) ::GetWindowRect(owner, &around);
    int x = around.left + ((around.right - around.left) - (frame.right - frame.left)) / 2;
    int y = around.top + ((around.bottom - around.top) - (frame.bottom - frame.top)) / 2;
    ::SetWindowPos(sheet, nullptr, std::max(0, x), std::max(0, y), 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

int CALLBACK WizardSheet::SheetCallback(HWND window, UINT message, LPARAM lParam) {
  if (message == PSCB_PRECREATE && lParam) AdjustSheetTemplate(lParam);
  if (message == PSCB_INITIALIZED && creatingSheet) creatingSheet->OnSheetCreated(window);
  return 0;
}

LRESULT CALLBACK WizardSheet::SheetSubclass(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                            DWORD_PTR data) {
  auto* self = reinterpret_cast<WizardSheet*>(data);
  if (message == TrayIcon::CallbackMessage()) {
    self->tray_.OnCallback(lParam);
    return 0;
  }
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDM_TRAY_SHOW) {
        self->Restore();
        return 0;
      }
      if (LOWORD(wParam) == IDM_TRAY_EXIT) {
        if (!self->tray_.MenuItemEnabled(IDM_TRAY_EXIT)) return 0;
        self->tray_.Remove();
        self->Press(PSBTN_CANCEL);
        self->Press(PSBTN_FINISH);
        return 0;
      }
      break;
    case WM_SYSCOMMAND:
      // Minimising hides the sheet: it stays reachable through its notification-area icon.
      if ((wParam & 0xFFF0) == SC_MINIMIZE && !self->restoring_) {
        ::ShowWindow(window, SW_HIDE);
        return 0;
      }
      break;
    case WM_NCDESTROY:
      self->tray_.Remove();
      ::RemoveWindowSubclass(window, &WizardSheet::SheetSubclass, kSubclassId);
      self->sheet_ = nullptr;
      break;
    default:
      break;
  }
  return ::DefSubclassProc(window, message, wParam, lParam);
}

std::optional<Result> WizardSheet::Run() {
  PrepareWindowClasses();
  LoadRichEditLibrary();
  std::vector<std::wstring> headers;
  std::vector<std::wstring> titles;
  std::vector<PROPSHEETPAGEW> pageSheets;
  headers.reserve(pages_.size());
  titles.reserve(pages_.size());
  // A wizard shows the page's title as its window title.
  std::wstring workHeader = HeaderOf(WizardPage::kProgress, *this);
  for (WizardPage page : pages_) {
    headers.push_back(HeaderOf(page, *this));
    bool working = page == WizardPage::kProgress || page == WizardPage::kSummary;
    titles.push_back(working ? LoadStringFilled(kStrHeaderForApplication, {workHeader, applicationName_})
                             : LoadStringFilled(kStrFoundUpdatesFor, {applicationName_}));
  }
  for (std::size_t i = 0; i < pages_.size(); ++i) {
    PageTemplate found = TemplateOf(pages_[i]);
    PROPSHEETPAGEW sheetPage{};
    sheetPage.dwSize = sizeof(sheetPage);
    sheetPage.dwFlags = PSP_USEHEADERTITLE | PSP_USETITLE;
    sheetPage.pszTitle = titles[i].c_str();
    sheetPage.hInstance = ::GetModuleHandleW(nullptr);
    sheetPage.pszTemplate = MAKEINTRESOURCEW(found.dialog);
    sheetPage.pfnDlgProc = found.procedure;
    sheetPage.pszHeaderTitle = headers[i].c_str();
    sheetPage.lParam = reinterpret_cast<LPARAM>(this);
    pageSheets.push_back(sheetPage);
  }
  std::wstring caption = LoadStringFilled(kStrFoundUpdatesFor, {applicationName_});
  HWND owner = ::GetActiveWindow();
  PROPSHEETHEADERW header{};
  header.dwSize = sizeof(header);
  header.dwFlags = PSH_PROPSHEETPAGE | PSH_WIZARD97 | PSH_HEADER | PSH_USECALLBACK | PSH_MODELESS | kSheetResizable |
                   PSH_USEHICON;
  header.hwndParent = owner;
  header.hInstance = ::GetModuleHandleW(nullptr);
  header.hIcon = static_cast<HICON>(::LoadImageW(header.hInstance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                                 ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON),
                                                 LR_SHARED));
  header.pszCaption = caption.c_str();
  header.nPages = static_cast<UINT>(pageSheets.size());
  header.ppsp = pageSheets.data();
  header.pfnCallback = &WizardSheet::SheetCallback;

  // Under Wine the creation now and then fails with ERROR_INVALID_WINDOW_HANDLE right after the
  // process started; a second attempt succeeds.
  HWND created = nullptr;
  for (int attempt = 1; attempt <= 3 && !created; ++attempt) {
    creatingSheet = this;
    created = reinterpret_cast<HWND>(::PropertySheetW(&header));
    creatingSheet = nullptr;
    if (created == reinterpret_cast<HWND>(-1)) created = nullptr;
    if (created) break;
    LogFormat(kLogError, L"The update wizard could not be created (attempt %d, error %lu).", attempt,
              ::GetLastError());
    tray_.Remove();
    sheet_ = nullptr;
    ::Sleep(200);
  }
  if (!created) {
    ::SetLastError(ERROR_OUTOFMEMORY);
    return std::nullopt;
  }
  if (!sheet_) OnSheetCreated(created);
  if (!startsHidden_) {
    ::ShowWindow(sheet_, SW_SHOW);
    ::SetForegroundWindow(sheet_);
  }
  // A modal sheet would show itself on its first idle moment; this loop keeps the sheet hidden
  // where the run starts in the notification area, and disables the owner as a modal sheet would.
  if (owner) ::EnableWindow(owner, FALSE);
  MSG message{};
  while (sheet_ && PropSheet_GetCurrentPageHwnd(sheet_)) {
    BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      ::PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (got < 0) break;
    if (!PropSheet_IsDialogMessage(sheet_, &message)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
  if (owner) ::EnableWindow(owner, TRUE);
  tray_.Remove();
  if (sheet_) ::DestroyWindow(sheet_);
  WaitForWorker();
  context.sheetCancelled = !finished_;
  return workerRan_ ? workerResult_ : kOk;
}

std::optional<Result> RunWizard(WizardContext& context) {
  WizardSheet sheet(context);
  std::optional<Result> result = sheet.Run();
  LogFormat(kLogTrace, L"Updater wizard ended. Return code: %d", result ? static_cast<int>(*result) : -1);
  return result;
}

}  // namespace updater
