#include "install/script_runner.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "base/paths.h"

namespace updater {
namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The stand-in PowerShell the test tree builds, steered through a control file and recording what
// it was given.
class StandInPowerShell : public ::testing::Test {
 protected:
  StandInPowerShell() {
    std::wstring build = FolderOf(FolderOf(ExecutablePath()));
    program_ = build + L"\\tools\\powershell.exe";
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring tag = std::to_wstring(::GetCurrentProcessId());
    control_ = std::wstring(temp) + L"standin-" + tag + L".ini";
    record_ = std::wstring(temp) + L"standin-" + tag + L".txt";
    ::SetEnvironmentVariableW(L"UPDATER_PS_STANDIN", control_.c_str());
  }
  ~StandInPowerShell() override {
    ::SetEnvironmentVariableW(L"UPDATER_PS_STANDIN", nullptr);
    ::DeleteFileW(control_.c_str());
    ::DeleteFileW(record_.c_str());
  }
  void Control(int exitCode, const std::wstring& errorText = L"", const std::wstring& encoding = L"utf16bom") {
    ::DeleteFileW(control_.c_str());
    ::DeleteFileW(record_.c_str());
    ::WritePrivateProfileStringW(L"Run", L"RecordFile", record_.c_str(), control_.c_str());
    ::WritePrivateProfileStringW(L"Run", L"ExitCode", std::to_wstring(exitCode).c_str(), control_.c_str());
    ::WritePrivateProfileStringW(L"Run", L"ErrorText", errorText.c_str(), control_.c_str());
    ::WritePrivateProfileStringW(L"Run", L"ErrorEncoding", encoding.c_str(), control_.c_str());
  }
  // "name value" lines of the last run's record.
  std::wstring Recorded(const std::string& name) {
    std::ifstream file(record_.c_str());
    std::string line, found;
    while (std::getline(file, line))
      if (line.rfind(name + " ", 0) == 0) found = line.substr(name.size() + 1);
    return Widen(found);
  }
  bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

  std::wstring program_;
  std::wstring control_;
  std::wstring record_;
};

TEST_F(StandInPowerShell, OutcomesAndMessages) {
  ASSERT_TRUE(Exists(program_));
  struct Case {
    int exitCode;
    const wchar_t* errorText;
    const wchar_t* encoding;
    bool success;
    const wchar_t* message;  // nullptr: the "unable to retrieve" text with the output path
  };
  const Case cases[] = {
      {0, L"", L"utf16bom", true, L""},
      {1, L"The term 'Get-Nothing' is not recognized.", L"utf16bom", false, L"The term 'Get-Nothing' is not recognized."},
      {1, L"Access denied while deploying the package.", L"utf16", false, L"Access denied while deploying the package."},
      {1, L"Written as UTF-8", L"utf8", false, nullptr},
      {1, L"Written in the ANSI code page", L"ansi", false, nullptr},
      {1, L"Written big-endian", L"utf16be", false, nullptr},
      {1, L"", L"utf16bom", false, nullptr},
      {0, L"A warning on the error stream", L"utf16bom", true, L"A warning on the error stream"},
  };
  for (const Case& c : cases) {
    Control(c.exitCode, c.errorText, c.encoding);
    PowerShellRunner runner(program_);
    EXPECT_EQ(runner.RunScript(L"Write-Output 'hello'\n exit 0\n"), c.success) << c.encoding;
    std::wstring output = Recorded("output-path");
    std::wstring script = Recorded("script-path");
    ASSERT_FALSE(output.empty()) << "the stand-in did not run";
    EXPECT_EQ(runner.GetMessage(), c.message ? std::wstring(c.message)
                                             : L"Unable to retrieve PowerShell output from file: " + output)
        << c.encoding;
    // Both temporary files are gone after the run.
    EXPECT_FALSE(Exists(output)) << output;
    EXPECT_FALSE(Exists(script)) << script;
    EXPECT_EQ(script.substr(script.size() - 4), L".ps1");
    EXPECT_EQ(Recorded("shape"), L"unknown");
  }
}

TEST_F(StandInPowerShell, ScriptReachesPowerShellAsWritten) {
  Control(0);
  PowerShellRunner runner(program_);
  ASSERT_TRUE(runner.RunScript(L"Add-AppPackage -Path \"C:\\p\\t\u00e9st.msix\" \n exit $error.count\n"));
  EXPECT_EQ(Recorded("shape"), L"app-package");
}

TEST(ScriptRunnerWithoutPowerShell, SaysWhatIsMissing) {
  PowerShellRunner runner{std::wstring()};
  EXPECT_FALSE(runner.RunScript(L"exit 0"));
  EXPECT_EQ(runner.GetMessage(), L"Unable to find file ");
}

}  // namespace
}  // namespace updater
