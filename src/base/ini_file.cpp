#include "base/ini_file.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

#include "base/text_util.h"
#include "base/win_handles.h"

namespace updater {
namespace {

constexpr DWORD kInitialBufferChars = 256;
// Upper bound for one profile read (32 Mi characters). A value or section list larger than this is
// cut rather than letting a hostile or damaged file exhaust the address space of the 32-bit program.
constexpr DWORD kMaxBufferChars = 1u << 25;

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}


// The profile functions signal a buffer that was too small by returning its size minus 1 (values)
// or minus 2 (lists); both count as "did not fit" so that every variant grows the buffer.
bool MayBeTruncated(DWORD returned, DWORD bufferChars) { return returned + 2 >= bufferChars; }

Result LastErrorOr(Result fallback) {
  DWORD error = ::GetLastError();
  return error != 0 ? error : fallback;
}

constexpr Result kFailed = 0x80004005;  // E_FAIL

std::wstring NumberedKey(const std::wstring& key, int number) {
  wchar_t digits[16];
  std::swprintf(digits, 16, L"%d", number);
  return key + digits;
}

// Reads up to count bytes from the start position; fewer only at the end of the file or on error.
size_t ReadUpTo(HANDLE file, unsigned char* buffer, size_t count, bool* failed) {
  size_t total = 0;
  *failed = false;
  while (total < count) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer + total, static_cast<DWORD>(count - total), &got, nullptr)) {
      *failed = true;
      break;
    }
    if (got == 0) break;
    total += got;
  }
  return total;
}

UniqueFile OpenForReading(const std::wstring& path) {
  return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

// ---- FlagSet ----------------------------------------------------------------------------------

void FlagSet::Parse(const std::wstring& text) {
  value_ = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(separator_, start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring word = Trim(text.substr(start, end - start), kWhiteSpace);
    const Entry* match = nullptr;
    for (const Entry& entry : table_) {
      if (entry.name != nullptr && word == entry.name) {
        match = &entry;
        break;
      }
    }
    if (match == nullptr) return;  // the words after an unknown one are not trusted
    value_ |= match->bits;
    start = end + 1;
  }
}

std::wstring FlagSet::Format() const {
  std::wstring text;
  for (const Entry& entry : table_) {
    // An entry without bits would be "set" in every value; it names nothing.
    if (entry.name == nullptr || entry.bits == 0) continue;
    if ((value_ & entry.bits) != entry.bits) continue;
    if (!text.empty()) text += separator_;
    text += entry.name;
  }
  return text;
}

// ---- Text conventions -------------------------------------------------------------------------

std::vector<std::wstring> SplitDelimitedList(const std::wstring& value) {
  std::vector<std::wstring> items;
  std::wstring current;
  bool pending = false;  // characters (escaped or not) seen since the last separator
  for (size_t i = 0; i < value.size(); ++i) {
    wchar_t c = value[i];
    if (c == L'\\') {
      if (i + 1 < value.size()) {
        // "\;" and "\\" stand for the character; a backslash before anything else is dropped.
        current += value[++i];
        pending = true;
      }
      continue;
    }
    if (c == L';') {
      items.push_back(Trim(current, kWhiteSpace));
      current.clear();
      pending = false;
      continue;
    }
    current += c;
    pending = true;
  }
  // A trailing separator (possibly followed by blanks only) adds no item.
  if (pending) {
    std::wstring last = Trim(current, kWhiteSpace);
    if (!last.empty()) items.push_back(std::move(last));
  }
  return items;
}

std::wstring JoinDelimitedList(const std::vector<std::wstring>& items) {
  std::wstring text;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += L';';
    for (wchar_t c : items[i]) {
      if (c == L';' || c == L'\\') text += L'\\';
      text += c;
    }
  }
  return text;
}

int ParseLeadingInt(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  // Accumulate in 64 bits and saturate, so that an overlong number cannot overflow.
  long long magnitude = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - L'0');
    if (magnitude > static_cast<long long>(INT_MAX) + 1) magnitude = static_cast<long long>(INT_MAX) + 1;
  }
  long long signedValue = negative ? -magnitude : magnitude;
  if (signedValue > INT_MAX) return INT_MAX;
  if (signedValue < INT_MIN) return INT_MIN;
  return static_cast<int>(signedValue);
}

