// The wizard's icon in the notification area: tooltip, balloons, and the small menu that brings the
// hidden wizard back or ends it. All calls come from the sheet's thread.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <utility>
#include <vector>

namespace updater {

class TrayIcon {
 public:
  enum class Balloon { kInfo, kWarning, kError };

  TrayIcon() = default;
  ~TrayIcon() { Remove(); }
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // The window message of the icon's mouse events ("WM_TRAYICON", registered).
  static UINT CallbackMessage();

  // Adds the icon for `owner` with the application name (ampersands doubled) as tooltip.
  void Add(HWND owner, const std::wstring& applicationName);
  void Remove();
  bool Added() const { return added_; }

  void SetTip(const std::wstring& text);
  void ShowBalloon(Balloon kind, const std::wstring& text, const std::wstring& title, unsigned timeoutMs);
  // Recorded and applied each time the menu opens; a later state of a command replaces the earlier.
  void SetMenuItemEnabled(UINT command, bool enabled);
  bool MenuItemEnabled(UINT command) const;

  // The icon's callback message: a double click or a balloon click sends the default command to
  // the owner, a right click opens the menu.
  void OnCallback(LPARAM event);

 private:
  NOTIFYICONDATAW Data(UINT flags) const;
  void OpenMenu();
  UINT DefaultCommand(HMENU popup) const;

  HWND owner_ = nullptr;
  std::wstring applicationName_;
  std::wstring tip_;
  bool added_ = false;
  std::vector<std::pair<UINT, bool>> menuStates_;
  UINT defaultCommand_ = 0;  // 0: the first item
};

}  // namespace updater
