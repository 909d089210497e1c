#include "base/string_table.h"

#include <windows.h>

namespace updater {

std::wstring LoadStringResource(unsigned id) {
  // With a zero buffer size LoadStringW hands out a pointer into the resource itself, which is not
  // terminated: the returned length is what counts.
  const wchar_t* text = nullptr;
  int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || text == nullptr) return {};
  return std::wstring(text, static_cast<size_t>(length));
}

std::wstring FillText(const std::wstring& pattern, std::initializer_list<std::wstring> inserts) {
  std::wstring out;
  out.reserve(pattern.size());
  auto next = inserts.begin();
  for (size_t at = 0; at < pattern.size(); ++at) {
    wchar_t c = pattern[at];
    if (c == L'%' && at + 1 < pattern.size()) {
      wchar_t kind = pattern[at + 1];
      if (kind == L'%') {
        out += L'%';
        ++at;
        continue;
      }
      if (kind == L's' && next != inserts.end()) {
        out += *next++;
        ++at;
        continue;
      }
    }
    out += c;
  }
  return out;
}

std::wstring LoadStringFilled(unsigned id, std::initializer_list<std::wstring> inserts) {
  return FillText(LoadStringResource(id), inserts);
}

}  // namespace updater
