#include "notify/publisher_message.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <utility>
#include <vector>

#include "catalogue/text_util.h"
#include "core/win_handles.h"

namespace updater {

namespace {

constexpr wchar_t kGeneral[] = L"General";
constexpr UtcTicks kTicksPerDay = 864000000000ULL;

std::string Utf8Of(const std::wstring& text) {
  if (text.empty()) return {};
  int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
  if (size <= 0) return {};
  std::string bytes(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                        nullptr);
  return bytes;
}

// Reads one run of decimal digits with blanks around it; false for anything else.
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

UtcTicks CurrentUtcTicks() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return (static_cast<UtcTicks>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::wstring Sha256HexOfText(const std::wstring& text) {
  UniqueCryptProv provider;
  if (!::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return {};
  UniqueCryptHash hash;
  if (!::CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, hash.Put())) return {};
  std::string bytes = Utf8Of(text);
  if (!bytes.empty() &&
      !::CryptHashData(hash.Get(), reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0)) {
    return {};
  }
  BYTE digest[32];
  DWORD length = sizeof(digest);
  if (!::CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &length, 0) || length != sizeof(digest)) return {};
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  std::wstring hex;
  hex.reserve(64);
  for (BYTE b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 0xF];
  }
  return hex;
}

bool ParseMessageDate(const std::wstring& text, int& day, int& month, int& year) {
  size_t first = text.find(L'/');
  if (first == std::wstring::npos) return false;
  size_t second = text.find(L'/', first + 1);
  if (second == std::wstring::npos) return false;
  if (!ReadDatePart(text.substr(0, first), day) || !ReadDatePart(text.substr(first + 1, second - first - 1), month) ||
      !ReadDatePart(text.substr(second + 1), year)) {
    return false;
  }
  // The calendar decides what a real date is (month lengths, leap years, 1601..30827).
  SYSTEMTIME date{};
  date.wYear = static_cast<WORD>(year);
  date.wMonth = static_cast<WORD>(month);
  date.wDay = static_cast<WORD>(day);
  FILETIME unused{};
  return year >= 1601 && year <= 30827 && ::SystemTimeToFileTime(&date, &unused) != FALSE;
}

bool IsExpiredAt(int day, int month, int year, UtcTicks now) {
  SYSTEMTIME date{};
  date.wYear = static_cast<WORD>(year);
  date.wMonth = static_cast<WORD>(month);
  date.wDay = static_cast<WORD>(day);
  FILETIME start{};
  if (!::SystemTimeToFileTime(&date, &start)) return true;
  UtcTicks dayStart = (static_cast<UtcTicks>(start.dwHighDateTime) << 32) | start.dwLowDateTime;
  // The message lives through its expiration day.
  return now > dayStart + kTicksPerDay;
}

std::wstring PublisherMessage::ComputeId() const {
  return Sha256HexOfText(title + body + expirationDate + imageUrl + uri + buttonText);
}

Result PublisherMessage::ReadMessage(const IniFile& updatesFile) { return ReadMessage(updatesFile, CurrentUtcTicks()); }

Result PublisherMessage::ReadMessage(const IniFile& updatesFile, UtcTicks now) {
  // A rejected message leaves this object empty, so that nothing half-read is ever shown.
  *this = PublisherMessage{};
  PublisherMessage read;
  read.title = updatesFile.GetString(kGeneral, L"MessageTitle");
  read.body = updatesFile.GetString(kGeneral, L"MessageBody");
  if (read.title.empty() && read.body.empty()) return kOk;
  if (read.title.empty() || read.body.empty()) return E_UPD_BAD_NOTIFICATION;

  read.expirationDate = updatesFile.GetString(kGeneral, L"MessageExpirationDate");
  int day = 0, month = 0, year = 0;
  if (read.expirationDate.empty() || !ParseMessageDate(read.expirationDate, day, month, year)) {
    return E_UPD_BAD_NOTIFICATION;
  }
  read.expired = IsExpiredAt(day, month, year, now);

  read.imageUrl = updatesFile.GetString(kGeneral, L"MessageImageURL");
  read.uri = updatesFile.GetString(kGeneral, L"MessageURI");
  read.buttonText = updatesFile.GetString(kGeneral, L"MessageButtonText");
  read.id = read.ComputeId();
  *this = std::move(read);
  return kOk;
}

Result PublisherMessage::WriteMessage(const IniFile& file) const {
  if (!Present()) return kOk;
  Result result = file.PutString(kGeneral, L"MessageTitle", title);
  if (result == kOk) result = file.PutString(kGeneral, L"MessageBody", body);
  if (result == kOk) result = file.PutString(kGeneral, L"MessageExpirationDate", expirationDate);
  if (result == kOk && !imageUrl.empty()) result = file.PutString(kGeneral, L"MessageImageURL", imageUrl);
  if (result == kOk && !uri.empty()) {
    result = file.PutString(kGeneral, L"MessageURI", uri);
    if (result == kOk) result = file.PutString(kGeneral, L"MessageButtonText", buttonText);
  }
  return result;
}

}  // namespace updater
