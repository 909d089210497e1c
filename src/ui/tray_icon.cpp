#include "ui/tray_icon.h"

#include <algorithm>

#include "base/win_handles.h"
#include "resources/resource_ids.h"
#include "ui/wizard_logic.h"

namespace updater {
namespace {

constexpr UINT kIconId = 191;

// The popup of the notification-area menu, with the loaded menu that owns it.
struct TrayMenu {
  UniqueMenu menu{::LoadMenuW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDM_TRAY))};
  HMENU Popup() const { return menu ? ::GetSubMenu(menu.Get(), 0) : nullptr; }
};

void CopyInto(wchar_t* field, std::size_t size, const std::wstring& text) {
  std::wstring cut = CutText(text, size - 1);
  std::copy(cut.begin(), cut.end(), field);
  field[cut.size()] = L'\0';
}

}  // namespace

UINT TrayIcon::CallbackMessage() {
  static const UINT message = ::RegisterWindowMessageW(L"WM_TRAYICON");
  return message;
}

NOTIFYICONDATAW TrayIcon::Data(UINT flags) const {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof(data);
  data.hWnd = owner_;
  data.uID = kIconId;
  data.uFlags = flags;
  return data;
}

void TrayIcon::Add(HWND owner, const std::wstring& applicationName) {
  owner_ = owner;
  applicationName_ = applicationName;
  tip_ = DoubleAmpersands(applicationName);
  NOTIFYICONDATAW data = Data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
  data.uCallbackMessage = CallbackMessage();
  data.hIcon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                               ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON),
                                               LR_DEFAULTCOLOR | LR_SHARED));
  CopyInto(data.szTip, kTrayTipChars, tip_);
  added_ = ::Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void TrayIcon::Remove() {
  if (!added_) return;
  NOTIFYICONDATAW data = Data(0);
  ::Shell_NotifyIconW(NIM_DELETE, &data);
  added_ = false;
}

void TrayIcon::SetTip(const std::wstring& text) {
  tip_ = text;
  NOTIFYICONDATAW data = Data(NIF_TIP);
  CopyInto(data.szTip, kTrayTipChars, text);
  ::Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TrayIcon::ShowBalloon(Balloon kind, const std::wstring& text, const std::wstring& title, unsigned timeoutMs) {
  NOTIFYICONDATAW data = Data(NIF_INFO);
  CopyInto(data.szInfo, kBalloonTextChars + 1, text);
  CopyInto(data.szInfoTitle, kBalloonTitleChars + 1, title);
  data.uTimeout = timeoutMs;
  data.dwInfoFlags = kind == Balloon::kError ? NIIF_ERROR : kind == Balloon::kWarning ? NIIF_WARNING : NIIF_INFO;
  ::Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TrayIcon::SetMenuItemEnabled(UINT command, bool enabled) {
  auto found = std::find_if(menuStates_.begin(), menuStates_.end(),
                            [command](const std::pair<UINT, bool>& entry) { return entry.first == command; });
  if (found != menuStates_.end())
    found->second = enabled;
  else
    menuStates_.emplace_back(command, enabled);
}

bool TrayIcon::MenuItemEnabled(UINT command) const {
  for (const auto& [id, enabled] : menuStates_)
    if (id == command) return enabled;
  return true;
}

UINT TrayIcon::DefaultCommand(HMENU popup) const {
  if (defaultCommand_ != 0) return defaultCommand_;
  return popup ? ::GetMenuItemID(popup, 0) : 0;
}

void TrayIcon::OnCallback(LPARAM event) {
  switch (LOWORD(event)) {
    case WM_LBUTTONDBLCLK:
    case NIN_BALLOONUSERCLICK: {
      TrayMenu menu;
      if (!menu.Popup()) return;
      ::PostMessageW(owner_, WM_COMMAND, MAKEWPARAM(DefaultCommand(menu.Popup()), 0), 0);
      return;
    }
    case WM_RBUTTONUP:
      OpenMenu();
      return;
    default:
      return;
  }
}

void TrayIcon::OpenMenu() {
  TrayMenu menu;
  HMENU popup = menu.Popup();
  if (!popup) return;
  for (const auto& [command, enabled] : menuStates_)
    ::EnableMenuItem(popup, command, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
  std::wstring name = DoubleAmpersands(applicationName_);
  ::ModifyMenuW(popup, IDM_TRAY_SHOW, MF_BYCOMMAND | MF_STRING, IDM_TRAY_SHOW, name.c_str());
  ::SetMenuDefaultItem(popup, DefaultCommand(popup), FALSE);
  ::SetForegroundWindow(owner_);
  POINT cursor{};
  ::GetCursorPos(&cursor);
  if (!::MonitorFromPoint(cursor, MONITOR_DEFAULTTONULL)) {
    // The cursor lies on no monitor: keep the menu's left edge on the nearest one.
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (::GetMonitorInfoW(::MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &info))
      cursor.x = std::clamp(cursor.x, info.rcWork.left, info.rcWork.right - 1);
  }
  ::TrackPopupMenu(popup, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, owner_, nullptr);
  // Without a message after it, the menu would not close when the user clicks elsewhere.
  ::PostMessageW(owner_, WM_NULL, 0, 0);
}

}  // namespace updater
