#include "publisher/lint.h"

#include <algorithm>
#include <map>
#include <set>

#include "base/ini_file.h"
#include "base/string_table.h"
#include "base/text_util.h"
#include "catalogue/update_catalogue.h"
#include "catalogue/update_record.h"
#include "catalogue/updates_file_freshness.h"

namespace updater {
namespace {

constexpr wchar_t kGeneral[] = L"General";
// Keys read as a list: the key itself, then the key with 1, 2, ... appended.
const std::set<std::wstring> kNumberedKeys = {L"URL",         L"Description",     L"DescriptionHtml", L"Feature",
                                              L"FeatureHtml", L"Enhancement",     L"EnhancementHtml", L"BugFix",
                                              L"BugFixHtml",  L"AutoCloseApplication"};
constexpr std::uint32_t kRolloutDaysLimit = 365;
// A ValidUntil closer than this is worth a warning: the file stops working soon.
constexpr int kValidUntilWarningDays = 3;

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring CodeText(Result code) { return FormatResultForLog(code) + L" " + MessageText(code); }

// The key as the updater names it when the written one differs only in case or by one letter.
struct KeyAdvice {
  std::wstring known;
  bool caseOnly = false;
};

std::wstring WithoutNumber(const std::wstring& key) {
  std::size_t end = key.size();
  while (end > 0 && key[end - 1] >= L'0' && key[end - 1] <= L'9') --end;
  return key.substr(0, end);
}

std::optional<KeyAdvice> AdviseKey(const std::wstring& written, const std::vector<std::wstring>& known) {
  std::wstring base = WithoutNumber(written);
  for (const std::wstring& name : known) {
    if (written == name || (base != written && base == name && kNumberedKeys.count(name))) return std::nullopt;
  }
  for (const std::wstring& name : known) {
    if (EqualsIgnoringCase(written, name) ||
        (base != written && kNumberedKeys.count(name) && EqualsIgnoringCase(base, name)))
      return KeyAdvice{name, true};
  }
  if (written.size() < 3) return std::nullopt;
  for (const std::wstring& name : known) {
    if (KeyDistance(LowerAscii(written), LowerAscii(name)) == 1) return KeyAdvice{name, false};
    if (base != written && kNumberedKeys.count(name) && KeyDistance(LowerAscii(base), LowerAscii(name)) == 1)
      return KeyAdvice{name, false};
  }
  return std::nullopt;
}

bool StartsWithIgnoringCase(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool ContainsIgnoringCase(const std::wstring& text, const std::wstring& part) {
  return LowerAscii(text).find(LowerAscii(part)) != std::wstring::npos;
}

// A path the updater can detect by: a drive, a share, or a token that expands to one.
bool IsDetectablePath(const std::wstring& text) {
  std::wstring path = TrimBlanks(text);
  if (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) return true;
  if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') return true;
  return !path.empty() && (path[0] == L'[' || path[0] == L'%');
}

// The installer's file name as the updater names the download.
std::wstring InstallerFileName(const IniSection& section) {
  if (const IniKey* name = IniDocument::FindKey(section, L"ServerFileName"); name && !name->value.empty())
    return name->value;
  const IniKey* url = IniDocument::FindKey(section, L"URL");
  if (!url) return L"";
  std::wstring path = url->value.substr(0, url->value.find_first_of(L"?#"));
  std::size_t slash = path.find_last_of(L"/\\");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  return IsPlainFileName(name) ? TrimBlanks(name) : section.name;
}

class Linter {
 public:
  Linter(const IniDocument& document, const LintOptions& options) : document_(document), options_(options) {}

  std::vector<LintFinding> Run() {
    CheckHeader();
    std::set<std::wstring> seen;
    for (const IniSection& section : document_.Sections()) {
      std::wstring key = LowerAscii(section.name);
      if (!seen.insert(key).second) {
        Warn(section.headerLine, L"section [" + section.name + L"] repeats line " +
                                     std::to_wstring(document_.FindSection(section.name)->headerLine + 1) +
                                     L": the updater reads only the first");
        continue;
      }
      CheckKeys(section);
      if (EqualsIgnoringCase(section.name, kGeneral)) {
        CheckGeneral(section);
      } else {
        CheckUpdate(section);
      }
    }
    CheckDependencyLoops();
    CheckNames();
    std::stable_sort(findings_.begin(), findings_.end(),
                     [](const LintFinding& a, const LintFinding& b) { return a.line < b.line; });
    return findings_;
  }

 private:
  void Add(std::size_t line, LintSeverity severity, const std::wstring& message) {
    findings_.push_back(LintFinding{line + 1, severity, message});
  }
  void Warn(std::size_t line, const std::wstring& message) { Add(line, LintSeverity::kWarning, message); }
  void Fail(std::size_t line, const std::wstring& message) { Add(line, LintSeverity::kError, message); }

  void CheckHeader() {
    const auto& lines = document_.Lines();
    if (lines.empty() || lines.front().text.compare(0, 5, kUpdatesFileMarker) != 0) {
      Fail(0, L"the file does not start with " + std::wstring(kUpdatesFileMarker) + L": the updater refuses it (" +
                  CodeText(E_UPD_BAD_UPDATES_FILE) + L")");
      return;
    }
    Result read = options_.readResult;
    bool explained = read == kOk || !options_.refusedSections.empty();
    if (!explained) Fail(0, L"the updater cannot read the file: " + CodeText(read));
  }

  void CheckKeys(const IniSection& section) {
    const bool general = EqualsIgnoringCase(section.name, kGeneral);
    const std::vector<std::wstring>& known = general ? GeneralSectionKeys() : UpdateSectionKeys();
    std::map<std::wstring, std::size_t> first;
    for (const IniKey& key : section.keys) {
      auto [at, inserted] = first.emplace(LowerAscii(key.name), key.line);
      if (!inserted) {
        Warn(key.line, key.name + L" repeats line " + std::to_wstring(at->second + 1) +
                           L": the updater reads only the first");
        continue;
      }
      std::optional<KeyAdvice> advice = AdviseKey(key.name, known);
      if (!advice) continue;
      if (advice->caseOnly)
        Warn(key.line, L"key " + Quoted(key.name) + L" is read as " + Quoted(advice->known) + L"; write it so");
      else
        Warn(key.line, L"unknown key " + Quoted(key.name) + L" is ignored; did you mean " + Quoted(advice->known) + L"?");
    }
  }

  void CheckGeneral(const IniSection& section) {
    if (!options_.signatureRequired) return;
    const IniKey* serial = IniDocument::FindKey(section, L"Serial");
    const IniKey* validUntil = IniDocument::FindKey(section, L"ValidUntil");
    std::uint64_t number = 0;
    if (!serial)
      Fail(section.headerLine, L"no Serial: a client that requires a signed file refuses it (" +
                                   CodeText(E_UPD_UPDATES_FILE_EXPIRED) + L"); run kestrune-publish stamp");
    else if (!ParseUpdatesFileSerial(serial->value, number))
      Fail(serial->line, L"Serial " + Quoted(serial->value) + L" is not a number from 1 to 9223372036854775807");
    FileTime64 end = 0;
    if (!validUntil) {
      Fail(section.headerLine, L"no ValidUntil: a client that requires a signed file refuses it (" +
                                   CodeText(E_UPD_UPDATES_FILE_EXPIRED) + L"); run kestrune-publish stamp");
    } else if (!ParseValidUntilEnd(validUntil->value, end)) {
      Fail(validUntil->line, L"ValidUntil " + Quoted(validUntil->value) + L" is not a day/month/year date");
    } else if (options_.now >= end) {
      Fail(validUntil->line, L"ValidUntil " + validUntil->value + L" has passed: every check refuses the file (" +
                                 CodeText(E_UPD_UPDATES_FILE_EXPIRED) + L"); run kestrune-publish stamp and sign again");
    } else if (end - options_.now < static_cast<FileTime64>(kValidUntilWarningDays) * 864000000000ull) {
      Warn(validUntil->line, L"ValidUntil " + validUntil->value + L" is less than " +
                                 std::to_wstring(kValidUntilWarningDays) + L" days away: stamp and sign a fresh file soon");
    }
  }

  // Why the updater's reader refuses a section, at the key that causes it where one does.
  void ExplainRefusal(const IniSection& section, Result code) {
    const std::wstring refused = L" (the updater refuses the whole file: " + CodeText(code) + L")";
    auto value = [&](const wchar_t* name) {
      const IniKey* key = IniDocument::FindKey(section, name);
      return key ? key->value : std::wstring();
    };
    auto lineOf = [&](const wchar_t* name) {
      const IniKey* key = IniDocument::FindKey(section, name);
      return key ? key->line : section.headerLine;
    };
    for (const auto& [name, low, high] : {std::tuple{L"RolloutPercent", 0u, 100u},
                                          std::tuple{L"RolloutDays", 1u, kRolloutDaysLimit}}) {
      std::wstring text = TrimBlanks(value(name));
      if (text.empty()) continue;
      bool digits = text.size() <= 9 && std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
      std::uint64_t number = digits ? std::stoull(text) : 0;
      if (!digits || number < low || number > high) {
        Fail(lineOf(name), std::wstring(name) + L"=" + text + L" is out of range " + std::to_wstring(low) + L"-" +
                               std::to_wstring(high) + refused);
        return;
      }
    }
    std::wstring why;
    const wchar_t* at = nullptr;
    std::wstring size = TrimBlanks(value(L"Size"));
    if (value(L"Name").empty()) {
      why = L"it has no Name";
    } else if (size.empty() || size.find_first_not_of(L"0123456789") != std::wstring::npos || size.size() > 10 ||
               std::stoull(size) == 0 || std::stoull(size) > 0xFFFFFFFFull) {
      why = L"Size is missing, 0 or not a number of bytes below 4 GiB";
      at = L"Size";
    } else if (value(L"URL").empty() && value(L"URL1").empty()) {
      why = L"it has no URL";
    } else if (value(L"FilePath").empty() && value(L"RegistryKey").empty() && value(L"CustomDetection").empty() &&
               value(L"AppIdName").empty()) {
      why = L"it has no detection key (FilePath, RegistryKey, CustomDetection or AppIdName)";
    } else if (!IsPlainFileName(section.name)) {
      why = L"its section name cannot be a folder name";
    } else if (!value(L"ServerFileName").empty() && !IsPlainFileName(value(L"ServerFileName"))) {
      why = L"ServerFileName is not a plain file name";
      at = L"ServerFileName";
    } else if (!value(L"ReleaseDate").empty() && value(L"ReleaseDate").find(L'/') == std::wstring::npos) {
      why = L"ReleaseDate is not day/month/year";
      at = L"ReleaseDate";
    } else if (code == E_UPD_UNTRUSTED_PUBLISHER) {
      why = L"its CustomDetection program is not signed like the updater";
      at = L"CustomDetection";
    } else {
      why = L"it cannot be read";
    }
    Fail(at ? lineOf(at) : section.headerLine, L"[" + section.name + L"]: " + why + refused);
  }

  void CheckUpdate(const IniSection& section) {
    for (const auto& [name, code] : options_.refusedSections)
      if (EqualsIgnoringCase(name, section.name)) ExplainRefusal(section, code);
    CheckLinks(section);
    CheckFlags(section);
    CheckDetection(section);
    CheckUrls(section);
    CheckIntegrity(section);
    const IniKey* days = IniDocument::FindKey(section, L"RolloutDays");
    if (days && !days->value.empty() && !IniDocument::FindKey(section, L"ReleaseDate"))
      Warn(days->line, L"RolloutDays is ignored without a ReleaseDate: the update goes to its RolloutPercent at once");
  }

  const IniSection* Target(const std::wstring& name) const { return document_.FindSection(TrimBlanks(name)); }

  void CheckLinks(const IniSection& section) {
    if (const IniKey* depends = IniDocument::FindKey(section, L"Depends"); depends && !depends->value.empty()) {
      const IniSection* target = Target(depends->value);
      if (!target || EqualsIgnoringCase(target->name, kGeneral)) {
        Warn(depends->line, L"Depends names [" + depends->value + L"], which is no update of this file: the updater ignores it");
      } else if (target == &section) {
        Warn(depends->line, L"[" + section.name + L"] depends on itself: the updater ignores it");
      } else {
        dependencies_[&section] = {target, depends->line};
        if (target->headerLine < section.headerLine)
          Fail(depends->line, L"Depends names [" + target->name + L"], which stands above [" + section.name +
                                  L"]: the updater installs from the bottom of the file up, so [" + section.name +
                                  L"] would be installed first and fail (" + CodeText(E_UPD_DEPENDENCY) +
                                  L"); move [" + target->name + L"] below it");
      }
    }
    if (const IniKey* replaces = IniDocument::FindKey(section, L"Replaces"); replaces) {
      std::vector<std::wstring> items = SplitDelimitedList(replaces->value);
      if (!(items.size() == 1 && items.front() == kReplaceAll)) {
        for (const std::wstring& item : items)
          if (!item.empty() && !Target(item))
            Warn(replaces->line, L"Replaces names [" + item + L"], which is no section of this file: the updater ignores it");
      }
    }
    if (const IniKey* next = IniDocument::FindKey(section, L"NextDeprecated"); next && !next->value.empty() && !Target(next->value))
      Warn(next->line, L"NextDeprecated names [" + next->value + L"], which is no section of this file: the updater ignores it");
  }

  void CheckFlags(const IniSection& section) {
    const IniKey* flags = IniDocument::FindKey(section, L"Flags");
    if (!flags) return;
    FlagSet table = MakeUpdateFlags();
    std::size_t start = 0;
    const std::wstring& text = flags->value;
    while (start < text.size()) {
      std::size_t end = text.find(L'|', start);
      if (end == std::wstring::npos) end = text.size();
      std::wstring word = Trim(text.substr(start, end - start), kWhiteSpace);
      bool known = false;
      std::wstring nearest;
      for (const FlagSet::Entry& entry : table.Entries()) {
        known = known || word == entry.name;
        if (nearest.empty() && (EqualsIgnoringCase(word, entry.name) ||
                                KeyDistance(LowerAscii(word), LowerAscii(entry.name)) == 1))
          nearest = entry.name;
      }
      if (!known) {
        Warn(flags->line, L"Flags word " + Quoted(word) + L" is unknown: the updater reads no word from it on" +
                              (nearest.empty() ? std::wstring() : L" (did you mean " + Quoted(nearest) + L"?)"));
        return;
      }
      start = end + 1;
    }
  }

  bool HasFlag(const IniSection& section, const std::wstring& word) const {
    const IniKey* flags = IniDocument::FindKey(section, L"Flags");
    if (!flags) return false;
    for (const std::wstring& item : SplitOn(flags->value, L'|'))
      if (Trim(item, kWhiteSpace) == word) return true;
    return false;
  }

  static std::vector<std::wstring> SplitOn(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> items;
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find(separator, start);
      if (end == std::wstring::npos) end = text.size();
      items.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return items;
  }

  // Why an update looks like a 64-bit one; empty when nothing says so.
  std::wstring SixtyFourBitHint(const IniSection& section) const {
    if (HasFlag(section, L"Os64")) return L"it is marked Os64";
    std::wstring file = InstallerFileName(section);
    for (const wchar_t* mark : {L"x64", L"amd64", L"win64", L"64bit", L"64-bit"})
      if (ContainsIgnoringCase(file, mark)) return L"its installer " + file + L" is named so";
    if (options_.installer) {
      std::optional<InstallerFacts> facts = options_.installer(file);
      if (facts && facts->package64) return L"its installer " + file + L" is a 64-bit package";
    }
    return L"";
  }

  void CheckDetection(const IniSection& section) {
    if (const IniKey* path = IniDocument::FindKey(section, L"FilePath"); path && !path->value.empty()) {
      if (!IsDetectablePath(path->value))
        Fail(path->line, L"FilePath " + Quoted(path->value) + L" is not an absolute path (C:\\..., \\\\server\\..., "
                         L"[APPDIR]... or %VARIABLE%...): the update is never detected and installs on every check");
      return;
    }
    if (const IniKey* key = IniDocument::FindKey(section, L"RegistryKey"); key && !key->value.empty()) {
      std::size_t slash = key->value.find(L'\\');
      std::wstring root = key->value.substr(0, slash);
      std::wstring rest = slash == std::wstring::npos ? L"" : key->value.substr(slash + 1);
      if ((root == L"HKLM" || root == L"HKUD") && StartsWithIgnoringCase(rest, L"Software\\") && !HasFlag(section, L"Sys64")) {
        std::wstring hint = SixtyFourBitHint(section);
        if (!hint.empty())
          Warn(key->line, L"RegistryKey is read in the 32-bit view of HKLM\\Software (no Sys64), but the update looks "
                          L"64-bit (" + hint + L"): a 64-bit installer writes the 64-bit view, so the update would never "
                          L"be detected; add Sys64 to Flags");
      }
      return;
    }
    if (const IniKey* program = IniDocument::FindKey(section, L"CustomDetection"); program && !program->value.empty() &&
                                                                                  !IsDetectablePath(program->value))
      Fail(program->line, L"CustomDetection " + Quoted(program->value) +
                              L" is not an absolute path: the program is never found and the update installs on every check");
  }

  void CheckUrls(const IniSection& section) {
    for (const IniKey& key : section.keys) {
      if (!EqualsIgnoringCase(WithoutNumber(key.name), L"URL")) continue;
      if (StartsWithIgnoringCase(TrimBlanks(key.value), L"http://"))
        Warn(key.line, key.name + L" " + Quoted(key.value) + L" is plain HTTP: prefer HTTPS");
    }
  }

  void CheckIntegrity(const IniSection& section) {
    const IniKey* sha256 = IniDocument::FindKey(section, L"SHA256");
    const IniKey* md5 = IniDocument::FindKey(section, L"MD5");
    const IniKey* size = IniDocument::FindKey(section, L"Size");
    if ((!sha256 || sha256->value.empty()) && (!md5 || md5->value.empty()))
      Warn(section.headerLine, L"[" + section.name + L"] has no SHA256: only its Size protects the installer; "
                               L"run kestrune-publish add");
    if (!options_.installer) return;
    std::wstring file = InstallerFileName(section);
    std::optional<InstallerFacts> facts = options_.installer(file);
    if (!facts) {
      Warn(section.headerLine, L"no installer " + file + L" in " + options_.installersFolder);
      return;
    }
    if (size && TrimBlanks(size->value) != std::to_wstring(facts->size))
      Fail(size->line, L"Size=" + size->value + L", but " + file + L" has " + std::to_wstring(facts->size) +
                           L" bytes: every download fails (" + CodeText(E_UPD_WRONG_SIZE) + L")");
    if (sha256 && !sha256->value.empty() && !EqualsIgnoringCase(sha256->value, facts->sha256))
      Fail(sha256->line, L"SHA256 is not that of " + file + L" (" + facts->sha256 +
                             L"): every download is deleted (" + CodeText(E_UPD_BAD_SHA256) + L")");
    if ((!sha256 || sha256->value.empty()) && md5 && !md5->value.empty() &&
        LowerAscii(md5->value).compare(0, 32, facts->md5) != 0)
      Fail(md5->line, L"MD5 is not that of " + file + L" (" + facts->md5 + L"): every download is deleted (" +
                          CodeText(E_UPD_BAD_MD5) + L")");
  }

  void CheckDependencyLoops() {
    std::set<std::set<const IniSection*>> reported;
    for (const auto& [start, link] : dependencies_) {
      std::vector<const IniSection*> chain{start};
      const IniSection* at = link.first;
      while (at && at != start && chain.size() <= dependencies_.size()) {
        if (std::find(chain.begin(), chain.end(), at) != chain.end()) break;  // a loop further on
        chain.push_back(at);
        auto next = dependencies_.find(at);
        at = next == dependencies_.end() ? nullptr : next->second.first;
      }
      if (at != start) continue;
      std::set<const IniSection*> members(chain.begin(), chain.end());
      if (!reported.insert(members).second) continue;
      std::wstring path;
      for (const IniSection* member : chain) path += L"[" + member->name + L"] -> ";
      Fail(link.second, L"Depends closes a loop " + path + L"[" + start->name +
                            L"]: the updater drops one link of it, and the order is lost");
    }
  }

  void CheckNames() {
    std::map<std::wstring, const IniSection*> names;
    std::set<std::wstring> seen;
    for (const IniSection& section : document_.Sections()) {
      if (EqualsIgnoringCase(section.name, kGeneral) || !seen.insert(LowerAscii(section.name)).second) continue;
      const IniKey* name = IniDocument::FindKey(section, L"Name");
      if (!name || name->value.empty()) continue;
      auto [at, inserted] = names.emplace(name->value, &section);
      if (!inserted)
        Warn(name->line, L"Name " + Quoted(name->value) + L" is also that of [" + at->second->name + L"] (line " +
                             std::to_wstring(at->second->headerLine + 1) + L"): users cannot tell the two apart");
    }
  }

  const IniDocument& document_;
  const LintOptions& options_;
  std::vector<LintFinding> findings_;
  // Each update's dependency and the line of its Depends key.
  std::map<const IniSection*, std::pair<const IniSection*, std::size_t>> dependencies_;
};

}  // namespace

std::size_t KeyDistance(const std::wstring& left, const std::wstring& right) {
  const std::size_t rows = left.size() + 1, columns = right.size() + 1;
  std::vector<std::size_t> distance(rows * columns);
  auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return distance[i * columns + j]; };
  for (std::size_t i = 0; i < rows; ++i) at(i, 0) = i;
  for (std::size_t j = 0; j < columns; ++j) at(0, j) = j;
  for (std::size_t i = 1; i < rows; ++i) {
    for (std::size_t j = 1; j < columns; ++j) {
      std::size_t cost = left[i - 1] == right[j - 1] ? 0 : 1;
      at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + cost});
      if (i > 1 && j > 1 && left[i - 1] == right[j - 2] && left[i - 2] == right[j - 1])
        at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
    }
  }
  return at(rows - 1, columns - 1);
}

