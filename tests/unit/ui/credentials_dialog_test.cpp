#include "ui/credentials_dialog.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

namespace updater {
namespace {

std::wstring TextOf(HWND window) {
  wchar_t buffer[512] = {};
  ::SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer));
  return buffer;
}

struct FoundWindow {
  std::wstring caption;
  HWND window = nullptr;
};

BOOL CALLBACK MatchCaption(HWND window, LPARAM context) {
  auto* found = reinterpret_cast<FoundWindow*>(context);
  if (TextOf(window) == found->caption) {
    found->window = window;
    return FALSE;
  }
  return TRUE;
}

// Shows the dialog on this thread while `drive` works it from another thread, as a user would.
INT_PTR RunDialog(const CredentialsPromptTexts& texts, CredentialsPromptAnswer& answer,
                  const std::function<void(HWND)>& drive) {
  DWORD dialogThread = ::GetCurrentThreadId();
  std::thread driver([&] {
    FoundWindow found{texts.caption};
    for (int i = 0; i < 500 && !found.window; ++i) {
      ::EnumThreadWindows(dialogThread, MatchCaption, reinterpret_cast<LPARAM>(&found));
      if (!found.window) ::Sleep(10);
    }
    ASSERT_NE(found.window, nullptr) << "the dialog did not appear";
    drive(found.window);
  });
  INT_PTR result = ShowCredentialsDialog(nullptr, texts, answer);
  driver.join();
  return result;
}

// Without a display (plain Wine, no X server) no window can be created; the end-to-end suite runs
// these tests again under a virtual X server.
bool CanCreateWindows() {
  HWND probe = ::CreateWindowExW(0, L"STATIC", L"probe", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 ::GetModuleHandleW(nullptr), nullptr);
  if (!probe) return false;
  ::DestroyWindow(probe);
  return true;
}

class CredentialsDialogWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!CanCreateWindows()) GTEST_SKIP() << "no display for windows";
  }
};

bool IsEnabled(HWND dialog, int id) { return ::IsWindowEnabled(::GetDlgItem(dialog, id)) != FALSE; }

RECT WindowRectOf(HWND window) {
  RECT rect{};
  ::GetWindowRect(window, &rect);
  return rect;
}

TEST(CredentialsDialog, TextsComeFromTheStringTable) {
  CredentialsPromptTexts texts = BuildCredentialsPromptTexts(L"files.example", L"Updates", L"proxy1");
  EXPECT_EQ(texts.caption, L"Connect to files.example");
  EXPECT_EQ(texts.message, L"The server proxy1 at Updates requires a username and password. ");
}

TEST_F(CredentialsDialogWindow, OkNeedsAUserNameAndReturnsBothFieldsAndTheCheckBox) {
  CredentialsPromptTexts texts = BuildCredentialsPromptTexts(L"ok.example", L"Realm", L"");
  CredentialsPromptAnswer answer;
  INT_PTR result = RunDialog(texts, answer, [&](HWND dialog) {
    EXPECT_EQ(TextOf(::GetDlgItem(dialog, kIdcCredentialsMessage)), texts.message);
    EXPECT_EQ(TextOf(::GetDlgItem(dialog, kIdcCredentialsUserLabel)), L"User name:");
    EXPECT_EQ(TextOf(::GetDlgItem(dialog, kIdcCredentialsPasswordLabel)), L"Password:");
    EXPECT_EQ(TextOf(::GetDlgItem(dialog, kIdcCredentialsRemember)), L"Remember my credentials");
    EXPECT_EQ(TextOf(::GetDlgItem(dialog, IDOK)), L"OK");
    EXPECT_EQ(TextOf(::GetDlgItem(dialog, IDCANCEL)), L"Cancel");
    EXPECT_FALSE(IsEnabled(dialog, IDOK));
    // Enter in the empty form does not close it.
    ::SendMessageW(dialog, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(::IsWindow(dialog));
    ::SendMessageW(::GetDlgItem(dialog, kIdcCredentialsPassword), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"pw"));
    EXPECT_FALSE(IsEnabled(dialog, IDOK)) << "a password alone does not enable OK";
    ::SendMessageW(::GetDlgItem(dialog, kIdcCredentialsUser), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"alice"));
    EXPECT_TRUE(IsEnabled(dialog, IDOK));
    ::SendMessageW(::GetDlgItem(dialog, kIdcCredentialsUser), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
    EXPECT_FALSE(IsEnabled(dialog, IDOK));
    ::SendMessageW(::GetDlgItem(dialog, kIdcCredentialsUser), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"DOM\\alice"));
    ::SendMessageW(::GetDlgItem(dialog, kIdcCredentialsRemember), BM_SETCHECK, BST_CHECKED, 0);
    ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  });
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(answer.user, L"DOM\\alice");
  EXPECT_EQ(answer.password, L"pw");
  EXPECT_TRUE(answer.remember);
}

