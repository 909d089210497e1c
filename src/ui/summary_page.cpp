// The summary page: one row per update processed in this run with its result, and a warning when any
// of them failed.
#include <shobjidl.h>

#include "base/string_table.h"
#include "catalogue/update_catalogue.h"
#include "resources/resource_ids.h"
#include "resources/string_ids.h"
#include "ui/wizard_sheet.h"
#include "ui/work_progress.h"

namespace updater {
namespace {

std::wstring StatusText(Result result) {
  std::wstring message = MessageText(result);
  return SummaryShowsPlainMessage(result) ? message : LoadStringFilled(kStrErrorWithText, {message});
}

void InsertColumn(HWND list, int index, unsigned text, int width) {
  std::wstring title = LoadStringResource(text);
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.cx = width;
  column.pszText = const_cast<wchar_t*>(title.c_str());
  ::SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column));
}

void InitSummary(HWND page) {
  HWND list = ::GetDlgItem(page, IDC_SUMMARY_LIST);
  // Long statuses show whole in a tooltip over the cut cell.
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP);
  RECT client{};
  ::GetClientRect(list, &client);
  InsertColumn(list, 0, kStrColumnUpdate, 250);
  InsertColumn(list, 1, kStrColumnStatus, std::max(40, static_cast<int>(client.right - client.left) - 250 - 3));
}

void ActivateSummary(HWND page, WizardSheet& sheet) {
  bool wasHidden = !sheet.Visible();
  sheet.Restore();
  sheet.SetButtonTexts();
  sheet.ShowButtons(kButtonBack | kButtonNext | kButtonCancel | kButtonFinish, kButtonFinish);
  sheet.EnableButtons(kButtonFinish, kButtonFinish);
  sheet.SetCloseEnabled(true);
  HWND list = ::GetDlgItem(page, IDC_SUMMARY_LIST);
  ListView_DeleteAllItems(list);
  bool failed = false;
  const UpdateCatalogue& catalogue = sheet.context.catalogue;
  int row = 0;
  for (std::size_t i = 0; i < catalogue.Count(); ++i) {
    const UpdateRecord& record = catalogue.At(i);
    if (!record.processing) continue;
    failed |= IsInstallFailure(record.status);
    std::wstring name = record.Name;
    std::wstring status = StatusText(record.status);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = name.data();
    int at = static_cast<int>(::SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    LVITEMW cell{};
    cell.iSubItem = 1;
    cell.pszText = status.data();
    ::SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(at), reinterpret_cast<LPARAM>(&cell));
    ++row;
  }
  HWND icon = ::GetDlgItem(page, IDC_SUMMARY_ICON);
  HWND text = ::GetDlgItem(page, IDC_SUMMARY_TEXT);
  ::ShowWindow(icon, failed ? SW_SHOW : SW_HIDE);
  ::ShowWindow(text, failed ? SW_SHOW : SW_HIDE);
  if (!failed) return;
  std::wstring warning = LoadStringResource(kStrSomeUpdatesFailed);
  HICON error = ::LoadIconW(nullptr, IDI_ERROR);
  ::SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(error), 0);
  ::SetWindowTextW(text, warning.c_str());
  sheet.Tray().SetTip(warning);
  if (wasHidden)
    sheet.Tray().ShowBalloon(TrayIcon::Balloon::kError, warning, sheet.ApplicationName(), kBalloonTimeoutMs);
  TaskbarButton().SetOverlayIcon(sheet.Window(), error);
}

}  // namespace

INT_PTR CALLBACK SummaryPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  WizardSheet* sheet = SheetOfPage(page, message, lParam);
  if (!sheet) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      InitSummary(page);
      return TRUE;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->code == PSN_SETACTIVE) {
        ActivateSummary(page, *sheet);
        return Answer(page, 0);
      }
      if (header->code == PSN_WIZFINISH) {
        sheet->MarkFinished();
        return Answer(page, 0);
      }
      if (header->code == PSN_WIZBACK) return Answer(page, -1);
      return FALSE;
    }
    default:
      (void)wParam;
      return FALSE;
  }
}

}  // namespace updater
