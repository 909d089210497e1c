#include "core/result_codes.h"

#include <windows.h>

#include <cwchar>
#include <mutex>
#include <utility>
#include <vector>

#include "core/win_handles.h"

namespace updater {
namespace {

// String ids of the program's own codes, indexed by code - 0xE0000000 (0 = no string).
constexpr unsigned kStringIds[52] = {
    0,                                 // 0x00 (not a code)
    162, 169, 180, 181, 182, 183, 184, 185, 186, 187, 188, 189, 190, 191, 217,  // 0x01-0x0F
    0, 176, 200, 0, 206, 207, 211, 216, 219,                                     // 0x10-0x18
    0, 0, 0, 0, 0, 0, 0,                                                         // 0x19-0x1F
    232, 0, 0, 231, 0, 0, 233, 0, 0, 0, 237, 0, 0, 0, 0, 0,                      // 0x20-0x2F
    0, 1081, 0, 0,                                                               // 0x30-0x33
};
constexpr unsigned kCorruptFileString = 197;

struct ComputedTexts {
  std::mutex lock;
  bool seeded = false;
  std::vector<std::pair<Result, std::wstring>> entries;
};

ComputedTexts& Computed() {
  static ComputedTexts texts;
  return texts;
}

std::wstring LoadStringText(unsigned id) {
  const wchar_t* text = nullptr;
  int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || text == nullptr) return {};
  return std::wstring(text, static_cast<size_t>(length));
}

std::wstring FormatWithOne(const std::wstring& pattern, const std::wstring& insert) {
  std::wstring out;
  size_t at = pattern.find(L"%s");
  if (at == std::wstring::npos) return pattern;
  out = pattern.substr(0, at) + insert + pattern.substr(at + 2);
  return out;
}

void SeedComputedTextsLocked(ComputedTexts& texts) {
  if (texts.seeded) return;
  texts.seeded = true;
  std::wstring pattern = LoadStringText(kCorruptFileString);
  texts.entries.emplace_back(E_UPD_BAD_MD5, FormatWithOne(pattern, L"MD5"));
  texts.entries.emplace_back(E_UPD_BAD_SHA256, FormatWithOne(pattern, L"SHA256"));
}

std::wstring HexForm(Result code) {
  wchar_t text[16];
  swprintf(text, 16, L"0x%X", static_cast<unsigned>(code));
  return text;
}

std::wstring SystemMessage(Result code) {
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  UniqueLibrary wininet;
  if (code >= 12000 && code <= 12192) {
    wininet.Reset(::LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE));
    flags |= FORMAT_MESSAGE_FROM_HMODULE;
  } else {
    flags |= FORMAT_MESSAGE_FROM_SYSTEM;
  }
  wchar_t* buffer = nullptr;
  DWORD length = ::FormatMessageW(flags, wininet.Get(), code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  UniqueLocalMem owner(buffer);
  if (length == 0 || buffer == nullptr) return std::to_wstring(code);
  return std::wstring(buffer, length);
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
      std::wstring text = LoadStringText(id);
      if (!text.empty()) return text;
    }
    std::lock_guard<std::mutex> hold(texts.lock);
    for (const auto& entry : texts.entries)
      if (entry.first == code) return entry.second;
    return HexForm(code);
  }
  return SystemMessage(code);
}

std::wstring FormatResultForLog(Result code) {
  if (IsOwnCode(code)) return HexForm(code);
  return std::to_wstring(static_cast<int>(code));
}

}  // namespace updater
