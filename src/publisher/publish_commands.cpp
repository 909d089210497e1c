#include "publisher/publish_commands.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <map>
#include <optional>

#include "base/file_bytes.h"
#include "base/ini_file.h"
#include "base/string_table.h"
#include "base/text_util.h"
#include "base/win_handles.h"
#include "catalogue/update_catalogue.h"
#include "catalogue/updates_file_freshness.h"
#include "config/app_settings.h"
#include "config/settings_store.h"
#include "publisher/ini_document.h"
#include "publisher/lint.h"
#include "transfer/download_rules.h"
#include "transfer/file_hash.h"
#include "transfer/updates_file_trust.h"

namespace updater {
namespace {

constexpr wchar_t kTool[] = L"kestrune-publish";
constexpr wchar_t kGeneral[] = L"General";
constexpr FileTime64 kUnixEpochFileTime = 116444736000000000ull;
constexpr FileTime64 kFileTimeTicksPerSecond = 10000000ull;
constexpr int kMaxValidDays = 3650;

constexpr wchar_t kUsage[] =
    L"usage: kestrune-publish hash <installer>... [--md5]\n"
    L"       kestrune-publish add <updates.ini> <section> <installer> [--url <url>]\n"
    L"       kestrune-publish stamp <updates.ini> --valid-days <n>\n"
    L"       kestrune-publish lint <updates.ini> [--installers <folder>] [--client <updater.ini>]\n"
    L"       kestrune-publish verify <updates.ini> [--signature <file.p7s>] --updater <updater.exe>\n";

using MsiHandle = UniqueResource<HandleTraits<MSIHANDLE, &::MsiCloseHandle>>;

CommandOutput Failure(const std::wstring& message) { return CommandOutput{kExitErrors, L"", std::wstring(kTool) + L": " + message + L"\n"}; }

// The arguments of one command: the words in order, and the options with their values.
struct Arguments {
  std::vector<std::wstring> words;
  std::map<std::wstring, std::wstring> options;
  bool Has(const std::wstring& name) const { return options.count(name) != 0; }
  std::wstring Option(const std::wstring& name) const {
    auto found = options.find(name);
    return found == options.end() ? std::wstring() : found->second;
  }
};

// Splits the arguments; an option that is not one of the command's gives the error text.
std::optional<std::wstring> SplitArguments(const std::vector<std::wstring>& arguments, std::size_t from,
                                           const std::vector<std::wstring>& valued, const std::vector<std::wstring>& flags,
                                           Arguments& split) {
  for (std::size_t i = from; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    if (argument.size() < 2 || argument.compare(0, 2, L"--") != 0) {
      split.words.push_back(argument);
      continue;
    }
    bool takesValue = std::find(valued.begin(), valued.end(), argument) != valued.end();
    bool isFlag = std::find(flags.begin(), flags.end(), argument) != flags.end();
    if (!takesValue && !isFlag) return L"unknown option " + argument;
    if (takesValue) {
      if (i + 1 >= arguments.size()) return argument + L" needs a value";
      split.options[argument] = arguments[++i];
    } else {
      split.options[argument] = L"";
    }
  }
  return std::nullopt;
}

std::wstring SystemText(Result code) { return MessageText(code) + L" (" + FormatResultForLog(code) + L")"; }

// The profile functions the updater's reader uses take a name without a folder from the Windows
// folder: a path given relative to the current folder is made whole first.
std::wstring FullPath(const std::wstring& path) {
  DWORD length = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return path;
  std::wstring full(length, L'\0');
  length = ::GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  return full;
}

bool IsFolder(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// An updates configuration file as text lines; the error line for a file that is none.
std::optional<std::wstring> ReadDocument(const std::wstring& path, IniDocument& document) {
  if (IsFolder(path)) return path + L" is a folder";
  std::string bytes;
  Result read = ReadFileBytes(path, kMaxUpdatesFileBytes, E_UPD_BAD_UPDATES_FILE, bytes);
  if (read == E_UPD_BAD_UPDATES_FILE)
    return path + L" is larger than the " + std::to_wstring(kMaxUpdatesFileBytes >> 20) + L" MiB the updater reads";
  if (read != kOk) return L"cannot read " + path + L": " + SystemText(read);
  if (document.Parse(std::move(bytes)) != kOk) return path + L" is not a text file (UTF-16 with its byte-order mark, or ANSI)";
  return std::nullopt;
}

// Replaces the file with the document's bytes through a file beside it, so that a failure leaves the
// old file whole.
std::optional<std::wstring> WriteDocument(const std::wstring& path, const IniDocument& document) {
  const std::wstring staged = path + L".kestrune-new";
  std::string bytes = document.Bytes();
  UniqueFile file(::CreateFileW(staged.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  bool ok = file && (bytes.empty() || (::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                                   nullptr) && written == bytes.size()));
  Result error = ok ? kOk : static_cast<Result>(::GetLastError());
  file.Reset();
  if (ok && ::MoveFileExW(staged.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return std::nullopt;
  if (ok) error = ::GetLastError();
  ::DeleteFileW(staged.c_str());
  return L"cannot write " + path + L": " + SystemText(error);
}

struct InstallerHashes {
  std::uint64_t size = 0;
  std::wstring sha256;
  std::wstring md5;
};

// Size and hashes of an installer, or the error line.
std::optional<std::wstring> HashInstaller(const std::wstring& path, bool md5, InstallerHashes& hashes) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    return L"cannot read " + path + L": " + SystemText(::GetLastError());
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return path + L" is a folder";
  hashes.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  if (hashes.size == 0) return path + L" is empty";
  if (hashes.size > 0xFFFFFFFFull) return path + L" is larger than the 4 GiB an update's Size can give";
  Result hashed = ComputeFileSha256(path, hashes.sha256);
  if (hashed == kOk && md5) hashed = ComputeFileMd5(path, hashes.md5);
  if (hashed != kOk) return L"cannot hash " + path + L": " + SystemText(hashed);
  return std::nullopt;
}

std::wstring FileNameOf(const std::wstring& path) {
  std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Whether a Windows Installer package declares a 64-bit platform in its summary ("x64;1033").
bool IsPackage64(const std::wstring& path) {
  std::wstring lower = LowerAscii(path);
  if (lower.size() < 4 || (lower.compare(lower.size() - 4, 4, L".msi") != 0 && lower.compare(lower.size() - 4, 4, L".msp") != 0))
    return false;
  MsiHandle summary;
  if (::MsiGetSummaryInformationW(0, path.c_str(), 0, summary.Put()) != ERROR_SUCCESS) return false;
  wchar_t text[256] = {};
  DWORD length = 256;
  UINT type = 0;
  if (::MsiSummaryInfoGetPropertyW(summary.Get(), 7 /* PID_TEMPLATE */, &type, nullptr, nullptr, text, &length) !=
      ERROR_SUCCESS)
    return false;
  std::wstring platform = LowerAscii(std::wstring(text).substr(0, std::wstring(text).find(L';')));
  return platform == L"x64" || platform == L"intel64" || platform == L"arm64";
}

// ---- hash ----

CommandOutput Hash(const Arguments& arguments) {
  if (arguments.words.empty()) return Failure(L"hash needs at least one installer");
  CommandOutput output;
  for (const std::wstring& path : arguments.words) {
    InstallerHashes hashes;
    if (auto error = HashInstaller(path, arguments.Has(L"--md5"), hashes)) return Failure(*error);
    if (!output.out.empty()) output.out += L"\n";
    output.out += L"; " + FileNameOf(path) + L"\nSize=" + std::to_wstring(hashes.size) + L"\nSHA256=" + hashes.sha256 + L"\n";
    if (arguments.Has(L"--md5")) output.out += L"MD5=" + hashes.md5 + L"\n";
  }
  return output;
}

// ---- add ----

CommandOutput Add(const Arguments& arguments) {
  if (arguments.words.size() != 3) return Failure(L"add needs <updates.ini> <section> <installer>");
  const std::wstring& path = arguments.words[0];
  const std::wstring section = TrimBlanks(arguments.words[1]);
  const std::wstring& installer = arguments.words[2];
  if (!IsPlainFileName(section) || section.find_first_of(L"[]") != std::wstring::npos || EqualsIgnoringCase(section, kGeneral))
    return Failure(L"\"" + section + L"\" cannot name an update section (it becomes a folder name on the users' machines)");
  IniDocument document;
  const bool exists = ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (exists) {
    if (auto error = ReadDocument(path, document)) return Failure(*error);
    if (document.Lines().empty() || document.Lines().front().text.compare(0, 5, kUpdatesFileMarker) != 0)
      return Failure(path + L" does not start with " + kUpdatesFileMarker + L": it is no updates configuration file");
  } else {
    document.Parse(ToAnsi(std::wstring(kUpdatesFileMarker) + L"\r\n"));
  }
  const IniSection* existing = document.FindSection(section);
  InstallerHashes hashes;
  if (auto error = HashInstaller(installer, existing && IniDocument::FindKey(*existing, L"MD5"), hashes))
    return Failure(*error);
  const std::wstring size = std::to_wstring(hashes.size);
  CommandOutput output;
  if (existing) {
    document.SetValue(section, L"Size", size);
    document.SetValue(section, L"SHA256", hashes.sha256);
    // An MD5 left from an older installer would fail the day the SHA256 is taken out.
    if (!hashes.md5.empty()) document.SetValue(section, L"MD5", hashes.md5);
    if (arguments.Has(L"--url")) document.SetValue(section, L"URL", arguments.Option(L"--url"));
    output.out = path + L": [" + section + L"] Size=" + size + L", SHA256=" + hashes.sha256 +
                 (hashes.md5.empty() ? L"" : L", MD5=" + hashes.md5) +
                 (arguments.Has(L"--url") ? L", URL=" + arguments.Option(L"--url") : L"") + L"\n";
  } else {
    std::vector<std::pair<std::wstring, std::wstring>> keys{{L"Name", section}, {L"Size", size}, {L"SHA256", hashes.sha256}};
    if (arguments.Has(L"--url")) keys.emplace_back(L"URL", arguments.Option(L"--url"));
    document.AppendSection(section, keys);
    output.out = path + L": new section [" + section + L"] with Size=" + size + L", SHA256=" + hashes.sha256 + L"\n" +
                 L"Give it " + (arguments.Has(L"--url") ? L"" : L"a URL, ") +
                 L"a detection key (RegistryKey= or FilePath=) and Version before you publish; lint checks it.\n";
  }
  if (auto error = WriteDocument(path, document)) return Failure(*error);
  return output;
}

// ---- stamp ----

CommandOutput Stamp(const Arguments& arguments, FileTime64 now) {
  if (arguments.words.size() != 1 || !arguments.Has(L"--valid-days"))
    return Failure(L"stamp needs <updates.ini> --valid-days <n>");
  const std::wstring daysText = arguments.Option(L"--valid-days");
  int days = 0;
  bool digits = !daysText.empty() && daysText.size() <= 4 && daysText.find_first_not_of(L"0123456789") == std::wstring::npos;
  if (digits) days = std::stoi(daysText);
  if (!digits || days < 1 || days > kMaxValidDays)
    return Failure(L"--valid-days takes a number of days from 1 to " + std::to_wstring(kMaxValidDays));
  const std::wstring& path = arguments.words[0];
  IniDocument document;
  if (auto error = ReadDocument(path, document)) return Failure(*error);
  if (document.Lines().empty() || document.Lines().front().text.compare(0, 5, kUpdatesFileMarker) != 0)
    return Failure(path + L" does not start with " + kUpdatesFileMarker + L": it is no updates configuration file");
  std::uint64_t oldSerial = 0;
  if (const IniSection* general = document.FindSection(kGeneral))
    if (const IniKey* serial = IniDocument::FindKey(*general, L"Serial")) ParseUpdatesFileSerial(serial->value, oldSerial);
  const std::wstring serial = std::to_wstring(NextSerial(oldSerial, now));
  const std::wstring validUntil = ValidUntilAfter(now, days);
  if (document.FindSection(kGeneral)) {
    document.SetValue(kGeneral, L"Serial", serial);
    document.SetValue(kGeneral, L"ValidUntil", validUntil);
  } else {
    document.InsertSection(1, kGeneral, {{L"Serial", serial}, {L"ValidUntil", validUntil}});
  }
  if (auto error = WriteDocument(path, document)) return Failure(*error);
  const std::wstring file = FileNameOf(path);
  CommandOutput output;
  output.out = path + L": Serial=" + serial + L", ValidUntil=" + validUntil +
               L"\nSign it next, with the certificate that signs updater.exe, and upload " + file + L".p7s beside it:\n"
               L"  openssl cms -sign -binary -outform DER -md sha256 -in " + file + L" -out " + file +
               L".p7s -signer publisher.pem -inkey publisher.key -certfile chain.pem\n"
               L"  signtool sign /fd sha256 /f publisher.pfx /p7 . /p7co 1.2.840.113549.1.7.1 /p7ce DetachedSignedData " +
               file + L"  (then rename " + file + L".p7 to " + file + L".p7s)\n";
  return output;
}

// ---- lint ----

// The catalogue settings the updater would read the file with: the client configuration's folders
// and addresses when one is given. Custom detection programs are checked on the users' machines.
CatalogueSettings LintCatalogueSettings(const AppSettings* client) {
  CatalogueSettings settings;
  settings.appDir = client ? client->appDir : L"C:\\Program Files\\Application";
  settings.downloadsFolder = client ? client->downloadsFolder : L"C:\\Updates";
  settings.updatesUrls = client ? client->urls : std::vector<std::wstring>{L"https://downloads.example.com/updates.ini"};
  settings.verifySignatureTrust = [](const std::wstring&) { return kOk; };
  return settings;
}

CommandOutput Lint(const Arguments& arguments, FileTime64 now) {
  if (arguments.words.size() != 1) return Failure(L"lint needs one <updates.ini>");
  const std::wstring& path = arguments.words[0];
  IniDocument document;
  if (auto error = ReadDocument(path, document)) return Failure(*error);

  LintOptions options;
  options.now = now;
  std::optional<AppSettings> client;
  if (arguments.Has(L"--client")) {
    const std::wstring clientPath = arguments.Option(L"--client");
    if (::GetFileAttributesW(clientPath.c_str()) == INVALID_FILE_ATTRIBUTES || IsFolder(clientPath))
      return Failure(L"cannot read the client configuration " + clientPath);
    client.emplace(FullPath(clientPath));
    Result loaded = client->Load();
    if (loaded == kOk) loaded = client->Validate();
    if (loaded != kOk) return Failure(clientPath + L": " + SystemText(loaded));
    options.signatureRequired = client->RequiresSignedUpdatesFile();
  }
  std::map<std::wstring, std::optional<InstallerFacts>> installers;
  if (arguments.Has(L"--installers")) {
    options.installersFolder = arguments.Option(L"--installers");
    if (!IsFolder(options.installersFolder)) return Failure(L"no folder " + options.installersFolder);
    options.installer = [&installers, &options](const std::wstring& name) -> std::optional<InstallerFacts> {
      auto cached = installers.find(LowerAscii(name));
      if (cached != installers.end()) return cached->second;
      std::wstring file = options.installersFolder + L"\\" + name;
      InstallerHashes hashes;
      std::optional<InstallerFacts> facts;
      if (IsPlainFileName(name) && !HashInstaller(file, true, hashes))
        facts = InstallerFacts{hashes.size, hashes.sha256, hashes.md5, IsPackage64(file)};
      installers[LowerAscii(name)] = facts;
      return facts;
    };
  }

  // The updater's reader over the whole file, then over each update section on its own.
  CatalogueSettings settings = LintCatalogueSettings(client ? &*client : nullptr);
  UpdateCatalogue catalogue(settings);
  UpdatesFileReader reader(catalogue, FullPath(path));
  options.readResult = reader.Load(true, false);
  IniReadSnapshot snapshot(FullPath(path));
  IniFile file(snapshot.Path());
  if (file.ReadBom() == kOk) {
    for (const IniSection& section : document.Sections()) {
      if (EqualsIgnoringCase(section.name, kGeneral) || document.FindSection(section.name) != &section) continue;
      UpdateRecord record;
      Result parsed = reader.ParseSection(file, section.name, record);
      if (parsed != kOk) options.refusedSections.emplace_back(section.name, parsed);
    }
  }

  CommandOutput output;
  int errors = 0;
  int warnings = 0;
  for (const LintFinding& finding : LintUpdatesFile(document, options)) {
    const bool error = finding.severity == LintSeverity::kError;
    (error ? errors : warnings)++;
    output.out += path + (finding.line ? L":" + std::to_wstring(finding.line) : std::wstring()) +
                  (error ? L": error: " : L": warning: ") + finding.message + L"\n";
  }
  output.out += path + L": " + std::to_wstring(errors) + L" error(s), " + std::to_wstring(warnings) + L" warning(s)\n";
  output.exitCode = errors ? kExitErrors : warnings ? kExitWarnings : kExitClean;
  return output;
}

// ---- verify ----

CommandOutput Verify(const Arguments& arguments, FileTime64 now) {
  if (arguments.words.size() != 1 || !arguments.Has(L"--updater"))
    return Failure(L"verify needs <updates.ini> --updater <updater.exe>");
  const std::wstring& path = arguments.words[0];
  const std::wstring signature = arguments.Has(L"--signature") ? arguments.Option(L"--signature") : path + kSignatureSuffix;
  const std::wstring updater = arguments.Option(L"--updater");
  for (const std::wstring& needed : {path, updater}) {
    if (::GetFileAttributesW(needed.c_str()) == INVALID_FILE_ATTRIBUTES || IsFolder(needed))
      return Failure(L"cannot read " + needed + L": " + SystemText(ERROR_FILE_NOT_FOUND));
  }
  // No machine's state: the serial is checked for its form, not against one received before.
  SettingsStore noMachine(HKEY_CURRENT_USER, L"");
  VerifiedUpdatesFile verified;
  Result result = verified.Verify(path, signature, updater, noMachine, now);
  CommandOutput output;
  if (result != kOk) {
    output.exitCode = kExitErrors;
    std::wstring reason = verified.RefusalReason().empty() ? SystemText(result) : verified.RefusalReason();
    output.out = path + L": refused: " + reason + L" (" + FormatResultForLog(result) + L" " + MessageText(result) + L")\n";
    return output;
  }
  IniFile file(verified.Path());
  file.ReadBom();
  output.out = path + L": signed by the publisher of " + FileNameOf(updater) + L", Serial " +
               file.GetString(kGeneral, L"Serial") + L", valid until " + file.GetString(kGeneral, L"ValidUntil") +
               L" (UTC): the updater accepts it\n";
  return output;
}

}  // namespace

std::uint64_t NextSerial(std::uint64_t oldSerial, FileTime64 now) {
  std::uint64_t seconds = now > kUnixEpochFileTime ? (now - kUnixEpochFileTime) / kFileTimeTicksPerSecond : 0;
  if (oldSerial >= kMaxUpdatesFileSerial) return kMaxUpdatesFileSerial;
  return seconds > oldSerial ? seconds : oldSerial + 1;
}

std::wstring ValidUntilAfter(FileTime64 now, int days) {
  SYSTEMTIME day = FileTimeToSystem(now + static_cast<FileTime64>(days) * 86400ull * kFileTimeTicksPerSecond);
  wchar_t text[16];
  std::swprintf(text, 16, L"%02u/%02u/%04u", day.wDay, day.wMonth, day.wYear);
  return text;
}

CommandOutput RunPublishCommand(const std::vector<std::wstring>& arguments, FileTime64 now) {
  if (arguments.empty()) return CommandOutput{kExitErrors, L"", kUsage};
  const std::wstring& command = arguments[0];
  if (command == L"--help" || command == L"-h" || command == L"help") return CommandOutput{kExitClean, kUsage, L""};
  struct Shape {
    const wchar_t* name;
    std::vector<std::wstring> valued;
    std::vector<std::wstring> flags;
  };
  static const Shape kShapes[] = {{L"hash", {}, {L"--md5"}},
                                  {L"add", {L"--url"}, {}},
                                  {L"stamp", {L"--valid-days"}, {}},
                                  {L"lint", {L"--installers", L"--client"}, {}},
                                  {L"verify", {L"--signature", L"--updater"}, {}}};
  for (const Shape& shape : kShapes) {
    if (command != shape.name) continue;
    Arguments split;
    if (auto error = SplitArguments(arguments, 1, shape.valued, shape.flags, split))
      return Failure(*error + L" (kestrune-publish --help lists the commands)");
    if (command == L"hash") return Hash(split);
    if (command == L"add") return Add(split);
    if (command == L"stamp") return Stamp(split, now);
    if (command == L"lint") return Lint(split, now);
    return Verify(split, now);
  }
  return Failure(L"unknown command " + command + L" (kestrune-publish --help lists the commands)");
}

}  // namespace updater
