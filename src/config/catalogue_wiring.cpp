#include "config/catalogue_wiring.h"

#include "transfer/async_download.h"
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
  std::int32_t retryAttempts = settings.retryAttempts;
  std::wstring proxy = settings.proxy;
  catalogue.downloadAsset = [retryAttempts, proxy](const std::wstring& url, const std::wstring& path) {
    AsyncDownloadThread engine(nullptr, nullptr);
    engine.SetRetryAttempts(retryAttempts);
    engine.SetProxy(proxy);
    engine.SetFailOnCertificateErrors(true);
    engine.SetSizeLimit(kMaxUpdatesFileBytes, E_UPD_INVALID_UPDATES_FILE);
    return engine.Download(url, path);
  };
  SettingsStore store = settings.Store();
  catalogue.forgetLastModified = [store]() { store.DeleteValue(SettingsKey::kSettings, kValueLastModified); };
  return catalogue;
}

}  // namespace updater
