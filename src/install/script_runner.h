// Runs a PowerShell script text with the system's Windows PowerShell, hidden, and reports whether it
// ended with exit code 0 together with what it wrote to its error stream.
#pragma once

// Before the class: GetMessage is a macro of the Windows headers, so every user sees the same name.
#include <windows.h>

#include <string>

namespace updater {

class PowerShellRunner {
 public:
  // Locates PowerShell in the system folder.
  PowerShellRunner();
  // For tests and special set-ups: a PowerShell program at the given path (empty: none).
  explicit PowerShellRunner(std::wstring powerShellPath);

  // True when the script ran and ended with exit code 0; otherwise GetMessage says why. The script
  // file and the error-output file are removed after every run that started PowerShell.
  bool RunScript(const std::wstring& script);
  const std::wstring& GetMessage() const { return message_; }
  const std::wstring& PowerShellPath() const { return powerShellPath_; }

 private:
  std::wstring powerShellPath_;
  std::wstring message_;
};

// The system folder's "WindowsPowerShell\v1.0\powershell.exe" when that file exists, else empty.
std::wstring LocatePowerShell();
// The command line the runner gives PowerShell for a script and its error-output file.
std::wstring PowerShellCommandLine(const std::wstring& scriptPath, const std::wstring& outputPath);
// What the runner takes from the error-output file: UTF-16LE text with or without its byte-order
// mark; nothing from any other encoding.
bool ClassifyScriptOutput(const std::string& bytes, std::wstring& text);

}  // namespace updater
