// Process entry of updater.exe.
#include <windows.h>

#include "app/entry.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  return static_cast<int>(updater::RunProcess(commandLine ? commandLine : L""));
}
