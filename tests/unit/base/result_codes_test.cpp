#include "base/result_codes.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "base/string_table.h"
#include "resources/string_ids.h"

namespace updater {
namespace {

// WinINet's own text for a code, read straight from its message table.
std::wstring WinInetTableText(DWORD code, DWORD* lookupError) {
  HMODULE wininet = ::LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (wininet == nullptr) {
    *lookupError = ::GetLastError();
    return {};
  }
  wchar_t* buffer = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, wininet, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  *lookupError = length == 0 ? ::GetLastError() : 0;
  std::wstring text = length == 0 ? std::wstring() : std::wstring(buffer, length);
  ::LocalFree(buffer);
  ::FreeLibrary(wininet);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  return text;
}

bool SystemHasText(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  ::LocalFree(buffer);
  return length != 0;
}

TEST(SystemCodeText, HasNoTrailingLineBreakThatWouldSplitALogLine) {
  for (Result code : {Result{2}, Result{5}, Result{120}, Result{12029}}) {
    std::wstring text = MessageText(code);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of(L"\r\n"), std::wstring::npos) << code;
  }
}

TEST(OwnCodeText, TextsComeFromTheStringTable) {
  EXPECT_EQ(MessageText(E_UPD_UP_TO_DATE), L"Your software is up to date");
  EXPECT_EQ(MessageText(E_UPD_EXPAND_PATH), L"Unable to expand path");
  EXPECT_EQ(MessageText(E_UPD_TIMEOUT), L"Internet request timeout.");
  EXPECT_EQ(MessageText(E_UPD_BAD_NOTIFICATION),
            L"The notification format is invalid. Some mandatory fields are missing.");
  // Texts carrying double quotes and trailing blanks survive the resource compiler unchanged.
  EXPECT_EQ(MessageText(E_UPD_BAD_UPDATES_FILE),
            L"Invalid or missing updates configuration file. The first line of the .INI file should be \";kxw;\". "
            L"It is possible that the content on the server does not match the updates configuration file URL.");
  EXPECT_EQ(MessageText(E_UPD_NO_RESUME),
            L"The connection with the server timed-out and the server does not support Resume. This error also "
            L"occurs if the server reports a wrong HTTP \"CONTENT LENGTH\".");
  EXPECT_EQ(MessageText(E_UPD_INSTALL_CANCELED), L"Update installation canceled. ");
  EXPECT_EQ(MessageText(E_UPD_UPDATES_FILE_UNSIGNED), L"The updates configuration file is not signed by the publisher.");
  EXPECT_EQ(MessageText(E_UPD_UPDATES_FILE_EXPIRED), L"The updates configuration file has expired.");
  EXPECT_EQ(MessageText(E_UPD_UPDATES_FILE_REPLAYED),
            L"The updates configuration file is older than one already received.");
  EXPECT_EQ(MessageText(E_UPD_SERVER_BUSY), L"The update server is busy. The next check will be made later.");
}

TEST(OwnCodeText, CodesWithoutTextReadAsHex) {
  EXPECT_EQ(MessageText(E_UPD_AUTO_CHECK_DISABLED), L"0xE0000019");
  EXPECT_EQ(MessageText(E_UPD_PART_COMPLETE), L"0xE0000010");
  EXPECT_EQ(MessageText(E_UPD_DRAFT), L"0xE0000033");
  // Inside the range but not a defined code.
  EXPECT_EQ(MessageText(0xE000001C), L"0xE000001C");
  EXPECT_EQ(MessageText(0xE0000021), L"0xE0000021");
}

TEST(OwnCodeText, HashCodesNameTheirAlgorithmFromOneString) {
  EXPECT_EQ(MessageText(E_UPD_BAD_MD5), L"Error: Corrupt file (wrong MD5 signature). File removed.");
  EXPECT_EQ(MessageText(E_UPD_BAD_SHA256), L"Error: Corrupt file (wrong SHA256 signature). File removed.");
  std::wstring pattern = LoadStringResource(kStrCorruptFileRemoved);
  EXPECT_EQ(FillText(pattern, {L"MD5"}), MessageText(E_UPD_BAD_MD5));
  EXPECT_EQ(FillText(pattern, {L"SHA256"}), MessageText(E_UPD_BAD_SHA256));
}

TEST(OwnCodeText, EveryCodeWithAStringIdHasText) {
  int codesWithText = 0;
  for (Result code = kOwnCodeFirst; code <= kOwnCodeLast; ++code) {
    unsigned id = StringIdOfCode(code);
    if (id == 0) continue;
    ++codesWithText;
    SCOPED_TRACE(code);
    EXPECT_NE(std::find(std::begin(kAllStringIds), std::end(kAllStringIds), id), std::end(kAllStringIds));
    std::wstring text = LoadStringResource(id);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(MessageText(code), text);
  }
  EXPECT_EQ(codesWithText, 31);
}

TEST(OwnCodeText, StringIdsMatchTheCodeTable) {
  EXPECT_EQ(StringIdOfCode(E_UPD_EXPAND_PATH), 162u);
  EXPECT_EQ(StringIdOfCode(E_UPD_TIMEOUT), 217u);
  EXPECT_EQ(StringIdOfCode(E_UPD_UP_TO_DATE), 176u);
  EXPECT_EQ(StringIdOfCode(E_UPD_RESOURCE_NOT_FOUND), 219u);
  EXPECT_EQ(StringIdOfCode(E_UPD_SERVICE_ERROR), 232u);
  EXPECT_EQ(StringIdOfCode(E_UPD_WRONG_SIZE), 231u);
  EXPECT_EQ(StringIdOfCode(E_UPD_SIGNATURE_MISMATCH), 237u);
  EXPECT_EQ(StringIdOfCode(E_UPD_BAD_NOTIFICATION), 1081u);
  EXPECT_EQ(StringIdOfCode(E_UPD_DRAFT), 0u);
  EXPECT_EQ(StringIdOfCode(E_UPD_UPDATES_FILE_REPLAYED), 240u);
  EXPECT_EQ(StringIdOfCode(E_UPD_SERVER_BUSY), 241u);  // the last entry of the table
  EXPECT_EQ(StringIdOfCode(E_UPD_BAD_MD5), 0u);  // computed, not a plain string
  EXPECT_EQ(StringIdOfCode(0xE0000000), 0u);
  EXPECT_EQ(StringIdOfCode(0xE0000038), 0u);
  EXPECT_EQ(StringIdOfCode(183), 0u);
}

TEST(OwnCodeText, ComputedTextIsRegisteredAndReplaced) {
  RegisterComputedText(E_UPD_UPDATES_DISABLED, L"Updates are paused for maintenance.");
  EXPECT_EQ(MessageText(E_UPD_UPDATES_DISABLED), L"Updates are paused for maintenance.");
  RegisterComputedText(E_UPD_UPDATES_DISABLED, L"Updates resume on Monday.");
  EXPECT_EQ(MessageText(E_UPD_UPDATES_DISABLED), L"Updates resume on Monday.");
  // Other codes are untouched.
  EXPECT_EQ(MessageText(E_UPD_POLICY_LOCKED), L"0xE000002E");
  // An empty text would leave a blank message: the code is shown instead.
  RegisterComputedText(E_UPD_UPDATES_DISABLED, L"");
  EXPECT_EQ(MessageText(E_UPD_UPDATES_DISABLED), L"0xE000002D");
}

TEST(OwnCodeText, RegisteringDoesNotDisplaceTheHashTexts) {
  RegisterComputedText(E_UPD_PACKAGE_SCRIPT, L"Add-AppPackage : Deployment failed.");
  EXPECT_EQ(MessageText(E_UPD_PACKAGE_SCRIPT), L"Add-AppPackage : Deployment failed.");
  EXPECT_EQ(MessageText(E_UPD_BAD_SHA256), L"Error: Corrupt file (wrong SHA256 signature). File removed.");
}

TEST(SystemCodeText, WinInetCodesComeFromWinInetsTable) {
  DWORD lookupError = 0;
  std::wstring expected = WinInetTableText(12029, &lookupError);
  ASSERT_FALSE(expected.empty()) << "wininet.dll has no text for 12029, error " << lookupError;
  EXPECT_EQ(MessageText(12029), expected);
  EXPECT_NE(MessageText(12029), L"12029");
  // Another code of the same range, to show the lookup is not tied to one entry.
  EXPECT_EQ(MessageText(12007), WinInetTableText(12007, &lookupError));
}

TEST(SystemCodeText, WindowsCodesComeFromTheSystem) {
  std::wstring accessDenied = MessageText(ERROR_ACCESS_DENIED);
  EXPECT_NE(accessDenied, L"5");
  EXPECT_FALSE(accessDenied.empty());
}

TEST(SystemCodeText, CodesWithoutTextFallBackToSignedDecimal) {
  ASSERT_FALSE(SystemHasText(0xA0001234));
  EXPECT_EQ(MessageText(0xA0001234), L"-1610608076");
  ASSERT_FALSE(SystemHasText(0x0BADF00D));
  EXPECT_EQ(MessageText(0x0BADF00D), L"195948557");
  // Just outside the program's own range: not one of its codes, so no hex form.
  EXPECT_EQ(MessageText(0xE0000038), L"-536870856");
}

TEST(LogForm, OwnCodesInHexOthersInSignedDecimal) {
  EXPECT_EQ(FormatResultForLog(E_UPD_EXPAND_PATH), L"0xE0000001");
  EXPECT_EQ(FormatResultForLog(E_UPD_UP_TO_DATE), L"0xE0000011");
  EXPECT_EQ(FormatResultForLog(0xE000001C), L"0xE000001C");
  EXPECT_EQ(FormatResultForLog(E_UPD_DRAFT), L"0xE0000033");
  EXPECT_EQ(FormatResultForLog(kOk), L"0");
  EXPECT_EQ(FormatResultForLog(kErrorInstallUserExit), L"1602");
  EXPECT_EQ(FormatResultForLog(12029), L"12029");
  EXPECT_EQ(FormatResultForLog(kResultFail), L"-2147467259");
  EXPECT_EQ(FormatResultForLog(0xE0000000), L"-536870912");
  EXPECT_EQ(FormatResultForLog(E_UPD_SERVER_BUSY), L"0xE0000037");
  EXPECT_EQ(FormatResultForLog(0xE0000038), L"-536870856");
}

}  // namespace
}  // namespace updater