// ---- IniFile: file bytes ------------------------------------------------------------------------

Result IniFile::ReadBom() {
  UniqueFile file = OpenForReading(path_);
  if (!file) return LastErrorOr(kFailed);
  unsigned char bytes[4] = {};
  bool failed = false;
  size_t got = ReadUpTo(file.Get(), bytes, sizeof(bytes), &failed);
  if (failed) return LastErrorOr(kFailed);
  unicode_ = got >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
  return kOk;
}

bool IniFile::CheckHeader(const std::wstring& marker) const {
  constexpr size_t kMarkerChars = 5;
  UniqueFile file = OpenForReading(path_);
  if (!file) return false;
  bool failed = false;
  std::wstring head;
  if (unicode_) {
    unsigned char bytes[2 + kMarkerChars * 2] = {};
    size_t got = ReadUpTo(file.Get(), bytes, sizeof(bytes), &failed);
    if (failed || got != sizeof(bytes)) return false;
    for (size_t i = 0; i < kMarkerChars; ++i) {
      head += static_cast<wchar_t>(bytes[2 + i * 2] | (bytes[3 + i * 2] << 8));
    }
  } else {
    unsigned char bytes[kMarkerChars] = {};
    size_t got = ReadUpTo(file.Get(), bytes, sizeof(bytes), &failed);
    if (failed || got != sizeof(bytes)) return false;
    for (unsigned char b : bytes) head += static_cast<wchar_t>(b);
  }
  return head == marker;
}

// ---- IniSectionView ----------------------------------------------------------------------------

