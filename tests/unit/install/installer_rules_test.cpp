#include <gtest/gtest.h>

#include "install/installer.h"
#include "install/script_runner.h"

namespace updater {
namespace {

TEST(InstallerRules, TypesByExtension) {
  struct Case {
    const wchar_t* path;
    InstallerType type;
  };
  for (const Case& c : {Case{L"C:\\d\\a.msi", InstallerType::kMsi}, Case{L"C:\\d\\a.MSI", InstallerType::kMsi},
                        Case{L"C:\\d\\a.msp", InstallerType::kMsp}, Case{L"C:\\d\\a.Msix", InstallerType::kAppPackage},
                        Case{L"C:\\d\\a.appx", InstallerType::kAppPackage}, Case{L"C:\\d\\a.exe", InstallerType::kExecutable},
                        Case{L"C:\\d.msi\\setup", InstallerType::kExecutable}, Case{L"setup", InstallerType::kExecutable},
                        Case{L"C:\\d\\a.msi.exe", InstallerType::kExecutable}})
    EXPECT_EQ(InstallerTypeOf(c.path), c.type) << c.path;
}

TEST(InstallerRules, ClientParameters) {
  struct Case {
    const wchar_t* path;
    const wchar_t* commandLine;
    bool forceBasicUi;
    const wchar_t* parameters;
  };
  const Case cases[] = {
      {L"a.msi", L"", true, L" /qb"},
      {L"a.msi", L"/qb", true, L"/qb"},
      {L"a.msi", L"/qb! REBOOT=0", true, L"/qb! REBOOT=0"},
      {L"a.msi", L"/qn", true, L"/qn /qb"},
      {L"a.msi", L"/qn", false, L"/qn"},
      {L"a.exe", L"/S", true, L"/S"},
      {L"a.msp", L"", true, L""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ClientInstallerParameters(c.path, c.commandLine, c.forceBasicUi), c.parameters) << c.commandLine;
}

TEST(InstallerRules, ServerCommandLines) {
  EXPECT_EQ(ServerExecutableParameters(L"A=1", L"/exenoui"), L"/exenoui A=1 /qn");
  EXPECT_EQ(ServerExecutableParameters(L"A=1", L"/S"), L"A=1 /S");
  EXPECT_EQ(ServerExecutableParameters(L"", L"/EXENOUI"), L"/exenoui /qn");
  EXPECT_EQ(ServerExecutableParameters(L"A=1", L"/x  /ExeNoUi"), L"/exenoui A=1 /qn");
  EXPECT_EQ(ServerExecutableParameters(L"A=1", L"/exenouiX"), L"A=1 /exenouiX");
  EXPECT_EQ(MsiexecCommandLine(L"\"%s\" /i \"%s\" /qn", L"C:\\d\\a.msi", L""),
            L"\"msiexec.exe\" /i \"C:\\d\\a.msi\" /qn");
  EXPECT_EQ(MsiexecCommandLine(L"\"%s\" /p \"%s\" /qn", L"C:\\d\\fix.msp", L"A=1 /S"),
            L"\"msiexec.exe\" /p \"C:\\d\\fix.msp\" /qn A=1 /S");
  EXPECT_EQ(AppPackageScript(L"C:\\d\\tool.msix"), L"Add-AppPackage -Path \"C:\\d\\tool.msix\" \n exit $error.count\n");
}

TEST(InstallerRules, ApplicationsToClose) {
  EXPECT_TRUE(WindowTitleMatches(L"Acme Tool - report.txt", L""));
  EXPECT_TRUE(WindowTitleMatches(L"Acme Tool - report.txt", L"acme tool"));
  EXPECT_FALSE(WindowTitleMatches(L"Other", L"Acme"));
  EXPECT_FALSE(WindowTitleMatches(L"", L""));  // untitled windows are never closed
  struct Case {
    const wchar_t* flags;
    bool running;
    bool restart;
  };
  for (const Case& c : {Case{L"", true, true}, Case{L"", false, false}, Case{L"AlwaysRestart", false, true},
                        Case{L"NoRestart", true, false}, Case{L"NoRestart|AlwaysRestart", true, false}}) {
    AutoCloseEntry entry;
    entry.restartFlags.Parse(c.flags);
    EXPECT_EQ(RestartNeeded(entry, c.running), c.restart) << c.flags;
  }
}

TEST(ScriptOutput, OnlyLittleEndianUtf16IsTaken) {
  auto utf16 = [](const std::string& ascii, bool mark) {
    std::string bytes = mark ? std::string("\xFF\xFE", 2) : std::string();
    for (char c : ascii) bytes += std::string{c, '\0'};
    return bytes;
  };
  struct Case {
    std::string bytes;
    bool taken;
    const wchar_t* text;
  };
  const Case cases[] = {
      {utf16("The term 'Add-AppPackage' failed.", true), true, L"The term 'Add-AppPackage' failed."},
      {utf16("Access is denied to the package folder.", false), true, L"Access is denied to the package folder."},
      {std::string("\xFF\xFE", 2), true, L""},
      {"Deployment failed with an error in UTF-8", false, L""},
      {std::string("\xEF\xBB\xBFUTF-8 with a mark", 19), false, L""},
      {std::string("\xFE\xFF\0E\0r\0r", 8), false, L""},
      {std::string("\0E\0r\0r\0o\0r", 10), false, L""},
      {"", false, L""},
  };
  for (const Case& c : cases) {
    std::wstring text;
    EXPECT_EQ(ClassifyScriptOutput(c.bytes, text), c.taken) << c.bytes.size();
    EXPECT_EQ(text, c.text);
  }
}

TEST(ScriptRunner, CommandLineQuotesTheScriptAndTheOutput) {
  EXPECT_EQ(PowerShellCommandLine(L"C:\\t\\a.ps1", L"C:\\t\\b.txt"),
            L"powershell.exe -NonInteractive -NoLogo -ExecutionPolicy Unrestricted -WindowStyle Hidden -Command "
            L"\"$host.UI.RawUI.BufferSize = new-object System.Management.Automation.Host.Size(1024,50);\" "
            L"\"&\"\"C:\\t\\a.ps1\"\"\" 2> \"C:\\t\\b.txt\"");
}

}  // namespace
}  // namespace updater
