// Benchmark: UpdatesFileReader::Load of generated updates configuration files of growing size.
//   catalogue_bench [<updates>...]     (default 100 1000 5000)
// Each catalogue has realistic sections (Name, Size, URL and a mirror, SHA256, RegistryKey, Version,
// Description, Depends on the next update and Replaces of the one after), is written to a
// temporary folder, loaded once with both switches on (after one untimed load of a small one), and
// deleted. Prints one line per size:
//   updates=<n> bytes=<file size> sections_loaded=<n> seconds=<s> ms_per_update=<ms>
// Exit code 0 when every load succeeded, 1 otherwise, 2 on wrong usage.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "catalogue/update_catalogue.h"

namespace {

using namespace updater;

std::string MakeCatalogue(int updates) {
  std::string text = ";kxw; generated catalogue\r\n[General]\r\nConfigFileVersion=1.0\r\n";
  char line[512];
  for (int i = 0; i < updates; ++i) {
    std::snprintf(line, sizeof(line),
                  "[Update%05d]\r\n"
                  "Name=Velmora Tool update %d\r\n"
                  "Description=Fixes and improvements of release %d.\r\n"
                  "Feature1=Faster start-up\r\nBugFix1=Crash on exit fixed\r\n"
                  "Size=%d\r\n"
                  "SHA256=%064X\r\n"
                  "URL=https://downloads.velmora.example/tool/%d/setup.exe\r\n"
                  "URL1=https://mirror.velmora.example/tool/%d/setup.exe\r\n"
                  "Flags=SilentInstall\r\n"
                  "ReleaseDate=%02d/%02d/2026\r\n"
                  "RegistryKey=HKLM\\Software\\Velmora\\Tool\\Version\r\n"
                  "Version=>= 3.%d.%d.0\r\n",
                  i, i, i, 1000000 + i * 17, static_cast<unsigned>(i), i, i, 1 + i % 28, 1 + i % 12, i / 100, i % 100);
    text += line;
    if (i + 1 < updates) {
      std::snprintf(line, sizeof(line), "Depends=Update%05d\r\n", i + 1);
      text += line;
    }
    if (i + 2 < updates) {
      std::snprintf(line, sizeof(line), "Replaces=Update%05d\r\n", i + 2);
      text += line;
    }
  }
  return text;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  return ok && written == bytes.size();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) {
    int updates = _wtoi(argv[i]);
    if (updates <= 0) {
      std::fprintf(stderr, "usage: catalogue_bench [<updates>...]\n");
      return 2;
    }
    sizes.push_back(updates);
  }
  if (sizes.empty()) sizes = {100, 1000, 5000};

  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  CatalogueSettings settings;
  settings.appDir = L"C:\\Program Files\\Velmora Tool";
  settings.downloadsFolder = L"C:\\ProgramData\\Velmora\\Downloads";
  settings.updatesUrls = {L"https://downloads.velmora.example/tool/updates.ini"};
  settings.screenSize = [](int& width, int& height) {
    width = 1280;
    height = 1024;
  };

  // One untimed load first, so that the first figure does not carry the process's one-time costs
  // (loading the profile and URL libraries, the first file-system lookups).
  {
    std::wstring path = std::wstring(temp) + L"catalogue_bench_warmup_" + std::to_wstring(::GetCurrentProcessId()) + L".ini";
    if (WriteFileBytes(path, MakeCatalogue(10))) {
      UpdateCatalogue warmup(settings);
      UpdatesFileReader(warmup, path).Load(true, true);
      ::DeleteFileW(path.c_str());
    }
  }

  int failures = 0;
  for (int updates : sizes) {
    std::wstring path = std::wstring(temp) + L"catalogue_bench_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                        std::to_wstring(updates) + L".ini";
    std::string bytes = MakeCatalogue(updates);
    if (!WriteFileBytes(path, bytes)) {
      std::fprintf(stderr, "cannot write the catalogue of %d updates\n", updates);
      return 1;
    }
    UpdateCatalogue catalogue(settings);
    UpdatesFileReader reader(catalogue, path);
    bench::Stopwatch stopwatch;
    Result result = reader.Load(true, true);
    double seconds = stopwatch.Seconds();
    ::DeleteFileW(path.c_str());
    if (result != kOk || catalogue.Count() != static_cast<size_t>(updates)) {
      std::printf("updates=%d failed result=0x%08X loaded=%zu\n", updates, static_cast<unsigned>(result),
                  catalogue.Count());
      ++failures;
      continue;
    }
    std::printf("updates=%d bytes=%zu sections_loaded=%zu seconds=%.3f ms_per_update=%.3f\n", updates, bytes.size(),
                catalogue.Count(), seconds, seconds * 1000.0 / updates);
    std::fflush(stdout);
  }
  return failures == 0 ? 0 : 1;
}