namespace {

// The profile functions trim blanks and tabs around names and values.
std::wstring TrimProfileBlanks(const wchar_t* begin, const wchar_t* end) {
  return Trim(std::wstring_view(begin, static_cast<size_t>(end - begin)), kSpacesAndTabs);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

std::wstring SectionKeyOf(const std::wstring& section) {
  std::wstring key = TrimProfileBlanks(section.data(), section.data() + section.size());
  if (!key.empty()) ::CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  return key;
}

// True when the file holds a NUL character (a zero byte, or a zero UTF-16 unit after the mark) or
// cannot be read. The profile functions end a value at such a NUL but trim the line around it,
// which a section list cannot show; such damaged files are read key by key.
bool HasNulCharacter(const std::wstring& path) {
  UniqueFile file = OpenForReading(path);
  if (!file) return true;
  std::vector<unsigned char> block(1 << 16);
  bool unicode = false;
  bool first = true;
  unsigned char carry = 0;
  bool hasCarry = false;
  for (;;) {
    bool failed = false;
    size_t got = ReadUpTo(file.Get(), block.data(), block.size(), &failed);
    if (failed) return true;
    if (got == 0) return false;
    size_t start = 0;
    if (first) {
      first = false;
      unicode = got >= 2 && block[0] == 0xFF && block[1] == 0xFE;
      if (unicode) start = 2;
    }
    for (size_t i = start; i < got; ++i) {
      if (!unicode) {
        if (block[i] == 0) return true;
      } else if (hasCarry) {
        if (carry == 0 && block[i] == 0) return true;
        hasCarry = false;
      } else {
        carry = block[i];
        hasCarry = true;
      }
    }
    if (got < block.size()) return false;
  }
}

}  // namespace

IniSectionView::IniSectionView(const wchar_t* entries, std::size_t length) {
  const wchar_t* end = entries + length;
  for (const wchar_t* line = entries; line < end;) {
    const wchar_t* lineEnd = line;
    while (lineEnd < end && *lineEnd != L'\0') ++lineEnd;
    const wchar_t* equals = line;
    while (equals < lineEnd && *equals != L'=') ++equals;
    if (lineEnd > line) {
      Entry entry;
      entry.key = TrimProfileBlanks(line, equals);
      if (equals < lineEnd) {
        std::wstring value = TrimProfileBlanks(equals + 1, lineEnd);
        if (value.size() > 1 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front())
          value = value.substr(1, value.size() - 2);
        entry.value = std::move(value);
      }
      entries_.push_back(std::move(entry));
    }
    line = lineEnd + 1;
  }
}

std::wstring IniSectionView::Get(const std::wstring& key) const {
  std::wstring name = TrimProfileBlanks(key.data(), key.data() + key.size());
  for (const Entry& entry : entries_)
    if (SameName(entry.key, name)) return entry.value;
  return std::wstring();
}

// ---- IniReadSnapshot ----------------------------------------------------------------------------

IniReadSnapshot::IniReadSnapshot(const std::wstring& source) : source_(source) {
  wchar_t folder[MAX_PATH + 1] = {};
  wchar_t copy[MAX_PATH + 1] = {};
  DWORD length = ::GetTempPathW(MAX_PATH, folder);
  if (length == 0 || length > MAX_PATH || ::GetTempFileNameW(folder, L"ini", 0, copy) == 0) return;
  if (!::CopyFileW(source.c_str(), copy, FALSE)) {
    ::DeleteFileW(copy);
    return;
  }
  // The copy carries the original's attributes; a read-only one could not be deleted afterwards.
  ::SetFileAttributesW(copy, FILE_ATTRIBUTE_NORMAL);
  UniqueFile file(::CreateFileW(copy, FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER written{};
  written.LowPart = now.dwLowDateTime;
  written.HighPart = now.dwHighDateTime;
  written.QuadPart -= 60ULL * 10000000ULL;
  FILETIME minuteAgo{written.LowPart, written.HighPart};
  if (!file || !::SetFileTime(file.Get(), nullptr, nullptr, &minuteAgo)) {
    file.Reset();
    ::DeleteFileW(copy);
    return;
  }
  copy_ = copy;
}

IniReadSnapshot::~IniReadSnapshot() {
  if (!copy_.empty()) ::DeleteFileW(copy_.c_str());
}

// ---- IniFile: reading ---------------------------------------------------------------------------

void IniFile::KeepSectionsInMemory(bool keep) {
  keepSections_ = keep;
  nulChecked_ = false;
  ForgetSections();
}

const IniSectionView* IniFile::SectionView(const std::wstring& section) const {
  if (!nulChecked_) {
    nulChecked_ = true;
    readKeyByKey_ = HasNulCharacter(path_);
  }
  if (readKeyByKey_) return nullptr;
  std::wstring key = SectionKeyOf(section);
  auto found = sections_.find(key);
  if (found != sections_.end()) return found->second.get();
  std::vector<wchar_t> buffer;
  DWORD size = 4096;
  DWORD length = 0;
  bool complete = false;
  for (;;) {
    buffer.assign(size, L'\0');
    length = ::GetPrivateProfileSectionW(section.c_str(), buffer.data(), size, path_.c_str());
    if (!MayBeTruncated(length, size)) {
      complete = true;
      break;
    }
    if (size >= kMaxBufferChars) break;
    size *= 2;
  }
  std::unique_ptr<IniSectionView> view;
  if (complete) view = std::make_unique<IniSectionView>(buffer.data(), std::min<std::size_t>(length, size));
  const IniSectionView* result = view.get();
  sections_.emplace(std::move(key), std::move(view));
  return result;
}


std::vector<std::wstring> IniFile::SectionNames() const {
  std::vector<std::wstring> names;
  if (path_.empty()) return names;
  std::vector<wchar_t> buffer;
  DWORD size = kInitialBufferChars;
  DWORD length = 0;
  for (;;) {
    buffer.assign(size, L'\0');
    length = ::GetPrivateProfileSectionNamesW(buffer.data(), size, path_.c_str());
    if (!MayBeTruncated(length, size) || size >= kMaxBufferChars) break;
    size *= 2;
  }
  if (length >= size) length = size - 1;
  // Walk the returned length rather than stopping at the first double NUL: a section with an empty
  // name shows as an empty entry, which is left out without hiding the names after it.
  size_t start = 0;
  for (size_t i = 0; i <= length && i < size; ++i) {
    if (i == length || buffer[i] == L'\0') {
      if (i > start) names.emplace_back(buffer.data() + start, i - start);
      start = i + 1;
    }
  }
  return names;
}

std::wstring IniFile::GetString(const std::wstring& section, const std::wstring& key) const {
  if (path_.empty()) return std::wstring();
  if (keepSections_) {
    if (const IniSectionView* view = SectionView(section)) return view->Get(key);
  }
  return ReadKey(section, key);
}

std::wstring IniFile::ReadKey(const std::wstring& section, const std::wstring& key) const {
  std::vector<wchar_t> buffer;
  DWORD size = kInitialBufferChars;
  DWORD length = 0;
  for (;;) {
    buffer.assign(size, L'\0');
    length = ::GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", buffer.data(), size, path_.c_str());
    if (!MayBeTruncated(length, size) || size >= kMaxBufferChars) break;
    size *= 2;
  }
  if (length >= size) length = size - 1;
  return std::wstring(buffer.data(), length);
}

int IniFile::GetInt(const std::wstring& section, const std::wstring& key) const {
  return ParseLeadingInt(GetString(section, key));
}

std::vector<std::wstring> IniFile::GetNumberedList(const std::wstring& section, const std::wstring& key,
                                                   const std::wstring& htmlKey) const {
  std::vector<std::wstring> items;
  auto valueAt = [&](int number) {
    if (!htmlKey.empty()) {
      std::wstring html = GetString(section, number == 0 ? htmlKey : NumberedKey(htmlKey, number));
      if (!html.empty()) return html;
    }
    return GetString(section, number == 0 ? key : NumberedKey(key, number));
  };
  // The unnumbered key is optional; from number 1 on, the first empty position ends the list.
  std::wstring first = valueAt(0);
  if (!first.empty()) items.push_back(std::move(first));
  for (int number = 1; number < INT_MAX; ++number) {
    std::wstring value = valueAt(number);
    if (value.empty()) break;
    items.push_back(std::move(value));
  }
  return items;
}

std::vector<std::wstring> IniFile::GetDelimitedList(const std::wstring& section, const std::wstring& key) const {
  return SplitDelimitedList(GetString(section, key));
}

void IniFile::GetFlags(const std::wstring& section, const std::wstring& key, FlagSet& flags) const {
  flags.Parse(GetString(section, key));
}

// ---- IniFile: writing ---------------------------------------------------------------------------

Result IniFile::PutString(const std::wstring& section, const std::wstring& key, const std::wstring& value) const {
  if (path_.empty()) return ERROR_INVALID_PARAMETER;
  ForgetSections();
  if (!::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), path_.c_str())) {
    return LastErrorOr(kFailed);
  }
  return kOk;
}

Result IniFile::PutNumberedList(const std::wstring& section, const std::wstring& key,
                                const std::vector<std::wstring>& items) const {
  if (items.empty()) return kOk;
  for (size_t i = 0; i < items.size(); ++i) {
    Result result = PutString(section, i == 0 ? key : NumberedKey(key, static_cast<int>(i)), items[i]);
    if (result != kOk) return result;
  }
  // Remove numbered keys left over from a longer list written earlier; otherwise reading back would
  // return items that were not written.
  for (size_t number = items.size(); number < static_cast<size_t>(INT_MAX); ++number) {
    std::wstring stale = NumberedKey(key, static_cast<int>(number));
    if (GetString(section, stale).empty()) break;
    ForgetSections();
    if (!::WritePrivateProfileStringW(section.c_str(), stale.c_str(), nullptr, path_.c_str())) {
      return LastErrorOr(kFailed);
    }
  }
  return kOk;
}

Result IniFile::PutDelimitedList(const std::wstring& section, const std::wstring& key,
                                 const std::vector<std::wstring>& items) const {
  std::wstring text = JoinDelimitedList(items);
  if (text.empty()) return kOk;
  return PutString(section, key, text);
}

Result IniFile::PutFlags(const std::wstring& section, const std::wstring& key, const FlagSet& flags) const {
  std::wstring text = flags.Format();
  if (text.empty()) return kOk;
  return PutString(section, key, text);
}

Result IniFile::Delete() const {
  if (path_.empty()) return ERROR_INVALID_PARAMETER;
  ForgetSections();
  if (!::DeleteFileW(path_.c_str())) return LastErrorOr(kFailed);
  return kOk;
}

}  // namespace updater
