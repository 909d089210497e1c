#include "ui/credentials_dialog.h"

#include <cstring>
#include <vector>

#include "base/string_table.h"
#include "resources/string_ids.h"
#include "ui/window_state.h"
#include "ui/window_classes.h"

namespace updater {

namespace {

// Predefined window-class atoms of dialog templates.
constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kEditAtom = 0x0081;
constexpr WORD kStaticAtom = 0x0082;

// Layout in dialog units.
constexpr short kDialogWidth = 260;
constexpr short kDialogHeight = 118;

// Builds an in-memory dialog template: no resource script is needed, and the texts come from the
// string table at run time.
class DialogTemplateBuilder {
 public:
  DialogTemplateBuilder(DWORD style, short cx, short cy, WORD fontSize, const wchar_t* fontName) {
    AppendDword(style);
    AppendDword(0);  // extended style
    countAt_ = words_.size();
    words_.push_back(0);  // item count, filled in as items are added
    AppendShort(0);
    AppendShort(0);
    AppendShort(cx);
    AppendShort(cy);
    words_.push_back(0);  // no menu
    words_.push_back(0);  // default class
    AppendText(L"");      // the caption is set at run time
    words_.push_back(fontSize);
    AppendText(fontName);
  }

  void AddItem(WORD classAtom, DWORD style, short x, short y, short cx, short cy, WORD id) {
    if (words_.size() % 2 != 0) words_.push_back(0);  // items start on a DWORD boundary
    AppendDword(style | WS_CHILD | WS_VISIBLE);
    AppendDword(0);
    AppendShort(x);
    AppendShort(y);
    AppendShort(cx);
    AppendShort(cy);
    words_.push_back(id);
    words_.push_back(0xFFFF);
    words_.push_back(classAtom);
    AppendText(L"");
    words_.push_back(0);  // no creation data
    ++words_[countAt_];
  }

  // The template in a DWORD-aligned buffer, as the dialog functions require.
  std::vector<DWORD> Finish() const {
    std::vector<DWORD> aligned((words_.size() + 1) / 2, 0);
    std::memcpy(aligned.data(), words_.data(), words_.size() * sizeof(WORD));
    return aligned;
  }

 private:
  void AppendDword(DWORD value) {
    words_.push_back(LOWORD(value));
    words_.push_back(HIWORD(value));
  }
  void AppendShort(short value) { words_.push_back(static_cast<WORD>(value)); }
  void AppendText(const wchar_t* text) {
    for (; *text; ++text) words_.push_back(static_cast<WORD>(*text));
    words_.push_back(0);
  }

  std::vector<WORD> words_;
  std::size_t countAt_ = 0;
};

// How a control follows the dialog's size: stretched to the right, or moved with the bottom-right
// corner.
enum class Anchor { kStretchWidth, kBottomRight };

struct AnchoredControl {
  int id;
  Anchor anchor;
  RECT initial;  // client coordinates at the initial size
};

struct DialogState {
  const CredentialsPromptTexts* texts = nullptr;
  CredentialsPromptAnswer* answer = nullptr;
  SIZE initialClient{};
  SIZE minimumWindow{};
  std::vector<AnchoredControl> controls;
  HWND sizeGrip = nullptr;

