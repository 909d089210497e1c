#include "config/catalogue_wiring.h"

#include "transfer/signature.h"

namespace updater {

CatalogueSettings CatalogueSettingsFor(const AppSettings& settings) {
  CatalogueSettings catalogue;
  catalogue.appDir = settings.appDir;
  catalogue.downloadsFolder = settings.downloadsFolder;
  catalogue.updatesUrls = settings.urls;
  catalogue.vertSplitter = settings.HasClientFlag(kClientVertSplitter);
  catalogue.readsSavedSelection = settings.readsSavedSelection;
  catalogue.verifySignatureTrust = [](const std::wstring& program) { return VerifyDigitalSignature(program); };
  SettingsStore store = settings.Store();
  catalogue.forgetLastModified = [store]() { store.DeleteValue(SettingsKey::kSettings, kValueLastModified); };
  return catalogue;
}

}  // namespace updater
