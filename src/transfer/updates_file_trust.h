// The signed updates configuration file: its detached signature (the file's URL with ".p7s"),
// fetched like the file itself, checked over the file's exact bytes, and its freshness against the
// serial this machine accepted before. Only bytes that passed are ever read.
#pragma once

#include <cstdint>
#include <string>

#include "base/result_codes.h"
#include "catalogue/updates_file_freshness.h"
#include "config/settings_store.h"

namespace updater {

inline constexpr wchar_t kSignatureSuffix[] = L".p7s";
inline constexpr std::uint32_t kMaxSignatureBytes = 1u << 20;

RememberedUpdatesFile ReadRememberedUpdatesFile(const SettingsStore& store);

// A verified updates configuration file: the bytes that passed the signature and freshness checks,
// kept in a private copy that the catalogue reader reads, so that nothing changed on disk after the
// check is ever read. The copy is deleted with the object.
class VerifiedUpdatesFile {
 public:
  VerifiedUpdatesFile() = default;
  ~VerifiedUpdatesFile();
  VerifiedUpdatesFile(const VerifiedUpdatesFile&) = delete;
  VerifiedUpdatesFile& operator=(const VerifiedUpdatesFile&) = delete;

  // Checks the file at `filePath` with the signature at `signaturePath` against the publisher of
  // the updater at `updaterPath` and the state remembered in `store`. 0, 0xE0000034 (signature),
  // 0xE0000035 (expired), 0xE0000036 (older than one received), or the error of reading the file.
  // A refusal is logged with the rule that failed.
  Result Verify(const std::wstring& filePath, const std::wstring& signaturePath, const std::wstring& updaterPath,
                const SettingsStore& store, FileTime64 now = CurrentUtcFileTime());
  // Which rule refused the file, with its values; empty after a success.
  const std::wstring& RefusalReason() const { return reason_; }
  // The private copy of the verified bytes; empty until Verify succeeded.
  const std::wstring& Path() const { return copy_; }
  // Makes the verified file the one remembered ("UpdatesFileSerial", "UpdatesFileDigest"); called
  // once the whole file was read.
  bool Remember(const SettingsStore& store) const;

 private:
  void Discard();
  Result Refuse(Result code, const std::wstring& reason);

  std::wstring copy_;
  std::wstring reason_;
  std::uint64_t serial_ = 0;
  std::wstring digest_;
};

}  // namespace updater