const std::vector<std::wstring>& UpdateSectionKeys() {
  static const std::vector<std::wstring> keys = {
      L"Name", L"State", L"UpdatedApplicationVersions", L"UpdatedApplications", L"Description", L"DescriptionHtml",
      L"Feature", L"FeatureHtml", L"Enhancement", L"EnhancementHtml", L"BugFix", L"BugFixHtml", L"Size", L"Flags",
      L"SHA256", L"MD5", L"ServerFileName", L"URL", L"Category", L"ReleaseDate", L"RolloutPercent", L"RolloutDays",
      L"AutoCloseApplication", L"CommandLine", L"NoGUICommandLineSwitch", L"TargetOsMinVersion", L"TargetOsMaxVersion",
      L"FilePath", L"FileSize", L"RegistryKey", L"CustomDetection", L"CustomDetectionParams", L"AppIdName", L"AppIdArch",
      L"AppIdResourceId", L"AppIdPublisherId", L"Version", L"Depends", L"Replaces", L"NextDeprecated"};
  return keys;
}

const std::vector<std::wstring>& GeneralSectionKeys() {
  static const std::vector<std::wstring> keys = {
      L"ConfigFileVersion", L"UpdatesDisabled", L"Serial", L"ValidUntil", L"MessageTitle", L"MessageBody",
      L"MessageExpirationDate", L"MessageImageURL", L"MessageURI", L"MessageButtonText"};
  return keys;
}

std::vector<LintFinding> LintUpdatesFile(const IniDocument& document, const LintOptions& options) {
  return Linter(document, options).Run();
}

}  // namespace updater
