#include "catalogue/updates_file_freshness.h"


namespace updater {
namespace {

wchar_t UpperAscii(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// Hexadecimal digests compare without regard to the case of their letters.
bool SameHex(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  return true;
}

FreshnessVerdict Refuse(Result code, std::wstring reason) {
  FreshnessVerdict verdict;
  verdict.result = code;
  verdict.reason = std::move(reason);
  return verdict;
}

}  // namespace

bool ParseUpdatesFileSerial(const std::wstring& text, std::uint64_t& serial) {
  if (text.empty() || text.size() > 19) return false;
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - L'0');  // 19 digits cannot wrap 64 bits
  }
  if (value == 0 || value > kMaxUpdatesFileSerial) return false;
  serial = value;
  return true;
}

bool ParseValidUntilEnd(const std::wstring& text, FileTime64& end) {
  int day = 0, month = 0, year = 0;
  if (!ParseDayMonthYear(text, day, month, year)) return false;
  end = EndOfDay(day, month, year);
  return end != 0;
}

FreshnessVerdict DecideFreshness(const std::wstring& serialText, const std::wstring& validUntilText,
                                 const std::wstring& digest, const RememberedUpdatesFile& remembered, FileTime64 now) {
  std::uint64_t serial = 0;
  if (!ParseUpdatesFileSerial(serialText, serial))
    return Refuse(E_UPD_UPDATES_FILE_EXPIRED, L"its Serial \"" + serialText +
                                                  L"\" is not a number from 1 to 9223372036854775807.");
  FileTime64 end = 0;
  if (!ParseValidUntilEnd(validUntilText, end))
    return Refuse(E_UPD_UPDATES_FILE_EXPIRED,
                  L"its ValidUntil \"" + validUntilText + L"\" is not a day/month/year date.");
  if (now >= end) return Refuse(E_UPD_UPDATES_FILE_EXPIRED, L"it was valid until " + validUntilText + L" (UTC).");
  if (remembered.serial) {
    std::wstring serials = L"Serial " + std::to_wstring(serial) + L", remembered " + std::to_wstring(*remembered.serial);
    if (serial < *remembered.serial)
      return Refuse(E_UPD_UPDATES_FILE_REPLAYED, serials + L": an older file than one already received.");
    // An equal serial is the same file again only with the same bytes; a remembered serial without
    // its digest cannot show that.
    if (serial == *remembered.serial && !(remembered.digest && SameHex(*remembered.digest, digest)))
      return Refuse(E_UPD_UPDATES_FILE_REPLAYED, serials + L": the same serial with other content.");
  }
  FreshnessVerdict verdict;
  verdict.serial = serial;
  return verdict;
}

}  // namespace updater
