#include "ui/hyperlink_control.h"

#include <commctrl.h>

#include <memory>

#include "base/win_handles.h"
#include "ui/window_state.h"

namespace updater {
namespace {

constexpr UINT_PTR kLinkSubclassId = 0x4C4B;

struct LinkState {
  AnchorColours colours;
  std::wstring target;
  UniqueGdiObject font;
  HWND tooltip = nullptr;
  bool visited = false;
};

void PaintLink(HWND control, LinkState& state) {
  PAINTSTRUCT paint{};
  HDC dc = ::BeginPaint(control, &paint);
  if (!dc) return;
  RECT client{};
  ::GetClientRect(control, &client);
  // The parent's background, as for any static control of the dialog.
  auto brush = reinterpret_cast<HBRUSH>(
      ::SendMessageW(::GetParent(control), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control)));
  ::FillRect(dc, &client, brush ? brush : ::GetSysColorBrush(COLOR_BTNFACE));
  int length = ::GetWindowTextLengthW(control);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(control, text.data(), length + 1)));
  HGDIOBJ oldFont = state.font ? ::SelectObject(dc, state.font.Get()) : nullptr;
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, state.visited ? state.colours.visited : state.colours.link);
  ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &client, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
  if (oldFont) ::SelectObject(dc, oldFont);
  ::EndPaint(control, &paint);
}

LRESULT CALLBACK LinkSubclass(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  LinkState* state = WindowState<LinkState>::Of(control);
  if (!state) return ::DefSubclassProc(control, message, wParam, lParam);
  switch (message) {
    case WM_SETCURSOR:
      ::SetCursor(::LoadCursorW(nullptr, IDC_HAND));
      return TRUE;
    case WM_PAINT:
      PaintLink(control, *state);
      return 0;
    case WM_LBUTTONUP:
      state->visited = true;
      ::InvalidateRect(control, nullptr, TRUE);
      break;
    case WM_NCDESTROY:
      ::RemoveWindowSubclass(control, &LinkSubclass, kLinkSubclassId);
      if (state->tooltip) ::DestroyWindow(state->tooltip);
      WindowState<LinkState>::DetachOwned(control);
      return ::DefSubclassProc(control, message, wParam, lParam);
    default:
      break;
  }
  return ::DefSubclassProc(control, message, wParam, lParam);
}

}  // namespace

void MakeHyperlink(HWND control, const std::wstring& target, const AnchorColours& colours) {
  if (!control) return;
  auto state = std::make_unique<LinkState>();
  state->colours = colours;
  state->target = target;
  // Clicks reach the parent only from a static control with this style.
  ::SetWindowLongPtrW(control, GWL_STYLE, ::GetWindowLongPtrW(control, GWL_STYLE) | SS_NOTIFY);

  auto dialogFont = reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0));
  LOGFONTW face{};
  if (dialogFont && ::GetObjectW(dialogFont, sizeof(face), &face) == sizeof(face)) {
    face.lfUnderline = TRUE;
    state->font.Reset(::CreateFontIndirectW(&face));
  }

  state->tooltip = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                                     CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, ::GetParent(control),
                                     nullptr, ::GetModuleHandleW(nullptr), nullptr);
  if (state->tooltip) {
    TOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = ::GetParent(control);
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    tool.lpszText = state->target.data();
    ::SendMessageW(state->tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  LinkState* attached = state.get();
  WindowState<LinkState>::AttachOwned(control, std::move(state));
  if (WindowState<LinkState>::Of(control) == attached && !::SetWindowSubclass(control, &LinkSubclass, kLinkSubclassId, 0)) {
    if (attached->tooltip) ::DestroyWindow(attached->tooltip);
    WindowState<LinkState>::DetachOwned(control);
  }
  ::InvalidateRect(control, nullptr, TRUE);
}

}  // namespace updater
