// Writing the chosen updates back in the format of the updates configuration file: the saved
// selection that one instance of the updater hands to another, and the just-check's dump file.
#include "catalogue/update_catalogue.h"

#include <windows.h>

#include <cwchar>

#include "base/text_util.h"
#include "base/win_handles.h"

namespace updater {
namespace {

std::wstring Format(const wchar_t* format, unsigned value) {
  wchar_t text[32];
  swprintf(text, 32, format, value);
  return text;
}

std::wstring FormatSigned(int value) {
  wchar_t text[32];
  swprintf(text, 32, L"%d", value);
  return text;
}

Result WriteSection(const IniFile& file, const UpdateRecord& record) {
  const std::wstring& section = record.sectionName;
  Result result = kOk;
  auto put = [&](const wchar_t* key, const std::wstring& value) {
    if (result == kOk) result = file.PutString(section, key, value);
  };
  auto putIfAny = [&](const wchar_t* key, const std::wstring& value) {
    if (!value.empty()) put(key, value);
  };
  auto putList = [&](const wchar_t* key, const std::vector<std::wstring>& items) {
    if (result == kOk) result = file.PutNumberedList(section, key, items);
  };

  put(L"Name", record.Name);
  put(L"ServerFileName", record.ServerFileName);
  put(L"State", FormatSigned(static_cast<int>(record.status)));
  if (result == kOk && !record.UpdatedApplicationVersions.empty()) {
    result = file.PutDelimitedList(section, L"UpdatedApplicationVersions", record.UpdatedApplicationVersions);
  }
  if (result == kOk && !record.UpdatedApplications.empty()) {
    result = file.PutDelimitedList(section, L"UpdatedApplications", record.UpdatedApplications);
  }
  putList(L"DescriptionHtml", record.Description);
  for (const DescriptionGroup& group : record.descriptionGroups) putList(group.htmlKey, group.items);
  std::vector<std::wstring> autoClose;
  for (const AutoCloseEntry& entry : record.AutoCloseApplication) autoClose.push_back(FormatAutoCloseEntry(entry));
  putList(L"AutoCloseApplication", autoClose);
  // Unsigned, so that installers of 2 GB and more read back with their size.
  put(L"Size", Format(L"%u", record.Size));
  putIfAny(L"CommandLine", record.CommandLine);
  put(L"NoGUICommandLineSwitch", record.NoGUICommandLineSwitch);
  if (result == kOk) result = file.PutFlags(section, L"Flags", record.Flags);
  putIfAny(L"SHA256", record.SHA256);
  putIfAny(L"MD5", record.MD5);
  putList(L"URL", record.URL);
  putIfAny(L"Category", record.Category);
  wchar_t date[40];
  swprintf(date, 40, L"%.2u/%.2u/%.4u", static_cast<unsigned>(record.ReleaseDate.day),
           static_cast<unsigned>(record.ReleaseDate.month), static_cast<unsigned>(record.ReleaseDate.year));
  put(L"ReleaseDate", date);
  if (!record.TargetOsMinVersion.IsZero()) put(L"TargetOsMinVersion", FormatVersion(record.TargetOsMinVersion));
  if (!record.TargetOsMaxVersion.IsZero()) put(L"TargetOsMaxVersion", FormatVersion(record.TargetOsMaxVersion));

  switch (record.detectionKind) {
    case DetectionKind::RegistryKey:
      putIfAny(L"RegistryKey", record.detectionTarget);
      break;
    case DetectionKind::FilePath:
      putIfAny(L"FilePath", record.detectionTarget);
      break;
    case DetectionKind::CustomDetection:
      putIfAny(L"CustomDetection", record.detectionTarget);
      putIfAny(L"CustomDetectionParams", record.CustomDetectionParams);
      break;
    case DetectionKind::AppId:
      putIfAny(L"AppIdName", record.AppIdName);
      putIfAny(L"AppIdArch", record.AppIdArch);
      putIfAny(L"AppIdResourceId", record.AppIdResourceId);
      putIfAny(L"AppIdPublisherId", record.AppIdPublisherId);
      break;
    case DetectionKind::None:
      break;
  }
  // Both criteria are kept: detection after installation uses the version and the size.
  if ((record.criteria & kCriterionVersion) != 0) {
    put(L"Version", std::wstring(record.versionOperator == kVersionEqual ? L"=" : L">=") + L" " +
                        FormatVersion(record.Version));
  }
  if ((record.criteria & kCriterionFileSize) != 0) put(L"FileSize", FormatSigned(record.FileSize));

  if (record.dependsOn != nullptr) put(L"Depends", record.dependsOn->sectionName);
  std::vector<std::wstring> replaces;
  if (record.replacesAll) replaces.push_back(kReplaceAll);
  for (const UpdateRecord* replaced : record.replaces) replaces.push_back(replaced->sectionName);
  if (result == kOk && !replaces.empty()) result = file.PutDelimitedList(section, L"Replaces", replaces);
  if (record.nextDeprecated != nullptr) put(L"NextDeprecated", record.nextDeprecated->sectionName);
  return result;
}

}  // namespace

std::wstring FormatAutoCloseEntry(const AutoCloseEntry& entry) {
  // Positions are kept even when an earlier item is empty, so that flags never read back as a title.
  std::vector<std::wstring> items = {entry.restartArguments, entry.windowTitle,
                                     entry.restartFlags.Value() != 0 ? entry.restartFlags.Format() : std::wstring()};
  while (!items.empty() && items.back().empty()) items.pop_back();
  if (items.empty()) return entry.path;
  return entry.path + L'|' + JoinDelimitedList(items);
}

Result WriteSelection(const UpdateCatalogue& catalogue, const std::wstring& path, bool criticalOnly) {
  // A file left from an earlier hand-over is replaced, never merged into.
  if (catalogue.unicodeSource) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) return ::GetLastError();
    static const BYTE kByteOrderMark[2] = {0xFF, 0xFE};
    DWORD written = 0;
    if (!::WriteFile(file.Get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr) ||
        written != sizeof(kByteOrderMark)) {
      return ::GetLastError();
    }
  } else if (!::DeleteFileW(path.c_str())) {
    DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return error;
  }

  IniFile file(path);
  file.SetUnicode(catalogue.unicodeSource);
  for (size_t index = 0; index < catalogue.Count(); ++index) {
    const UpdateRecord& record = catalogue.At(index);
    if (!record.selected) continue;
    if (criticalOnly && !record.HasFlag(kUpdateCritical)) continue;
    Result result = WriteSection(file, record);
    if (result != kOk) return result;
  }
  return catalogue.message.WriteMessage(file);
}

}  // namespace updater
