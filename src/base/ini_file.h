// Access to the updater's INI files (client configuration, updates configuration file, saved
// selection, settings files) through the Windows profile functions, with the shared list and
// flag-word conventions.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/result_codes.h"

namespace updater {

// Words combined with a separator ("|"), each standing for bits of a 32-bit value.
class FlagSet {
 public:
  struct Entry {
    const wchar_t* name;
    std::uint32_t bits;
  };

  FlagSet(std::vector<Entry> table, wchar_t separator = L'|') : table_(std::move(table)), separator_(separator) {}

  // Sets the value from text; stops at the first word that is not in the table (bits before it stay).
  void Parse(const std::wstring& text);
  // Names of all entries whose bits are all set, in table order, joined by the separator.
  std::wstring Format() const;

  std::uint32_t Value() const { return value_; }
  const std::vector<Entry>& Entries() const { return table_; }
  void SetValue(std::uint32_t value) { value_ = value; }

 private:
  std::vector<Entry> table_;
  wchar_t separator_;
  std::uint32_t value_ = 0;
};

// One section as GetPrivateProfileSectionW lists it ("key=value" entries), answering key reads as
// GetPrivateProfileStringW does: the first entry of the name wins (names compared without case and
// without surrounding blanks), values lose their surrounding blanks and one pair of enclosing
// double or single quotes, and an entry without "=" reads as empty.
class IniSectionView {
 public:
  // `entries`: the list the profile function filled in, each entry ended by a NUL.
  IniSectionView(const wchar_t* entries, std::size_t length);
  std::wstring Get(const std::wstring& key) const;

 private:
  struct Entry {
    std::wstring key;
    std::wstring value;
  };
  std::vector<Entry> entries_;
};

// A private copy of an INI file in the temporary folder, deleted when the object goes out of scope.
// Reading a long file section by section from the copy gives every section from one version of the
// file, even when the original is replaced meanwhile, and lets the profile functions keep the file
// parsed between calls: a file written in the last two seconds or so is otherwise opened and
// parsed again on every call, which for a freshly downloaded catalogue meant one full parse per
// section. The copy's write time is therefore set a minute back. Path() is the original when no
// copy could be made.
class IniReadSnapshot {
 public:
  explicit IniReadSnapshot(const std::wstring& source);
  ~IniReadSnapshot();
  IniReadSnapshot(const IniReadSnapshot&) = delete;
  IniReadSnapshot& operator=(const IniReadSnapshot&) = delete;

  const std::wstring& Path() const { return copy_.empty() ? source_ : copy_; }

 private:
  std::wstring source_;
  std::wstring copy_;
};

class IniFile {
 public:
  IniFile() = default;
  explicit IniFile(std::wstring path) : path_(std::move(path)) {}

  const std::wstring& Path() const { return path_; }
  void SetPath(std::wstring path) { path_ = std::move(path); }

  // Reads the first bytes; sets the unicode flag for a UTF-16LE byte-order mark. 0 or a Win32 error.
  Result ReadBom();
  bool IsUnicode() const { return unicode_; }
  void SetUnicode(bool unicode) { unicode_ = unicode; }
  // True when the file starts with the five characters of marker (after the BOM when unicode).
  bool CheckHeader(const std::wstring& marker) const;

  // Reads answered from one GetPrivateProfileSectionW per section instead of one profile call per
  // key (each call opens the file again): same results, a fraction of the time for long files. Any
  // write through this object forgets what was read.
  void KeepSectionsInMemory(bool keep = true);

  std::vector<std::wstring> SectionNames() const;
  std::wstring GetString(const std::wstring& section, const std::wstring& key) const;
  int GetInt(const std::wstring& section, const std::wstring& key) const;
  // Key, key1, key2, ... with an optional HTML twin key whose value wins when not empty.
  std::vector<std::wstring> GetNumberedList(const std::wstring& section, const std::wstring& key,
                                            const std::wstring& htmlKey = L"") const;
  std::vector<std::wstring> GetDelimitedList(const std::wstring& section, const std::wstring& key) const;
  void GetFlags(const std::wstring& section, const std::wstring& key, FlagSet& flags) const;

  // Writers return 0 or the Win32 error of the failed write.
  Result PutString(const std::wstring& section, const std::wstring& key, const std::wstring& value) const;
  Result PutNumberedList(const std::wstring& section, const std::wstring& key,
                         const std::vector<std::wstring>& items) const;
  Result PutDelimitedList(const std::wstring& section, const std::wstring& key,
                          const std::vector<std::wstring>& items) const;
  Result PutFlags(const std::wstring& section, const std::wstring& key, const FlagSet& flags) const;
  Result Delete() const;

 private:
  std::wstring ReadKey(const std::wstring& section, const std::wstring& key) const;
  // Null when the section is too long to be read whole, or the file holds NUL characters (its keys
  // are then read one by one).
  const IniSectionView* SectionView(const std::wstring& section) const;
  void ForgetSections() const { sections_.clear(); }

  std::wstring path_;
  bool unicode_ = false;
  bool keepSections_ = false;
  mutable bool nulChecked_ = false;
  mutable bool readKeyByKey_ = false;
  mutable std::map<std::wstring, std::unique_ptr<IniSectionView>> sections_;
};

// The text conventions, usable without a file.
std::vector<std::wstring> SplitDelimitedList(const std::wstring& value);
std::wstring JoinDelimitedList(const std::vector<std::wstring>& items);
// Decimal integer: leading spaces, one optional sign, digits up to the first non-digit; else 0.
int ParseLeadingInt(const std::wstring& text);

}  // namespace updater
