#include "transfer/catalogue_services.h"

#include "transfer/async_download.h"
#include "transfer/download_phase.h"
#include "transfer/download_rules.h"
#include "transfer/signature.h"

namespace updater {

CatalogueSettings CatalogueSettingsFor(const AppSettings& settings) {
  CatalogueSettings catalogue;
  catalogue.appDir = settings.appDir;
  catalogue.downloadsFolder = settings.downloadsFolder;
  catalogue.updatesUrls = settings.urls;
  catalogue.vertSplitter = settings.HasClientFlag(kClientVertSplitter);
  catalogue.readsSavedSelection = settings.readsSavedSelection;
  // A custom detection program runs only when it is signed by the updater's own, trusted publisher.
  // An unsigned updater has no publisher to compare with, so it trusts no detection program.
  catalogue.verifySignatureTrust = [](const std::wstring& program) {
    bool updaterUnsigned = false;
    Result trust = VerifyDigitalSignature(program, &updaterUnsigned);
    if (trust != kOk) return trust;
    return updaterUnsigned ? E_UPD_UNTRUSTED_PUBLISHER : kOk;
  };
  catalogue.gitHubReleases = settings.HasClientFlag(kClientGitHubUpdates);
  catalogue.applicationName = settings.applicationName;
  catalogue.companyName = settings.companyName;
  DownloadOptions options = RunDownloadOptions(settings);
  options.sizeLimit = kMaxUpdatesFileBytes;
  options.sizeLimitCode = E_UPD_INVALID_UPDATES_FILE;
  catalogue.downloadAsset = [options](const std::wstring& url, const std::wstring& path) {
    return AsyncDownloadThread(nullptr, nullptr, options).Download(url, path);
  };
  SettingsStore store = settings.Store();
  catalogue.forgetLastModified = [store]() {
    store.DeleteValue(SettingsKey::kSettings, kValueLastModified);
    store.DeleteValue(SettingsKey::kSettings, kValueETag);
  };
  return catalogue;
}

}  // namespace updater
