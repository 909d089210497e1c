#include "catalogue/publisher_message.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <utility>
#include <vector>

#include "base/hashing.h"
#include "base/text_util.h"
#include "base/win_handles.h"

namespace updater {

namespace {

constexpr wchar_t kGeneral[] = L"General";

}  // namespace

bool ParseMessageDate(const std::wstring& text, int& day, int& month, int& year) {
  return ParseDayMonthYear(text, day, month, year);
}

bool IsExpiredAt(int day, int month, int year, FileTime64 now) {
  FileTime64 end = EndOfDay(day, month, year);
  // The message lives through its expiration day.
  return end == 0 || now > end;
}

std::wstring PublisherMessage::ComputeId() const {
  return Sha256HexOfText(title + body + expirationDate + imageUrl + uri + buttonText);
}

Result PublisherMessage::ReadMessage(const IniFile& updatesFile) { return ReadMessage(updatesFile, CurrentUtcFileTime()); }

Result PublisherMessage::ReadMessage(const IniFile& updatesFile, FileTime64 now) {
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
