// The pop-up of a message on systems without toasts: a top-most tool window near the lower right
// corner of the desktop, on a thread of its own, showing the rendered message in a read-only
// rich-text pane. The user's closing and a link click mark the message seen; the timer does not.
#include <windows.h>
#include <richedit.h>

#include <memory>

#include "base/logger.h"
#include "base/win_handles.h"
#include "notify/message_display.h"
#include "ui/description_pane.h"
#include "ui/window_classes.h"
#include "ui/window_state.h"

namespace updater {
namespace {

constexpr wchar_t kPopupClass[] = L"KestruneMessagePopup";
constexpr UINT_PTR kCloseTimer = 1;
constexpr UINT kCloseAfterMs = 30000;
constexpr int kWidth = 380;
constexpr int kHeight = 170;
constexpr int kRightMargin = 10;
constexpr int kBottomMargin = 60;
constexpr int kPaneId = 100;

struct PopupState {
  SettingsStore store;
  Notification notification;
  StyleRunList runs;
  HWND pane = nullptr;
  UniqueGdiObject font;

  void MarkSeen() const {
    store.WriteNumber(SettingsKey::kMessages, notification.id, 0);
    LogFormat(kLogInfo, L"The message %ls was shown in a pop-up.", notification.id.c_str());
  }
};

LRESULT CALLBACK PopupProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE)
    WindowState<PopupState>::Attach(window, static_cast<PopupState*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
  auto* state = WindowState<PopupState>::Of(window);
  switch (message) {
    case WM_CREATE: {
      RECT client{};
      ::GetClientRect(window, &client);
      state->pane = ::CreateWindowExW(0, MSFTEDIT_CLASS, nullptr,
                                      WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY, 0, 0,
                                      client.right, client.bottom, window,
                                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kPaneId)),
                                      ::GetModuleHandleW(nullptr), nullptr);
      if (!state->pane) return -1;
      // The pane starts in the system's message font, as a dialog's pane would.
      NONCLIENTMETRICSW metrics{};
      metrics.cbSize = sizeof(metrics);
      if (::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        state->font.Reset(::CreateFontIndirectW(&metrics.lfMessageFont));
        if (state->font) ::SendMessageW(state->pane, WM_SETFONT, reinterpret_cast<WPARAM>(state->font.Get()), FALSE);
      }
      ::SendMessageW(state->pane, EM_AUTOURLDETECT, FALSE, 0);
      ::SendMessageW(state->pane, EM_SETEVENTMASK, 0, ENM_LINK);
      const Notification& shown = state->notification;
      std::string rtf =
          RenderMessage(shown.content.title, shown.content.body, shown.uri, shown.buttonText, state->runs);
      ShowRtf(state->pane, rtf, state->runs);
      ::SetTimer(window, kCloseTimer, kCloseAfterMs, nullptr);
      return 0;
    }
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->idFrom == kPaneId && header->code == EN_LINK &&
          HandleLinkNotification(*reinterpret_cast<const ENLINK*>(lParam), state->runs)) {
        state->MarkSeen();
        ::DestroyWindow(window);
        return 1;
      }
      break;
    }
    case WM_TIMER:
      if (wParam == kCloseTimer) {
        // Not seen: the message comes again at the next check.
        ::KillTimer(window, kCloseTimer);
        ::DestroyWindow(window);
        return 0;
      }
      break;
    case WM_CLOSE:
      state->MarkSeen();
      ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      WindowState<PopupState>::Detach(window);
      break;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI PopupThread(LPVOID parameter) {
  std::unique_ptr<PopupState> state(static_cast<PopupState*>(parameter));
  PrepareWindowClasses();
  LoadRichEditLibrary();
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &PopupProc;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kPopupClass;
  ::RegisterClassExW(&windowClass);  // fails harmlessly when a previous pop-up registered it

  RECT desktop{};
  ::GetWindowRect(::GetDesktopWindow(), &desktop);
  HWND window = ::CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kPopupClass, L"Messages",
                                  WS_POPUP | WS_CAPTION | WS_SYSMENU, desktop.right - kRightMargin - kWidth,
                                  desktop.bottom - kBottomMargin - kHeight, kWidth, kHeight, nullptr, nullptr,
                                  ::GetModuleHandleW(nullptr), state.get());
  if (!window) {
    LogFormat(kLogError, L"The message pop-up could not be created (error %lu).", ::GetLastError());
    return 1;
  }
  ::ShowWindow(window, SW_SHOWNOACTIVATE);
  MSG message{};
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return 0;
}

}  // namespace

bool MessagePresenter::ShowPopup(const Notification& notification) {
  // One pop-up at a time: a second one waits for the first to close.
  if (popupThread_) ::WaitForSingleObject(popupThread_.Get(), INFINITE);
  auto state = std::make_unique<PopupState>(PopupState{settings_.Store(), notification, {}, nullptr});
  popupThread_.Reset(::CreateThread(nullptr, 0, &PopupThread, state.get(), 0, nullptr));
  if (!popupThread_) {
    LogError(L"The message pop-up thread could not be started", ::GetLastError());
    return false;
  }
  state.release();
  return true;
}

}  // namespace updater
