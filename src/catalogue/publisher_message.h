// The publisher message carried in section "General" of the updates configuration file: reading
// and validating its keys, its identity and expiry, and writing it into a saved selection.
#pragma once

#include <cstdint>
#include <string>

#include "base/ini_file.h"
#include "base/result_codes.h"
#include "base/utc_time.h"

namespace updater {

// "d/m/y" with three decimal numbers forming a real calendar date; false otherwise.
bool ParseMessageDate(const std::wstring& text, int& day, int& month, int& year);
// True when now is later than the start of the day after the expiration date.
bool IsExpiredAt(int day, int month, int year, FileTime64 now);

struct PublisherMessage {
  std::wstring title;
  std::wstring body;
  std::wstring expirationDate;  // as written: day/month/year
  std::wstring imageUrl;
  std::wstring uri;
  std::wstring buttonText;

  bool expired = false;
  std::wstring id;

  // True when the file carried a message (title and body).
  bool Present() const { return !title.empty() || !body.empty(); }
  // Work left to the notification part after reading: protocol registration and image download.
  bool WantsProtocol() const { return Present() && !uri.empty() && !expired; }
  bool WantsImage() const { return Present() && !imageUrl.empty() && !expired; }

  // Reads the message keys of section "General": 0 (with or without a message) or 0xE0000031.
  Result ReadMessage(const IniFile& updatesFile);
  Result ReadMessage(const IniFile& updatesFile, FileTime64 now);
  // Writes the keys back into section "General"; nothing when there is no message.
  Result WriteMessage(const IniFile& file) const;
  // SHA-256 of title + body + expiration date + image URL + URI + button text.
  std::wstring ComputeId() const;
};

}  // namespace updater
