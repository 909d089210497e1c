// Small text helpers shared by the catalogue readers.
#pragma once

#include <string>

namespace updater {

// Removes blanks, tabs, carriage returns and line feeds from both ends.
std::wstring TrimBlanks(const std::wstring& text);
// Ordinal comparison that ignores the case of letters (the way section names are matched).
bool EqualsIgnoringCase(const std::wstring& left, const std::wstring& right);
// Index of the first character '0'..'9', or npos.
size_t FindFirstDigit(const std::wstring& text, size_t from = 0);

}  // namespace updater
