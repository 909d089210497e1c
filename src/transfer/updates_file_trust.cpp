#include "transfer/updates_file_trust.h"

#include <windows.h>

#include "base/file_bytes.h"
#include "base/hashing.h"
#include "base/ini_file.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/win_handles.h"
#include "config/temp_updater_copy.h"
#include "transfer/detached_signature.h"
#include "transfer/download_rules.h"

namespace updater {
namespace {

constexpr wchar_t kGeneral[] = L"General";

// Writes the bytes into a new file of the temporary folder that only this process writes.
Result WritePrivateCopy(const std::string& bytes, std::wstring& path) {
  std::wstring folder = TemporaryFolder();
  wchar_t name[MAX_PATH + 1] = {};
  if (!::GetTempFileNameW(folder.c_str(), L"upd", 0, name)) return static_cast<Result>(::GetLastError());
  path = name;
  UniqueFile file(::CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
  DWORD written = 0;
  if (!file || (!bytes.empty() && (!::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                                 nullptr) ||
                                    written != bytes.size()))) {
    Result error = ::GetLastError() != 0 ? ::GetLastError() : kResultFail;
    file.Reset();
    ::DeleteFileW(name);
    path.clear();
    return error;
  }
  return kOk;
}

}  // namespace

RememberedUpdatesFile ReadRememberedUpdatesFile(const SettingsStore& store) {
  RememberedUpdatesFile remembered;
  remembered.serial = store.ReadNumber64(SettingsKey::kSettings, kValueUpdatesFileSerial);
  remembered.digest = store.ReadString(SettingsKey::kSettings, kValueUpdatesFileDigest);
  return remembered;
}

VerifiedUpdatesFile::~VerifiedUpdatesFile() { Discard(); }

Result VerifiedUpdatesFile::Refuse(Result code, const std::wstring& reason) {
  reason_ = reason;
  LogError(L"The updates configuration file is refused: " + reason, code);
  return code;
}

void VerifiedUpdatesFile::Discard() {
  if (!copy_.empty()) ::DeleteFileW(copy_.c_str());
  copy_.clear();
  serial_ = 0;
  digest_.clear();
}

Result VerifiedUpdatesFile::Verify(const std::wstring& filePath, const std::wstring& signaturePath,
                                   const std::wstring& updaterPath, const SettingsStore& store, FileTime64 now) {
  Discard();
  reason_.clear();
  std::string content;
  Result read = ReadFileBytes(filePath, kMaxUpdatesFileBytes, E_UPD_BAD_UPDATES_FILE, content);
  if (read != kOk) {
    LogError(L"Unable to read the updates configuration file " + filePath, read);
    return read;
  }
  std::string signature;
  read = ReadFileBytes(signaturePath, kMaxSignatureBytes, E_UPD_UPDATES_FILE_UNSIGNED, signature);
  if (read != kOk)
    return Refuse(E_UPD_UPDATES_FILE_UNSIGNED,
                   L"its signature " + signaturePath + L" cannot be read (" + FormatResultForLog(read) + L").");
  std::wstring reason;
  if (VerifyDetachedSignature(content, signature, updaterPath, reason) != kOk)
    return Refuse(E_UPD_UPDATES_FILE_UNSIGNED, reason);

  // From here on only the verified bytes are read, from a copy nobody else writes.
  std::vector<unsigned char> digest;
  Result hashed = HashBytes(HashAlgorithm::kSha256, content.data(), content.size(), digest);
  if (hashed != kOk) return Refuse(E_UPD_UPDATES_FILE_UNSIGNED, L"its SHA-256 cannot be computed.");
  std::wstring copy;
  Result written = WritePrivateCopy(content, copy);
  if (written != kOk) {
    LogError(L"Unable to keep the verified updates configuration file", written);
    return written;
  }
  copy_ = copy;
  IniFile file(copy_);
  Result bom = file.ReadBom();
  if (bom != kOk) {
    Discard();
    LogError(L"Unable to read the verified updates configuration file", bom);
    return bom;
  }
  std::wstring serialText = file.GetString(kGeneral, L"Serial");
  std::wstring validUntil = file.GetString(kGeneral, L"ValidUntil");
  std::wstring digestText = HexOf(digest, true);
  FreshnessVerdict verdict = DecideFreshness(serialText, validUntil, digestText, ReadRememberedUpdatesFile(store), now);
  if (verdict.result != kOk) {
    Discard();
    return Refuse(verdict.result, verdict.reason);
  }
  serial_ = verdict.serial;
  digest_ = digestText;
  LogFormat(kLogDebug, L"The updates configuration file is signed by the publisher (Serial %llu, valid until %ls).",
            static_cast<unsigned long long>(serial_), validUntil.c_str());
  return kOk;
}

bool VerifiedUpdatesFile::Remember(const SettingsStore& store) const {
  if (copy_.empty()) return false;
  return store.WriteNumber64(SettingsKey::kSettings, kValueUpdatesFileSerial, serial_) &&
         store.WriteString(SettingsKey::kSettings, kValueUpdatesFileDigest, digest_);
}

}  // namespace updater
