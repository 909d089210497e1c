#include "base/result_codes.h"

#include <windows.h>

#include <cwchar>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "base/string_table.h"
#include "base/win_handles.h"
#include "resources/string_ids.h"

namespace updater {
namespace {

// String ids of the program's own codes, indexed by code - 0xE0000000 (0 = no string). Index 0 is not
// a code; it is kept so that the last code, 0xE0000037, still indexes inside the table. The two hash
// codes have no id here: their texts are computed from kStrCorruptFileRemoved.
constexpr unsigned kStringIds[] = {
    0,                                                                   // 0x00 (not a code)
    kStrUnableToExpandPath, kStrConfigFileNotFound, kStrUndefinedConfigFormat, kStrUndefinedFileVersion,
    kStrUnableToSaveFile, kStrInvalidCommandLine, kStrInvalidClientConfig, kStrActionCanceled,
    kStrFileNotFound, kStrUnableToFindUpdate, kStrUnknownException, kStrInstallationFailed,
    kStrDependentUpdateNotInstalled, kStrBadUpdatesFile, kStrRequestTimeout,      // 0x01-0x0F
    0, kStrUpToDate, kStrCredentialsRequired, 0, kStrInvalidUpdatesFile, kStrInstallationCanceled,
    kStrServerRefusesRequest, kStrResumeNotSupported, kStrResourceNotFoundOnServer,  // 0x10-0x18
    0, 0, 0, 0, 0, 0, 0,                                                 // 0x19-0x1F
    kStrSupportServiceError, 0, 0, kStrWrongDownloadSize, 0, 0, kStrUntrustedPublisher, 0,  // 0x20-0x27
    0, 0, kStrSignatureMismatch, 0, 0, 0, 0, 0,                          // 0x28-0x2F
    0, kStrInvalidNotification, 0, 0,                                    // 0x30-0x33
    kStrUpdatesFileUnsigned, kStrUpdatesFileExpired, kStrUpdatesFileReplayed, kStrServerBusy,  // 0x34-0x37
};
static_assert(std::size(kStringIds) == kOwnCodeLast - 0xE0000000u + 1, "one entry per own code and index 0");

struct ComputedTexts {
  std::mutex lock;
  bool seeded = false;
  std::vector<std::pair<Result, std::wstring>> entries;
};

ComputedTexts& Computed() {
  static ComputedTexts texts;
  return texts;
}

void SeedComputedTextsLocked(ComputedTexts& texts) {
  if (texts.seeded) return;
  texts.seeded = true;
  std::wstring pattern = LoadStringResource(kStrCorruptFileRemoved);
  texts.entries.emplace_back(E_UPD_BAD_MD5, FillText(pattern, {L"MD5"}));
  texts.entries.emplace_back(E_UPD_BAD_SHA256, FillText(pattern, {L"SHA256"}));
}

std::wstring HexForm(Result code) {
  wchar_t text[16];
  swprintf(text, 16, L"0x%X", static_cast<unsigned>(code));
  return text;
}

// The decimal form of a code without a text: "%d", so that HRESULTs read as negative numbers.
std::wstring DecimalForm(Result code) { return std::to_wstring(static_cast<std::int32_t>(code)); }

bool IsWinInetCode(Result code) { return code >= 12000 && code <= 12192; }

// WinINet keeps its texts in its own message table. It is loaded from the system folder by full
// path, only as data, and freed again after the lookup.
UniqueLibrary LoadWinInetMessages() {
  wchar_t folder[MAX_PATH];
  UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return UniqueLibrary();
  std::wstring path = std::wstring(folder, length) + L"\\wininet.dll";
  return UniqueLibrary(::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
}

std::wstring SystemMessage(Result code) {
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  UniqueLibrary wininet;
  if (IsWinInetCode(code)) {
    wininet = LoadWinInetMessages();
    if (!wininet) return DecimalForm(code);
    flags |= FORMAT_MESSAGE_FROM_HMODULE;
  } else {
    flags |= FORMAT_MESSAGE_FROM_SYSTEM;
  }
  wchar_t* buffer = nullptr;
  DWORD length = ::FormatMessageW(flags, wininet.Get(), code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  UniqueLocalMem owner(buffer);
  if (length == 0 || buffer == nullptr) return DecimalForm(code);
  // The system's texts end with a line break, which would split a log line in two.
  std::wstring text(buffer, length);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  return text.empty() ? DecimalForm(code) : text;
}

}  // namespace

unsigned StringIdOfCode(Result code) {
  if (!IsOwnCode(code)) return 0;
  return kStringIds[code - 0xE0000000u];
}

void RegisterComputedText(Result code, const std::wstring& text) {
  ComputedTexts& texts = Computed();
  std::lock_guard<std::mutex> hold(texts.lock);
  SeedComputedTextsLocked(texts);
  for (auto& entry : texts.entries) {
    if (entry.first == code) {
      entry.second = text;
      return;
    }
  }
  texts.entries.emplace_back(code, text);
}

std::wstring MessageText(Result code) {
  ComputedTexts& texts = Computed();
  {
    std::lock_guard<std::mutex> hold(texts.lock);
    SeedComputedTextsLocked(texts);
  }
  if (IsOwnCode(code)) {
    unsigned id = StringIdOfCode(code);
    if (id != 0) {
      std::wstring text = LoadStringResource(id);
      if (!text.empty()) return text;
    }
    std::lock_guard<std::mutex> hold(texts.lock);
    // An empty computed text (a resource missing from the module) would leave the user a blank
    // message, so it counts as no text.
    for (const auto& entry : texts.entries)
      if (entry.first == code && !entry.second.empty()) return entry.second;
    return HexForm(code);
  }
  return SystemMessage(code);
}

std::wstring FormatResultForLog(Result code) {
  if (IsOwnCode(code)) return HexForm(code);
  return DecimalForm(code);
}

}  // namespace updater
