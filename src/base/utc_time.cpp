#include "base/utc_time.h"

#include <cwchar>

#include "base/text_util.h"

namespace updater {
namespace {

// One run of at most five decimal digits with blanks around it; false for anything else.
bool ReadDatePart(const std::wstring& text, int& value) {
  std::wstring trimmed = TrimBlanks(text);
  if (trimmed.empty() || trimmed.size() > 5) return false;
  value = 0;
  for (wchar_t c : trimmed) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + (c - L'0');
  }
  return true;
}

}  // namespace

FileTime64 CurrentUtcFileTime() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return (static_cast<FileTime64>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

SYSTEMTIME FileTimeToSystem(FileTime64 fileTime) {
  FILETIME file{static_cast<DWORD>(fileTime & 0xFFFFFFFFu), static_cast<DWORD>(fileTime >> 32)};
  SYSTEMTIME system{};
  if (!::FileTimeToSystemTime(&file, &system)) system = SYSTEMTIME{};
  return system;
}

FileTime64 SystemToFileTime(const SYSTEMTIME& time) {
  FILETIME file{};
  if (!::SystemTimeToFileTime(&time, &file)) return 0;
  return (static_cast<FileTime64>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

std::wstring FormatUtc(FileTime64 fileTime) {
  SYSTEMTIME time = FileTimeToSystem(fileTime);
  wchar_t text[40];
  std::swprintf(text, 40, L"%04u-%02u-%02u %02u:%02u:%02u UTC", time.wYear, time.wMonth, time.wDay, time.wHour,
                time.wMinute, time.wSecond);
  return text;
}

bool ParseDayMonthYear(const std::wstring& text, int& day, int& month, int& year) {
  size_t first = text.find(L'/');
  if (first == std::wstring::npos) return false;
  size_t second = text.find(L'/', first + 1);
  if (second == std::wstring::npos) return false;
  if (!ReadDatePart(text.substr(0, first), day) || !ReadDatePart(text.substr(first + 1, second - first - 1), month) ||
      !ReadDatePart(text.substr(second + 1), year)) {
    return false;
  }
  // The calendar decides what a real date is (month lengths, leap years, 1601..30827).
  return year >= 1601 && year <= 30827 && EndOfDay(day, month, year) != 0;
}

FileTime64 EndOfDay(int day, int month, int year) {
  if (day < 1 || month < 1 || year < 1601 || year > 30827) return 0;
  SYSTEMTIME date{};
  date.wYear = static_cast<WORD>(year);
  date.wMonth = static_cast<WORD>(month);
  date.wDay = static_cast<WORD>(day);
  FileTime64 start = SystemToFileTime(date);
  return start == 0 ? 0 : start + kFileTimeTicksPerDay;
}

}  // namespace updater
