// Test tool: a fresh process-wide logger. Usage:
//   logwriter <log path> <message> [<second log path> <second message>]
// points the logger at the path (an empty argument leaves it unset), writes the message at level
// Info, then optionally points it at the second path and writes the second message. A message "*N"
// stands for N characters "x". The message "#format" writes a line through LogFormat instead.
// Prints the path the logger ended with.
//   logwriter <log path> #lines <N> <tag> [<go file>]
// writes N numbered lines "<tag> <n> <filler>" (n from 1 to N); with a go file it first prints
// "ready" and waits (up to 60 s) until that file exists, so that several writers start together.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "base/logger.h"

namespace {

void WriteMessage(const std::wstring& message) {
  if (message == L"#format") {
    updater::LogFormat(updater::kLogInfo, L"format:%ls|%d|%zu|%lld|%u|%ls", L"wide", -7, static_cast<size_t>(42),
                       static_cast<long long>(-1234567890123), 0xE0000011u, L"end");
  } else if (!message.empty() && message[0] == L'*') {
    updater::Log(updater::kLogInfo, std::wstring(static_cast<size_t>(_wtoi(message.c_str() + 1)), L'x'));
  } else {
    updater::Log(updater::kLogInfo, message);
  }
}

bool FileExists(const wchar_t* path) { return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

int WriteNumberedLines(int argc, wchar_t** argv) {
  const int count = _wtoi(argv[3]);
  const std::wstring tag = argv[4];
  if (argc >= 6) {
    std::printf("ready\n");
    std::fflush(stdout);
    const DWORD deadline = ::GetTickCount() + 60000;
    while (!FileExists(argv[5])) {
      if (static_cast<LONG>(::GetTickCount() - deadline) >= 0) return 3;
      ::Sleep(1);
    }
  }
  // Lines of different lengths, so that one writer overwriting another leaves visible debris.
  for (int n = 1; n <= count; ++n)
    updater::Log(updater::kLogInfo, tag + L" " + std::to_wstring(n) + L" " + std::wstring(static_cast<size_t>(n % 37), L'.'));
  std::printf("%ls\n", updater::Logger::Instance().Path().c_str());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: logwriter <path> <message> [<path2> <message2>] | <path> #lines <N> <tag> [<go file>]\n");
    return 2;
  }
  updater::Logger& logger = updater::Logger::Instance();
  if (argv[1][0]) logger.SetLogFile(argv[1]);
  logger.Enable(true);
  logger.SetLevel(updater::kLogError | updater::kLogInfo | updater::kLogDebug | updater::kLogTrace);
  if (std::wstring(argv[2]) == L"#lines") {
    if (argc < 5) return 2;
    return WriteNumberedLines(argc, argv);
  }
  WriteMessage(argv[2]);
  if (argc >= 5) {
    logger.SetLogFile(argv[3]);
    WriteMessage(argv[4]);
  }
  std::printf("%ls\n", logger.Path().c_str());
  return 0;
}
