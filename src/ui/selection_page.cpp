// The selection page: the list of applicable updates with check boxes, grouped by category, and the
// description of the highlighted one. Checking and unchecking follow the dependency chains.
#include <richedit.h>
#include <windowsx.h>

#include <memory>

#include "base/format_size.h"
#include "base/logger.h"
#include "base/string_table.h"
#include "base/win_handles.h"
#include "catalogue/update_catalogue.h"
#include "resources/resource_ids.h"
#include "resources/string_ids.h"
#include "ui/description_pane.h"
#include "ui/window_state.h"
#include "ui/wizard_sheet.h"

namespace updater {
namespace {

constexpr int kColumnUpdate = 0;
constexpr int kColumnSize = 1;
constexpr int kColumnAction = 2;
constexpr int kStateUnselected = 1;
constexpr int kStateSelected = 2;

struct SelectionPageState {
  WizardSheet* sheet = nullptr;
  std::vector<UpdateRecord*> records;  // one per list item
  StyleRunList runs;                   // of the description shown
  bool filling = true;                 // items are being inserted: no propagation yet
  bool propagating = false;
};

SelectionPageState* StateOf(HWND page) { return WindowState<SelectionPageState>::Of(page); }

HWND List(HWND page) { return ::GetDlgItem(page, IDC_SELECTION_LIST); }

int CheckState(HWND list, int item) {
  return static_cast<int>((ListView_GetItemState(list, item, LVIS_STATEIMAGEMASK) & LVIS_STATEIMAGEMASK) >> 12);
}

void SetCheckState(HWND list, int item, int state) {
  ListView_SetItemState(list, item, INDEXTOSTATEIMAGEMASK(state), LVIS_STATEIMAGEMASK);
}

void SetCellText(HWND list, int item, int column, const std::wstring& text) {
  LVITEMW cell{};
  cell.iSubItem = column;
  cell.pszText = const_cast<wchar_t*>(text.c_str());
  ::SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&cell));
}

void RewriteActions(HWND page, const SelectionPageState& state) {
  HWND list = List(page);
  for (int i = 0; i < static_cast<int>(state.records.size()); ++i) {
    bool downloaded = state.sheet->context.isDownloaded && state.sheet->context.isDownloaded(*state.records[i]);
    SelectionAction action = ActionOf(CheckState(list, i) == kStateSelected, downloaded);
    unsigned text = action == SelectionAction::kDownload ? kStrActionDownload
                    : action == SelectionAction::kInstall ? kStrInstall
                                                          : kStrActionSkip;
    SetCellText(list, i, kColumnAction, LoadStringResource(text));
  }
}

// List and description fill the page: side by side with the vertical splitter, else one above the other.
void Layout(HWND page, const SelectionPageState& state) {
  RECT client{};
  ::GetClientRect(page, &client);
  int width = client.right - client.left;
  int height = client.bottom - client.top;
  const int gap = 6;
  HWND list = List(page);
  HWND pane = ::GetDlgItem(page, IDC_SELECTION_DESCRIPTION);
  if (state.sheet->VerticalSplit()) {
    int listWidth = (width - gap) * 45 / 100;
    ::MoveWindow(list, 0, 0, listWidth, height, TRUE);
    ::MoveWindow(pane, listWidth + gap, 0, width - listWidth - gap, height, TRUE);
  } else {
    int listHeight = (height - gap) * 42 / 100;
    ::MoveWindow(list, 0, 0, width, listHeight, TRUE);
    ::MoveWindow(pane, 0, listHeight + gap, width, height - listHeight - gap, TRUE);
  }
  int sizeWidth = 80;
  RECT listClient{};
  ::GetClientRect(list, &listClient);
  int listWidth = static_cast<int>(listClient.right - listClient.left);
  int updateWidth = std::max(120, listWidth * 55 / 100);
  ListView_SetColumnWidth(list, kColumnUpdate, updateWidth);
  ListView_SetColumnWidth(list, kColumnSize, sizeWidth);
  ListView_SetColumnWidth(list, kColumnAction,
                          std::max(40, listWidth - updateWidth - sizeWidth - 3));
}

void ShowDescription(HWND page, SelectionPageState& state, int item) {
  if (item < 0 || item >= static_cast<int>(state.records.size())) return;
  DescriptionTexts texts;
  texts.newFeatures = LoadStringResource(kStrNewFeatures);
  texts.enhancements = LoadStringResource(kStrEnhancements);
  texts.fixedBugs = LoadStringResource(kStrFixedBugs);
  texts.updateSizeFormat = LoadStringResource(kStrUpdateSize);
  StyleRunList runs;
  std::string rtf = RenderUpdateDescription(FromRecord(*state.records[item]), texts, runs);
  HWND pane = ::GetDlgItem(page, IDC_SELECTION_DESCRIPTION);
  if (rtf.empty()) {
    ::SetWindowTextW(pane, L"");
    state.runs.clear();
    return;
  }
  state.runs = std::move(runs);
  ShowRtf(pane, rtf, state.runs);
}

