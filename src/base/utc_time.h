// Moments in UTC as one number, the way the registry and the file system keep them, and the
// day/month/year dates of the publisher's files.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace updater {

// A file time as one number: 100-nanosecond units since 1601-01-01 (UTC).
using FileTime64 = std::uint64_t;
inline constexpr std::uint64_t kFileTimeTicksPerDay = 86400ull * 10000000ull;
inline constexpr FileTime64 kLatestFileTime = 0x7FFFFFFFFFFFFFFFull;

FileTime64 CurrentUtcFileTime();

// Conversions between file times and SYSTEMTIME; a value the calendar cannot hold gives all zero
// (SYSTEMTIME) or 0 (file time).
SYSTEMTIME FileTimeToSystem(FileTime64 fileTime);
FileTime64 SystemToFileTime(const SYSTEMTIME& time);

// "2026-12-10 08:30:00 UTC", for the log.
std::wstring FormatUtc(FileTime64 fileTime);

// "d/m/y" with three decimal numbers (blanks around each allowed) forming a real calendar date
// from 1601 to 30827; false otherwise.
bool ParseDayMonthYear(const std::wstring& text, int& day, int& month, int& year);
// The first moment after the given day, UTC; 0 when the date is not a real one.
FileTime64 EndOfDay(int day, int month, int year);

}  // namespace updater
