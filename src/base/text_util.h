// Small text helpers every layer shares: trimming, ordinal comparison, digits, and conversions
// between UTF-16 and the byte encodings at the program's edges.
#pragma once

#include <string>
#include <string_view>

namespace updater {

// Character sets for Trim.
inline constexpr std::wstring_view kBlanks = L" \t\r\n";              // blanks, tabs and line ends
inline constexpr std::wstring_view kSpacesAndTabs = L" \t";           // what the profile functions trim
inline constexpr std::wstring_view kWhiteSpace = L" \t\r\n\v\f";      // every ASCII white-space character

// Removes the given characters from both ends.
std::wstring Trim(std::wstring_view text, std::wstring_view characters);
// Removes blanks, tabs, carriage returns and line feeds from both ends.
std::wstring TrimBlanks(const std::wstring& text);
// Ordinal comparison that ignores the case of letters (the way section names are matched).
bool EqualsIgnoringCase(const std::wstring& left, const std::wstring& right);
// Index of the first character '0'..'9', or npos.
size_t FindFirstDigit(const std::wstring& text, size_t from = 0);
// ASCII letters in lower case, every other character as it is.
std::wstring LowerAscii(std::wstring text);

// UTF-16 to UTF-8, a lone surrogate as U+FFFD; and UTF-8 to UTF-16 as the system converts it.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view bytes);
// UTF-16 to the system's ANSI code page.
std::string ToAnsi(std::wstring_view text);

}  // namespace updater
