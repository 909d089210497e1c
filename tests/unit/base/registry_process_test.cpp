// The registry key owner and the process starters every layer goes through, on the real registry
// and processes of the test prefix.
#include "base/process.h"
#include "base/registry.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace updater {
namespace {

std::wstring TestKey(const wchar_t* purpose) {
  return std::wstring(L"Software\\KestruneUnitTest\\") + purpose + L"-" + std::to_wstring(::GetCurrentProcessId());
}

TEST(RegistryKey, ValuesRoundTripAndMismatchedTypesReadAsAbsent) {
  const std::wstring path = TestKey(L"Values");
  RegistryKey key = RegistryKey::Create(HKEY_CURRENT_USER, path, RegistryView::k32, KEY_ALL_ACCESS);
  ASSERT_TRUE(key);
  ASSERT_EQ(key.WriteString(L"", L"default"), ERROR_SUCCESS);
  ASSERT_EQ(key.WriteString(L"Text", L"C:\\Acme"), ERROR_SUCCESS);
  ASSERT_EQ(key.WriteDword(L"Number", 0xE0000011u), ERROR_SUCCESS);
  ASSERT_EQ(key.WriteQword(L"Big", 0x7FFFFFFFFFFFFFFFull), ERROR_SUCCESS);
  const wchar_t unterminated[] = {L'a', L'b', L'c'};
  ASSERT_EQ(key.WriteRaw(L"Unterminated", REG_SZ, unterminated, sizeof(unterminated)), ERROR_SUCCESS);
  const wchar_t embedded[] = L"first\0second";
  ASSERT_EQ(key.WriteRaw(L"Embedded", REG_SZ, embedded, sizeof(embedded)), ERROR_SUCCESS);

  EXPECT_EQ(key.ReadString(L""), L"default");
  EXPECT_EQ(key.ReadString(L"Text"), L"C:\\Acme");
  EXPECT_EQ(key.ReadString(L"Unterminated"), L"abc");
  EXPECT_EQ(key.ReadString(L"Embedded"), L"first");
  EXPECT_EQ(key.ReadDword(L"Number"), 0xE0000011u);
  EXPECT_EQ(key.ReadQword(L"Big"), 0x7FFFFFFFFFFFFFFFull);
  // A value of another type, or none at all, is absent for the typed reads.
  EXPECT_FALSE(key.ReadDword(L"Text"));
  EXPECT_FALSE(key.ReadQword(L"Number"));
  EXPECT_FALSE(key.ReadString(L"Number"));
  EXPECT_FALSE(key.ReadString(L"Missing"));
  EXPECT_EQ(key.ValueNames().size(), 6u);
  EXPECT_EQ(key.DeleteValue(L"Text"), ERROR_SUCCESS);
  EXPECT_FALSE(key.ReadString(L"Text"));

  RegistryKey below = RegistryKey::Create(HKEY_CURRENT_USER, path + L"\\Below", RegistryView::k32, KEY_ALL_ACCESS);
  ASSERT_TRUE(below);
  below = RegistryKey();
  key = RegistryKey();
  EXPECT_NE(DeleteRegistryKey(HKEY_CURRENT_USER, path, RegistryView::k32), ERROR_SUCCESS);  // it has a subkey
  EXPECT_EQ(DeleteRegistryTree(HKEY_CURRENT_USER, path, RegistryView::k32), ERROR_SUCCESS);
  EXPECT_FALSE(RegistryKey::Open(HKEY_CURRENT_USER, path, RegistryView::k32));
}

TEST(RegistryKey, TheViewDecidesWhichMachineKeyIsSeen) {
  BOOL wow64 = FALSE;
  bool is64BitWindows = sizeof(void*) == 8 || (::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64);
  if (!is64BitWindows) GTEST_SKIP() << "one view only on a 32-bit Windows";
  const std::wstring path = TestKey(L"View");
  for (RegistryView written : {RegistryView::k32, RegistryView::k64}) {
    RegistryView other = written == RegistryView::k32 ? RegistryView::k64 : RegistryView::k32;
    SCOPED_TRACE(written == RegistryView::k32 ? "32-bit view" : "64-bit view");
    LSTATUS status = ERROR_SUCCESS;
    RegistryKey key = RegistryKey::Create(HKEY_LOCAL_MACHINE, path, written, KEY_ALL_ACCESS, &status);
    if (!key && status == ERROR_ACCESS_DENIED) GTEST_SKIP() << "the machine hive is not writable";
    ASSERT_TRUE(key);
    ASSERT_EQ(key.WriteDword(L"Written", 1), ERROR_SUCCESS);
    key = RegistryKey();
    EXPECT_EQ(RegistryKey::Open(HKEY_LOCAL_MACHINE, path, written).ReadDword(L"Written"), 1u);
    EXPECT_FALSE(RegistryKey::Open(HKEY_LOCAL_MACHINE, path, other).ReadDword(L"Written"));
    EXPECT_EQ(DeleteRegistryTree(HKEY_LOCAL_MACHINE, path, written), ERROR_SUCCESS);
  }
}

std::wstring ExitWithTool() {
  const wchar_t* build = _wgetenv(L"UPDATER_BUILD_DIR");
  std::wstring folder = build ? build : L".";
  for (wchar_t& c : folder)
    if (c == L'/') c = L'\\';
  if (!folder.empty() && folder[0] == L'\\') folder = L"Z:" + folder;
  return folder + L"\\tools\\exitwith.exe";
}

TEST(Processes, StartedAndOpenedProgramsReportTheirExitCodesAndFailuresTheirErrors) {
  const std::wstring tool = ExitWithTool();
  ASSERT_NE(::GetFileAttributesW(tool.c_str()), INVALID_FILE_ATTRIBUTES) << tool;
  struct Case {
    const char* what;
    bool throughShell;
    bool hidden;
    std::wstring argument;
    DWORD exitCode;
  };
  const Case cases[] = {
      {"started", false, false, L"7", 7},
      {"started hidden", false, true, L"0", 0},
      {"opened by the shell", true, false, L"5", 5},
      {"opened hidden", true, true, L"260", 260},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UniqueHandle process;
    Result started = kResultFail;
    if (c.throughShell) {
      ShellOpen open;
      open.file = tool;
      open.parameters = c.argument;
      open.show = c.hidden ? SW_HIDE : SW_SHOWNORMAL;
      open.waitForStart = true;
      started = OpenWithShell(open, &process);
    } else {
      ProgramStart start{tool, L"\"" + tool + L"\" " + c.argument};
      start.hidden = c.hidden;
      DWORD id = 0;
      started = StartProgram(start, &process, &id);
      EXPECT_NE(id, 0u);
    }
    ASSERT_EQ(started, kOk);
    ASSERT_TRUE(process);
    DWORD exitCode = 12345;
    EXPECT_EQ(WaitForExit(process.Get(), &exitCode), kOk);
    EXPECT_EQ(exitCode, c.exitCode);
  }
  const std::wstring missing = tool + L".missing.exe";
  EXPECT_EQ(StartProgram({missing, L"\"" + missing + L"\""}), static_cast<Result>(ERROR_FILE_NOT_FOUND));
  ShellOpen open;
  open.file = missing;
  EXPECT_NE(OpenWithShell(open), kOk);
}

}  // namespace
}  // namespace updater