TEST_F(CredentialsDialogWindow, CancelReturnsTwoAndLeavesTheAnswerAlone) {
  CredentialsPromptTexts texts = BuildCredentialsPromptTexts(L"cancel.example", L"Realm", L"");
  CredentialsPromptAnswer answer;
  INT_PTR result = RunDialog(texts, answer, [&](HWND dialog) {
    ::SendMessageW(::GetDlgItem(dialog, kIdcCredentialsUser), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"bob"));
    ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_TRUE(answer.user.empty());
  EXPECT_FALSE(answer.remember);
}

TEST_F(CredentialsDialogWindow, GrowsWithItsFieldsButNotBelowItsInitialSizeAndHasASizeGrip) {
  CredentialsPromptTexts texts = BuildCredentialsPromptTexts(L"resize.example", L"Realm", L"");
  CredentialsPromptAnswer answer;
  RunDialog(texts, answer, [&](HWND dialog) {
    EXPECT_NE(::GetWindowLongW(dialog, GWL_STYLE) & WS_THICKFRAME, 0);
    HWND grip = ::GetDlgItem(dialog, kIdcCredentialsSizeGrip);
    ASSERT_NE(grip, nullptr);
    EXPECT_NE(::GetWindowLongW(grip, GWL_STYLE) & SBS_SIZEGRIP, 0);

    RECT initial = WindowRectOf(dialog);
    RECT userEdit = WindowRectOf(::GetDlgItem(dialog, kIdcCredentialsUser));
    RECT okButton = WindowRectOf(::GetDlgItem(dialog, IDOK));
    int width = initial.right - initial.left;
    int height = initial.bottom - initial.top;

    ::SetWindowPos(dialog, nullptr, 0, 0, width + 100, height + 40, SWP_NOMOVE | SWP_NOZORDER);
    RECT grown = WindowRectOf(dialog);
    RECT grownEdit = WindowRectOf(::GetDlgItem(dialog, kIdcCredentialsUser));
    RECT movedOk = WindowRectOf(::GetDlgItem(dialog, IDOK));
    EXPECT_EQ(grownEdit.right - grownEdit.left, userEdit.right - userEdit.left + 100);
    EXPECT_EQ(movedOk.left - grown.left, okButton.left - initial.left + 100);
    EXPECT_EQ(movedOk.top - grown.top, okButton.top - initial.top + 40);
    RECT gripRect = WindowRectOf(grip);
    RECT client{};
    ::GetClientRect(dialog, &client);
    ::MapWindowPoints(dialog, nullptr, reinterpret_cast<POINT*>(&client), 2);
    EXPECT_EQ(gripRect.right, client.right);
    EXPECT_EQ(gripRect.bottom, client.bottom);

    ::SendMessageW(dialog, WM_SIZING, WMSZ_BOTTOMRIGHT, 0);
    MINMAXINFO info{};
    ::SendMessageW(dialog, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, width);
    EXPECT_EQ(info.ptMinTrackSize.y, height);
    ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  });
}

}  // namespace
}  // namespace updater
