#include "app/run_modes.h"

#include "base/logger.h"
#include "base/paths.h"
#include "base/text_util.h"
#include "base/win_handles.h"
#include "catalogue/github_releases.h"
#include "config/temp_updater_copy.h"
#include "install/channel_objects.h"
#include "install/installer.h"
#include "transfer/async_download.h"
#include "transfer/catalogue_services.h"
#include "transfer/download_phase.h"
#include "transfer/download_rules.h"
#include "transfer/signature.h"
#include "transfer/updates_file_trust.h"

namespace updater {
namespace {

Result Refuse(const std::wstring& why) {
  Log(kLogError, L"The support server refuses the command: " + why);
  return E_UPD_SERVICE_ERROR;
}

// The running updater is signed, and by a publisher the machine trusts.
bool UpdaterCarriesTrustedSignature() {
  std::wstring self = ExecutablePath();
  bool unsignedUpdater = false;
  return VerifySignatureTrust(self, self, &unsignedUpdater) == kOk && !unsignedUpdater;
}

// A download of the updates file (or its signature) as the server makes it: no window, no credentials.
Result DownloadForServer(const AppSettings& settings, const std::wstring& url, const std::wstring& path,
                         std::uint32_t sizeLimit, Result tooLarge) {
  DownloadOptions options = RunDownloadOptions(settings);
  options.sizeLimit = sizeLimit;
  options.sizeLimitCode = tooLarge;
  return AsyncDownloadThread(nullptr, nullptr, options).Download(url, path);
}

// The updates file the service's configuration names, read into `catalogue` from a private copy;
// when the configuration requires it, only after the file passed its signature and freshness.
Result LoadServerCatalogue(const AppSettings& settings, const std::wstring& url, UpdateCatalogue& catalogue) {
  Log(kLogDebug, L"Config file url is " + url);
  const bool signedFile = settings.RequiresSignedUpdatesFile();
  if (signedFile && settings.HasClientFlag(kClientGitHubUpdates)) {
    LogError(L"The updates configuration file is refused: a GitHub release list carries no signature.",
             E_UPD_UPDATES_FILE_UNSIGNED);
    return E_UPD_UPDATES_FILE_UNSIGNED;
  }
  wchar_t path[MAX_PATH];
  std::wstring folder = TemporaryFolder();
  if (!::GetTempFileNameW(folder.c_str(), L"srv", 0, path)) return ::GetLastError();
  const std::wstring signaturePath = std::wstring(path) + kSignatureSuffix;
  VerifiedUpdatesFile verified;
  Result result = DownloadForServer(settings, url, path, kMaxUpdatesFileBytes, E_UPD_BAD_UPDATES_FILE);
  if (result == kOk && signedFile) {
    result = DownloadForServer(settings, url + kSignatureSuffix, signaturePath, kMaxSignatureBytes,
                               E_UPD_UPDATES_FILE_UNSIGNED);
    if (result != kOk) {
      LogError(L"The updates configuration file is refused: its signature could not be downloaded (" +
                   FormatResultForLog(result) + L").",
               E_UPD_UPDATES_FILE_UNSIGNED);
      result = E_UPD_UPDATES_FILE_UNSIGNED;
    }
    if (result == kOk) result = verified.Verify(path, signaturePath, ExecutablePath(), settings.Store());
  }
  if (result == kOk) {
    result = OpenDownloadedCatalogue(catalogue, signedFile ? verified.Path() : std::wstring(path))->Load(true, true);
    if (result == kOk && signedFile) verified.Remember(settings.Store());
  }
  for (const std::wstring& file : {std::wstring(path), signaturePath}) {
    ::DeleteFileW(file.c_str());
    ::DeleteFileW(PartPathOf(file).c_str());
  }
  if (result != kOk) LogError(L"Failed to parse the server config file " + std::wstring(path), result);
  return result;
}

// What the server knows of itself when a command arrives.
struct ServerCommandFacts {
  bool updaterSigned = false;      // the running updater carries a trusted signature
  std::wstring configPath;         // the service's client configuration
  std::vector<std::wstring> urls;  // its updates file URLs
};

Result CheckServerCommand(const ChannelCommand& command, const ServerCommandFacts& facts) {
  const std::wstring& name = command.fields[0];
  if (!IsKnownServerCommand(name)) {
    Log(kLogError, L"Unknown server command " + name);
    return E_UPD_SERVICE_ERROR;
  }
  if (!facts.updaterSigned) return Refuse(L"the updater carries no trusted signature.");
  // The client names what to install, never where the configuration or the catalogue come from:
  // both must be the ones the service was set up with.
  if (facts.configPath.empty() || !EqualsIgnoringCase(command.fields[2], facts.configPath))
    return Refuse(L"the client configuration " + command.fields[2] + L" is not the service's.");
  bool knownUrl = false;
  for (const std::wstring& url : facts.urls) knownUrl = knownUrl || url == command.fields[3];
  if (!knownUrl) return Refuse(L"the updates file " + command.fields[3] + L" is not one the service's configuration names.");
  return kOk;
}

// Installs an update the client named, once the file to run is held and has passed every check.
Result InstallForClient(const AppSettings& settings, UpdateRecord& record, UpdateCatalogue& catalogue) {
  if (!IsPathInsideFolder(record.localPath, settings.downloadsFolder))
    return Refuse(L"the installer " + record.localPath + L" lies outside the downloads folder.");

  // Held without write or delete sharing from the checks to the end of the installation, the file
  // that was verified is the file that runs.
  UniqueFile held(::CreateFileW(record.localPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!held) return Refuse(L"the installer " + record.localPath + L" cannot be held for the installation.");
  if (VerifyDownloadedFile(record) != kOk) return Refuse(L"the installer " + record.localPath + L" fails its check.");
  bool unsignedUpdater = false;
  if (VerifySignatureTrust(ExecutablePath(), record.localPath, &unsignedUpdater) != kOk || unsignedUpdater)
    return Refuse(L"the installer " + record.localPath + L" is not signed by the updater's publisher.");
  return ServerInstallUpdate(record.sectionName, catalogue, settings.Store());
}

Result HandleServerCommand(const AppSettings& settings, const ChannelCommand& command) {
  if (settings.clientConfigPath.empty() || ::GetFileAttributesW(settings.clientConfigPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    Log(kLogError, L"Client config is missing.");
    return E_UPD_SERVICE_ERROR;
  }
  ServerCommandFacts facts{UpdaterCarriesTrustedSignature(), settings.clientConfigPath, settings.urls};
  Result allowed = CheckServerCommand(command, facts);
  if (allowed != kOk) return allowed;

  CatalogueSettings catalogueSettings = CatalogueSettingsFor(settings);
  UpdateCatalogue catalogue(catalogueSettings);
  if (LoadServerCatalogue(settings, command.fields[3], catalogue) != kOk) return E_UPD_SERVICE_ERROR;
  const std::wstring& sectionName = command.fields[1];
  UpdateRecord* update = catalogue.Find(sectionName);
  if (!update) return Refuse(L"no update " + sectionName + L" in the updates file.");
  // The server's own record, in the service account's key, of what it installed for a client.
  update->status = InstallForClient(settings, *update, catalogue);
  RecordInstallResults(settings.Store(), update->status, {OutcomeOf(*update)});
  return update->status;
}

}  // namespace

Result RunServer(RunContext& run) {
  const AppSettings& settings = run.settings;
  const std::wstring& ipcObjNameBase = run.options.ipcObjNameBase;
  ChannelServer channel;
  channel.SetObjectNames(ipcObjNameBase);
  if (ipcObjNameBase.empty() || channel.Create() != kOk) return E_UPD_UNKNOWN_EXCEPTION;
  channel.ServeOneCommand([&settings](const ChannelCommand& command) { return HandleServerCommand(settings, command); });
  return kOk;
}

}  // namespace updater
