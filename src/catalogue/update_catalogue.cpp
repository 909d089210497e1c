#include "catalogue/update_catalogue.h"

#include <windows.h>

#include "base/text_util.h"

namespace updater {

UpdateRecord* UpdateCatalogue::Find(const std::wstring& sectionName) const {
  for (const auto& record : records_) {
    if (EqualsIgnoringCase(record->sectionName, sectionName)) return record.get();
  }
  return nullptr;
}

namespace {

// The name with ASCII letters in lower case; false when it holds any other character above 127.
bool AsciiKeyOf(const std::wstring& name, std::wstring& key) {
  key.resize(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    wchar_t c = name[i];
    if (c > 127) return false;
    key[i] = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
  }
  return true;
}

}  // namespace

void RecordNameIndex::Add(UpdateRecord* record) {
  Entry entry{added_++, record};
  std::wstring key;
  if (AsciiKeyOf(record->sectionName, key))
    ascii_.emplace(std::move(key), entry);  // an earlier record of the same name stays
  else
    others_.push_back(entry);
}

UpdateRecord* RecordNameIndex::Find(const std::wstring& sectionName) const {
  const Entry* best = nullptr;
  std::wstring key;
  if (AsciiKeyOf(sectionName, key)) {
    auto found = ascii_.find(key);
    if (found != ascii_.end()) best = &found->second;
  } else {
    for (const auto& [name, entry] : ascii_)
      if ((best == nullptr || entry.order < best->order) && EqualsIgnoringCase(entry.record->sectionName, sectionName))
        best = &entry;
  }
  // A name with other characters may still equal an ASCII one without regard to case.
  for (const Entry& entry : others_) {
    if (best != nullptr && entry.order > best->order) break;
    if (EqualsIgnoringCase(entry.record->sectionName, sectionName)) {
      best = &entry;
      break;
    }
  }
  return best != nullptr ? best->record : nullptr;
}

void RecordNameIndex::Clear() {
  ascii_.clear();
  others_.clear();
  added_ = 0;
}

UpdateRecord& UpdateCatalogue::Append(std::unique_ptr<UpdateRecord> record) {
  records_.push_back(std::move(record));
  return *records_.back();
}

void UpdateCatalogue::Clear() {
  records_.clear();
  unicodeSource = false;
  message = PublisherMessage{};
}

}  // namespace updater