void InsertColumn(HWND list, int index, unsigned text, int format) {
  std::wstring title = LoadStringResource(text);
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
  column.fmt = format;
  column.cx = 100;
  column.pszText = const_cast<wchar_t*>(title.c_str());
  ::SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column));
}

void FillList(HWND page, SelectionPageState& state) {
  HWND list = List(page);
  ListView_SetExtendedListViewStyle(list, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
  InsertColumn(list, kColumnUpdate, kStrColumnUpdate, LVCFMT_LEFT);
  InsertColumn(list, kColumnSize, kStrColumnSize, LVCFMT_RIGHT);
  InsertColumn(list, kColumnAction, kStrColumnAction, LVCFMT_LEFT);

  UpdateCatalogue& catalogue = state.sheet->context.catalogue;
  std::vector<std::wstring> categories;
  for (std::size_t i = 0; i < catalogue.Count(); ++i) {
    UpdateRecord& record = catalogue.At(i);
    if (!record.selected || record.deprecated) continue;
    state.records.push_back(&record);
    categories.push_back(record.Category);
  }
  SelectionGroups groups = GroupByCategory(categories, state.sheet->ApplicationName());
  if (!groups.names.empty()) {
    ListView_EnableGroupView(list, TRUE);
    for (std::size_t g = 0; g < groups.names.size(); ++g) {
      LVGROUP group{};
      group.cbSize = sizeof(group);
      group.mask = LVGF_HEADER | LVGF_GROUPID;
      group.pszHeader = const_cast<wchar_t*>(groups.names[g].c_str());
      group.iGroupId = static_cast<int>(g);
      ListView_InsertGroup(list, -1, &group);
    }
  }
  for (std::size_t i = 0; i < state.records.size(); ++i) {
    const UpdateRecord& record = *state.records[i];
    std::wstring name = record.Name;
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM | (groups.names.empty() ? 0u : static_cast<UINT>(LVIF_GROUPID));
    item.iItem = static_cast<int>(i);
    item.pszText = const_cast<wchar_t*>(name.c_str());
    item.lParam = static_cast<LPARAM>(i);
    if (!groups.names.empty()) item.iGroupId = groups.groupOfItem[i];
    int at = static_cast<int>(::SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    SetCellText(list, at, kColumnSize, FormatSize(record.Size));
    SetCheckState(list, at, record.HasFlag(kUpdateNotSelected) ? kStateUnselected : kStateSelected);
  }
  if (state.records.size() == 1) {
    SetCheckState(list, 0, kStateSelected);
    state.records[0]->processing = true;
  }
  Layout(page, state);
  state.filling = false;
  if (!state.records.empty()) {
    ListView_SetItemState(list, 0, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED);
    ListView_EnsureVisible(list, 0, FALSE);
    ShowDescription(page, state, 0);
  }
  RewriteActions(page, state);
}

// A check box changed: the change travels along the dependency chains before anything else sees it.
void OnCheckChanged(HWND page, SelectionPageState& state, int item, bool selected) {
  HWND list = List(page);
  std::vector<SelectionItem> items;
  for (int i = 0; i < static_cast<int>(state.records.size()); ++i) {
    const UpdateRecord& record = *state.records[i];
    items.push_back({record.Name, record.dependsOn ? record.dependsOn->Name : std::wstring(),
                     i == item ? !selected : CheckState(list, i) == kStateSelected});
  }
  state.propagating = true;
  for (std::size_t changed : SetSelectionState(items, static_cast<std::size_t>(item), selected))
    SetCheckState(list, static_cast<int>(changed), items[changed].selected ? kStateSelected : kStateUnselected);
  state.propagating = false;
  RewriteActions(page, state);
}

void ShowContextMenu(HWND page, int item) {
  if (item < 0) return;
  UniqueMenu menu(::LoadMenuW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDM_SELECTION)));
  if (!menu) return;
  HMENU popup = ::GetSubMenu(menu.Get(), 0);
  ::ModifyMenuW(popup, IDM_SELECTION_INSTALL, MF_BYCOMMAND | MF_STRING, IDM_SELECTION_INSTALL,
                LoadStringResource(kStrInstall).c_str());
  ::ModifyMenuW(popup, IDM_SELECTION_SKIP, MF_BYCOMMAND | MF_STRING, IDM_SELECTION_SKIP,
                LoadStringResource(kStrActionSkip).c_str());
  bool selected = CheckState(List(page), item) == kStateSelected;
  ::EnableMenuItem(popup, IDM_SELECTION_INSTALL, MF_BYCOMMAND | (selected ? MF_GRAYED : MF_ENABLED));
  ::EnableMenuItem(popup, IDM_SELECTION_SKIP, MF_BYCOMMAND | (selected ? MF_ENABLED : MF_GRAYED));
  POINT cursor{};
  ::GetCursorPos(&cursor);
  UINT chosen = static_cast<UINT>(
      ::TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, page, nullptr));
  if (chosen == IDM_SELECTION_INSTALL) SetCheckState(List(page), item, kStateSelected);
  if (chosen == IDM_SELECTION_SKIP) SetCheckState(List(page), item, kStateUnselected);
}

