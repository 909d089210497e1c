// The settings-file reader of the product, kept in its own translation unit so that the parser links
// without the INI reader (its tests pass a reader of their own).
#include "base/ini_file.h"
#include "config/command_line.h"

namespace updater {

std::wstring ReadSettingFromIni(const std::wstring& path, const std::wstring& section, const std::wstring& key) {
  return IniFile(path).GetString(section, key);
}

}  // namespace updater