  // Every message of the dialog, from WM_INITDIALOG on.
  INT_PTR OnMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
};

std::wstring WindowText(HWND window) {
  int length = ::GetWindowTextLengthW(window);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  int copied = ::GetWindowTextW(window, text.data(), length + 1);
  text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
  return text;
}

void UpdateOkButton(HWND dialog) {
  bool hasUser = ::GetWindowTextLengthW(::GetDlgItem(dialog, kIdcCredentialsUser)) > 0;
  ::EnableWindow(::GetDlgItem(dialog, IDOK), hasUser);
}

RECT ClientRectOfChild(HWND dialog, HWND child) {
  RECT rect{};
  ::GetWindowRect(child, &rect);
  ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

void PlaceSizeGrip(HWND dialog, HWND grip) {
  RECT client{};
  ::GetClientRect(dialog, &client);
  int size = ::GetSystemMetrics(SM_CXVSCROLL);
  ::SetWindowPos(grip, nullptr, client.right - size, client.bottom - size, size, size,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void LayOut(HWND dialog, const DialogState& state) {
  RECT client{};
  ::GetClientRect(dialog, &client);
  int dx = client.right - state.initialClient.cx;
  int dy = client.bottom - state.initialClient.cy;
  for (const AnchoredControl& control : state.controls) {
    HWND window = ::GetDlgItem(dialog, control.id);
    const RECT& r = control.initial;
    if (control.anchor == Anchor::kStretchWidth) {
      ::SetWindowPos(window, nullptr, r.left, r.top, r.right - r.left + dx, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    } else {
      ::SetWindowPos(window, nullptr, r.left + dx, r.top + dy, 0, 0, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOSIZE);
    }
  }
  if (state.sizeGrip) PlaceSizeGrip(dialog, state.sizeGrip);
  ::InvalidateRect(dialog, nullptr, TRUE);
}

void InitDialog(HWND dialog, DialogState& state) {
  ::SetWindowTextW(dialog, state.texts->caption.c_str());
  ::SetDlgItemTextW(dialog, kIdcCredentialsMessage, state.texts->message.c_str());
  ::SetDlgItemTextW(dialog, kIdcCredentialsUserLabel, LoadStringResource(kStrUserNameLabel).c_str());
  ::SetDlgItemTextW(dialog, kIdcCredentialsPasswordLabel, LoadStringResource(kStrPasswordLabel).c_str());
  ::SetDlgItemTextW(dialog, kIdcCredentialsRemember, LoadStringResource(kStrRememberCredentials).c_str());
  ::SetDlgItemTextW(dialog, IDOK, LoadStringResource(kStrOk).c_str());
  ::SetDlgItemTextW(dialog, IDCANCEL, LoadStringResource(kStrCancel).c_str());

  RECT client{};
  ::GetClientRect(dialog, &client);
  state.initialClient = {client.right, client.bottom};
  RECT window{};
  ::GetWindowRect(dialog, &window);
  state.minimumWindow = {window.right - window.left, window.bottom - window.top};

  const std::pair<int, Anchor> anchors[] = {
      {kIdcCredentialsMessage, Anchor::kStretchWidth}, {kIdcCredentialsUser, Anchor::kStretchWidth},
      {kIdcCredentialsPassword, Anchor::kStretchWidth}, {kIdcCredentialsRemember, Anchor::kStretchWidth},
      {IDOK, Anchor::kBottomRight},                     {IDCANCEL, Anchor::kBottomRight}};
  for (const auto& [id, anchor] : anchors)
    state.controls.push_back({id, anchor, ClientRectOfChild(dialog, ::GetDlgItem(dialog, id))});

  state.sizeGrip = ::CreateWindowExW(0, L"SCROLLBAR", nullptr,
                                     WS_CHILD | WS_VISIBLE | SBS_SIZEGRIP | SBS_SIZEBOXBOTTOMRIGHTALIGN, 0, 0, 0, 0,
                                     dialog, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdcCredentialsSizeGrip)),
                                     ::GetModuleHandleW(nullptr), nullptr);
  if (state.sizeGrip) PlaceSizeGrip(dialog, state.sizeGrip);

  ::SendDlgItemMessageW(dialog, kIdcCredentialsUser, EM_SETLIMITTEXT, 0, 0);
  ::SendDlgItemMessageW(dialog, kIdcCredentialsPassword, EM_SETLIMITTEXT, 0, 0);
  UpdateOkButton(dialog);
}

INT_PTR DialogState::OnMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitDialog(dialog, *this);
      return TRUE;  // focus goes to the user-name field, the first tab stop
    case WM_GETMINMAXINFO:
      if (minimumWindow.cx > 0) {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize = {minimumWindow.cx, minimumWindow.cy};
        return TRUE;
      }
      return FALSE;
    case WM_SIZE:
      if (!controls.empty()) LayOut(dialog, *this);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kIdcCredentialsUser:
          if (HIWORD(wParam) == EN_CHANGE) UpdateOkButton(dialog);
          return TRUE;
        case IDOK:
          // Enter in an edit field sends IDOK even while the button is disabled.
          if (::GetWindowTextLengthW(::GetDlgItem(dialog, kIdcCredentialsUser)) == 0) return TRUE;
          answer->user = WindowText(::GetDlgItem(dialog, kIdcCredentialsUser));
          answer->password = WindowText(::GetDlgItem(dialog, kIdcCredentialsPassword));
          answer->remember = ::IsDlgButtonChecked(dialog, kIdcCredentialsRemember) == BST_CHECKED;
          ::EndDialog(dialog, IDOK);
          return TRUE;
        case IDCANCEL:
          ::EndDialog(dialog, IDCANCEL);
          return TRUE;
      }
      return FALSE;
  }
  return FALSE;
}

std::vector<DWORD> BuildTemplate() {
  DialogTemplateBuilder builder(DS_SETFONT | DS_MODALFRAME | DS_CENTER | DS_3DLOOK | WS_POPUP | WS_CAPTION |
                                    WS_SYSMENU | WS_THICKFRAME,
                                kDialogWidth, kDialogHeight, 8, L"MS Shell Dlg");
  builder.AddItem(kStaticAtom, SS_LEFT | SS_NOPREFIX, 7, 7, 246, 26, kIdcCredentialsMessage);
  builder.AddItem(kStaticAtom, SS_LEFT, 7, 40, 60, 8, kIdcCredentialsUserLabel);
  builder.AddItem(kEditAtom, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 70, 38, 183, 14, kIdcCredentialsUser);
  builder.AddItem(kStaticAtom, SS_LEFT, 7, 59, 60, 8, kIdcCredentialsPasswordLabel);
  builder.AddItem(kEditAtom, ES_AUTOHSCROLL | ES_PASSWORD | WS_BORDER | WS_TABSTOP, 70, 57, 183, 14,
                  kIdcCredentialsPassword);
  builder.AddItem(kButtonAtom, BS_AUTOCHECKBOX | WS_TABSTOP, 70, 76, 183, 10, kIdcCredentialsRemember);
  builder.AddItem(kButtonAtom, BS_DEFPUSHBUTTON | WS_TABSTOP, 147, 97, 50, 14, IDOK);
  builder.AddItem(kButtonAtom, BS_PUSHBUTTON | WS_TABSTOP, 203, 97, 50, 14, IDCANCEL);
  return builder.Finish();
}

}  // namespace

CredentialsPromptFunction DialogCredentialsPrompt() {
  return [](HWND parent, const CredentialsPromptTexts& texts, CredentialsPromptAnswer& answer) {
    return ShowCredentialsDialog(parent, texts, answer) == IDOK;
  };
}

INT_PTR ShowCredentialsDialog(HWND parent, const CredentialsPromptTexts& texts, CredentialsPromptAnswer& answer) {
  PrepareWindowClasses();
  std::vector<DWORD> dialogTemplate = BuildTemplate();
  DialogState state;
  state.texts = &texts;
  state.answer = &answer;
  return ::DialogBoxIndirectParamW(::GetModuleHandleW(nullptr),
                                   reinterpret_cast<const DLGTEMPLATE*>(dialogTemplate.data()), parent,
                                   &DialogProcedure<DialogState>, reinterpret_cast<LPARAM>(&state));
}

}  // namespace updater
