#include "catalogue/text_util.h"

#include <windows.h>

namespace updater {

namespace {
bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
}  // namespace

std::wstring TrimBlanks(const std::wstring& text) {
  size_t first = 0;
  while (first < text.size() && IsBlank(text[first])) ++first;
  size_t last = text.size();
  while (last > first && IsBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

bool EqualsIgnoringCase(const std::wstring& left, const std::wstring& right) {
  if (left.size() != right.size()) return false;
  if (left.empty()) return true;
  return ::CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

size_t FindFirstDigit(const std::wstring& text, size_t from) {
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] >= L'0' && text[i] <= L'9') return i;
  }
  return std::wstring::npos;
}

}  // namespace updater
