// The logger's file behaviour, each case in a fresh process (the logger is process-wide): the
// test tool "logwriter" points a new logger at a path and writes lines.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "base/logger.h"

namespace updater {
namespace {

constexpr wchar_t kBanner[] = L"\r\n<< Kestrune Installer (x86) Log >>\r\n";

std::wstring ToolPath() {
  wchar_t module[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring path = module;
  path = path.substr(0, path.find_last_of(L'\\'));  // ...\unit
  path = path.substr(0, path.find_last_of(L'\\'));  // the build folder
  return path + L"\\tools\\logwriter.exe";
}

struct ToolRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string output;
};

std::wstring Quoted(const std::wstring& argument) { return L"\"" + argument + L"\""; }

// Runs logwriter with the arguments and collects what it prints.
ToolRun RunLogWriter(const std::wstring& arguments) {
  ToolRun run;
  const std::wstring tool = ToolPath();
  if (::GetFileAttributesW(tool.c_str()) == INVALID_FILE_ATTRIBUTES) {
    ADD_FAILURE() << "test tool missing (build the test_tools target)";
    return run;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process{};
  std::wstring commandLine = Quoted(tool) + L" " + arguments;
  BOOL started = ::CreateProcessW(tool.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
  ::CloseHandle(writeEnd);
  if (started) {
    char buffer[512];
    DWORD got = 0;
    while (::ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0) run.output.append(buffer, got);
    ::WaitForSingleObject(process.hProcess, 30000);
    ::GetExitCodeProcess(process.hProcess, &run.exitCode);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  } else {
    ADD_FAILURE() << "could not start the test tool: " << ::GetLastError();
  }
  ::CloseHandle(readEnd);
  while (!run.output.empty() && (run.output.back() == '\n' || run.output.back() == '\r')) run.output.pop_back();
  return run;
}

std::string ReadBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
  ::CloseHandle(file);
  return bytes;
}

// The file's UTF-16LE characters, the byte-order mark included.
std::wstring ReadUtf16(const std::wstring& path) {
  std::string bytes = ReadBytes(path);
  std::wstring text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                        (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  return text;
}

size_t CountOf(const std::wstring& text, const std::wstring& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow.push_back(static_cast<char>(c));
  return narrow;
}

class LoggerFile : public ::testing::Test {
 protected:
  LoggerFile() {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    folder_ = std::wstring(temp) + L"logger-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
              std::to_wstring(counter_++);
    ::CreateDirectoryW(folder_.c_str(), nullptr);
  }
  ~LoggerFile() override {
    for (const wchar_t* name : {L"a.log", L"b.log", L"empty.log"}) ::DeleteFileW((folder_ + L"\\" + name).c_str());
    ::RemoveDirectoryW(folder_.c_str());
  }
  std::wstring File(const wchar_t* name) const { return folder_ + L"\\" + name; }

  static inline int counter_ = 0;
  std::wstring folder_;
};

TEST_F(LoggerFile, NewFileStartsWithTheByteOrderMarkThenTheBanner) {
  const std::wstring log = File(L"a.log");
  ToolRun run = RunLogWriter(Quoted(log) + L" first-line");
  ASSERT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output, Narrow(log));
  std::string bytes = ReadBytes(log);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xFE);
  std::wstring text = ReadUtf16(log);
  EXPECT_EQ(text.substr(1, std::wstring(kBanner).size()), kBanner);
  size_t os = text.find(L"OS Version: ");
  size_t cpu = text.find(L"\r\nCPU: ");
  size_t line = text.find(L"\r\n\r\n# ");
  ASSERT_NE(os, std::wstring::npos);
  ASSERT_NE(cpu, std::wstring::npos);
  ASSERT_NE(line, std::wstring::npos);
  EXPECT_LT(os, cpu);
  EXPECT_LT(cpu, line);
  EXPECT_NE(text.find(L"|\t\tfirst-line\r\n"), std::wstring::npos);
  EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
}

TEST_F(LoggerFile, ReusedFileGetsASecondBannerButNoSecondByteOrderMark) {
  const std::wstring log = File(L"a.log");
  ASSERT_EQ(RunLogWriter(Quoted(log) + L" run-one").exitCode, 0u);
  ASSERT_EQ(RunLogWriter(Quoted(log) + L" run-two").exitCode, 0u);
  std::wstring text = ReadUtf16(log);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text[0], 0xFEFF);
  EXPECT_EQ(CountOf(text, L"\xFEFF"), 1u);
  EXPECT_EQ(CountOf(text, kBanner), 2u);
  size_t first = text.find(L"run-one");
  size_t secondBanner = text.find(kBanner, 1 + std::wstring(kBanner).size());
  size_t second = text.find(L"run-two");
  EXPECT_LT(first, secondBanner);
  EXPECT_LT(secondBanner, second);
}

TEST_F(LoggerFile, AnExistingEmptyFileIsStartedLikeANewOne) {
  const std::wstring log = File(L"empty.log");
  HANDLE file = ::CreateFileW(log.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ::CloseHandle(file);
  ASSERT_EQ(RunLogWriter(Quoted(log) + L" after-empty").exitCode, 0u);
  std::wstring text = ReadUtf16(log);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text[0], 0xFEFF);
  EXPECT_EQ(text.substr(1, std::wstring(kBanner).size()), kBanner);
}

TEST_F(LoggerFile, ADifferentPathAfterTheFirstLineDoesNotMoveTheLog) {
  const std::wstring first = File(L"a.log");
  const std::wstring second = File(L"b.log");
  ToolRun run = RunLogWriter(Quoted(first) + L" line-one " + Quoted(second) + L" line-two");
  ASSERT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output, Narrow(first));
  std::wstring text = ReadUtf16(first);
  EXPECT_NE(text.find(L"line-one"), std::wstring::npos);
  EXPECT_NE(text.find(L"line-two"), std::wstring::npos);
  EXPECT_EQ(::GetFileAttributesW(second.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(LoggerFile, FormattedLinesUseTheWideConversions) {
  const std::wstring log = File(L"a.log");
  ASSERT_EQ(RunLogWriter(Quoted(log) + L" #format").exitCode, 0u);
  EXPECT_NE(ReadUtf16(log).find(L"|\t\tformat:wide|-7|42|-1234567890123|3758096401|end\r\n"), std::wstring::npos);
}

TEST_F(LoggerFile, LongLinesReachTheFileWhole) {
  const std::wstring log = File(L"a.log");
  ASSERT_EQ(RunLogWriter(Quoted(log) + L" *600").exitCode, 0u);
  EXPECT_NE(ReadUtf16(log).find(L"|\t\t" + std::wstring(600, L'x') + L"\r\n"), std::wstring::npos);
}

TEST_F(LoggerFile, UnusablePathFallsBackToTheCommonApplicationDataFolder) {
  wchar_t common[MAX_PATH] = {};
  ASSERT_TRUE(SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)));
  const std::wstring expected = std::wstring(common) + L"\\MORVASK_LOGS\\logwriter.LOG";
  const std::wstring marker = L"fallback-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount());
  const std::wstring unusable = folder_ + L"\\missing-folder\\deeper\\x.log";
  ToolRun run = RunLogWriter(Quoted(unusable) + L" " + marker);
  ASSERT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output, Narrow(expected));
  EXPECT_NE(ReadUtf16(expected).find(marker), std::wstring::npos);
  EXPECT_EQ(::GetFileAttributesW(unusable.c_str()), INVALID_FILE_ATTRIBUTES);
  ::DeleteFileW(expected.c_str());
}

TEST(LoggerDebugOutput, A725CharacterLineGoesOutIn255255And215) {
  // Header (120) + "|\t\t" + 600 characters + "\r\n" = 725.
  std::wstring line = Logger::FormatLine(L"2024-05-01 13-07-09", 1, 2, L"", std::wstring(600, L'm'));
  ASSERT_EQ(line.size(), 725u);
  std::vector<std::wstring> pieces = Logger::DebugOutputPieces(line);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].size(), 255u);
  EXPECT_EQ(pieces[1].size(), 255u);
  EXPECT_EQ(pieces[2].size(), 215u);
  EXPECT_EQ(pieces[0] + pieces[1] + pieces[2], line);
}

TEST(LoggerDebugOutput, PieceBoundaries) {
  EXPECT_EQ(Logger::DebugOutputPieces(std::wstring(255, L'a')).size(), 1u);
  std::vector<std::wstring> two = Logger::DebugOutputPieces(std::wstring(256, L'a'));
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[1].size(), 1u);
  EXPECT_TRUE(Logger::DebugOutputPieces(L"").empty());
}

}  // namespace
}  // namespace updater
