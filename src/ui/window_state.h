// Where a window keeps the object that answers its messages: one window property per type of
// object, set when the window is made and removed when it goes. Dialogs, property-sheet pages,
// plain windows and subclassed controls all keep their objects this way.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace updater {

template <typename T>
class WindowState {
 public:
  // The window refers to `state`, which its owner keeps alive as long as the window.
  static void Attach(HWND window, T* state) { ::SetPropW(window, Name(), state); }
  // The window owns `state`: DetachOwned gives it back when the window goes.
  static void AttachOwned(HWND window, std::unique_ptr<T> state) {
    if (::SetPropW(window, Name(), state.get())) state.release();
  }
  static T* Of(HWND window) { return static_cast<T*>(::GetPropW(window, Name())); }
  static void Detach(HWND window) { ::RemovePropW(window, Name()); }
  static std::unique_ptr<T> DetachOwned(HWND window) {
    return std::unique_ptr<T>(static_cast<T*>(::RemovePropW(window, Name())));
  }

 private:
  // A property name of this process for this type.
  static const wchar_t* Name() {
    static const std::wstring name =
        L"KestruneWindowState" + std::to_wstring(reinterpret_cast<std::uintptr_t>(&WindowState::Name));
    return name.c_str();
  }
};

// The procedure of a dialog whose object comes as its creation parameter (WM_INITDIALOG's lParam):
// the object stays attached until the dialog goes and answers every message through
// T::OnMessage(dialog, message, wParam, lParam). Messages before WM_INITDIALOG are not handled.
template <typename T>
INT_PTR CALLBACK DialogProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) WindowState<T>::Attach(dialog, reinterpret_cast<T*>(lParam));
  T* self = WindowState<T>::Of(dialog);
  if (!self) return FALSE;
  INT_PTR answer = self->OnMessage(dialog, message, wParam, lParam);
  if (message == WM_NCDESTROY) WindowState<T>::Detach(dialog);
  return answer;
}

}  // namespace updater