void ActivateSelection(WizardSheet& sheet, SelectionPageState& state, HWND page) {
  sheet.SetButtonTexts();
  std::wstring title = LoadStringFilled(kStrFoundUpdatesFor, {sheet.ApplicationName()});
  sheet.SetTitle(title);
  sheet.ShowButtons(kButtonBack | kButtonNext | kButtonCancel | kButtonFinish, kButtonBack | kButtonNext | kButtonCancel);
  bool welcomeFirst = sheet.IndexOf(WizardPage::kWelcome) >= 0;
  sheet.EnableButtons(kButtonBack | kButtonNext | kButtonCancel,
                      kButtonNext | kButtonCancel | (welcomeFirst ? kButtonBack : 0));
  RewriteActions(page, state);
}

// Next: the check boxes become the selection of the run; nothing checked keeps the page.
bool TakeSelection(HWND page, SelectionPageState& state) {
  HWND list = List(page);
  bool any = false;
  for (int i = 0; i < static_cast<int>(state.records.size()); ++i) any |= CheckState(list, i) == kStateSelected;
  if (!any) return false;
  UpdateCatalogue& catalogue = state.sheet->context.catalogue;
  for (std::size_t i = 0; i < catalogue.Count(); ++i) {
    catalogue.At(i).selected = false;
    catalogue.At(i).processing = false;
  }
  for (int i = 0; i < static_cast<int>(state.records.size()); ++i) {
    bool taken = CheckState(list, i) == kStateSelected;
    state.records[i]->selected = taken;
    state.records[i]->processing = taken;
  }
  return true;
}

INT_PTR OnNotify(HWND page, WizardSheet& sheet, SelectionPageState& state, const NMHDR& header) {
  if (header.idFrom == IDC_SELECTION_LIST) {
    if (header.code == LVN_ITEMCHANGED) {
      const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
      if (state.filling || !(change.uChanged & LVIF_STATE)) return FALSE;
      if ((change.uNewState & LVIS_SELECTED) && !(change.uOldState & LVIS_SELECTED))
        ShowDescription(page, state, change.iItem);
      bool checkChanged = ((change.uNewState ^ change.uOldState) & LVIS_STATEIMAGEMASK) != 0;
      if (checkChanged && !state.propagating && change.iItem >= 0)
        OnCheckChanged(page, state, change.iItem, ((change.uNewState & LVIS_STATEIMAGEMASK) >> 12) == kStateSelected);
      return FALSE;
    }
    if (header.code == NM_DBLCLK) {
      const auto& activate = reinterpret_cast<const NMITEMACTIVATE&>(header);
      if (activate.iItem >= 0)
        SetCheckState(List(page), activate.iItem,
                      CheckState(List(page), activate.iItem) == kStateSelected ? kStateUnselected : kStateSelected);
      return FALSE;
    }
    if (header.code == NM_RCLICK) {
      ShowContextMenu(page, reinterpret_cast<const NMITEMACTIVATE&>(header).iItem);
      return FALSE;
    }
    return FALSE;
  }
  if (header.idFrom == IDC_SELECTION_DESCRIPTION && header.code == EN_LINK) {
    HandleLinkNotification(reinterpret_cast<const ENLINK&>(header), state.runs);
    return FALSE;
  }
  switch (header.code) {
    case PSN_SETACTIVE:
      ActivateSelection(sheet, state, page);
      return Answer(page, 0);
    case PSN_WIZNEXT:
      return Answer(page, TakeSelection(page, state) ? 0 : -1);
    case PSN_WIZBACK:
      return Answer(page, 0);
    default:
      return FALSE;
  }
}

}  // namespace

INT_PTR CALLBACK SelectionPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  WizardSheet* sheet = SheetOfPage(page, message, lParam);
  if (!sheet) return FALSE;
  switch (message) {
    case WM_INITDIALOG: {
      auto state = std::make_unique<SelectionPageState>();
      state->sheet = sheet;
      HWND pane = ::GetDlgItem(page, IDC_SELECTION_DESCRIPTION);
      ::SendMessageW(pane, EM_SETEVENTMASK, 0, ENM_LINK);
      SelectionPageState& filled = *state;
      WindowState<SelectionPageState>::AttachOwned(page, std::move(state));
      FillList(page, filled);
      return TRUE;
    }
    case WM_SIZE:
      if (SelectionPageState* state = StateOf(page)) Layout(page, *state);
      return FALSE;
    case WM_NOTIFY:
      if (SelectionPageState* state = StateOf(page))
        return OnNotify(page, *sheet, *state, *reinterpret_cast<const NMHDR*>(lParam));
      return FALSE;
    case WM_DESTROY:
      Log(kLogDebug, L"DownloadUpdatesDialog closing.");
      WindowState<SelectionPageState>::DetachOwned(page);
      return FALSE;
    default:
      (void)wParam;
      return FALSE;
  }
}

}  // namespace updater
