// Test tool: runs the installer signature checks on files and prints the outcome.
//   verifysig trust <reference> <candidate>...   VerifySignatureTrust, once per candidate
//   verifysig self <candidate> [<log file>]      VerifyDigitalSignature (this program is the reference)
//   verifysig catalogue <reference> <updates file>
//       loads the updates file with custom detection programs checked against the reference;
//       prints "catalogue=0x%08X count=<records>"
// Prints "result=0x%08X unsigned=<0|1>" per check; exit code 0 when it ran, 2 on wrong usage.
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/logger.h"
#include "catalogue/update_catalogue.h"
#include "transfer/signature.h"

int wmain(int argc, wchar_t** argv) {
  using namespace updater;
  std::wstring command = argc > 1 ? argv[1] : L"";
  Result result = 0;
  bool referenceUnsigned = false;
  if (command == L"trust" && argc >= 4) {
    for (int i = 3; i < argc; ++i) {
      result = VerifySignatureTrust(argv[2], argv[i], &referenceUnsigned);
      std::printf("result=0x%08X unsigned=%d\n", static_cast<unsigned>(result), referenceUnsigned ? 1 : 0);
    }
    std::fflush(stdout);
    return 0;
  }
  if (command == L"catalogue" && argc == 4) {
    const std::wstring reference = argv[2];
    CatalogueSettings settings;
    settings.appDir = L"C:\\Apps\\Tool";
    settings.downloadsFolder = L"C:\\Downloads";
    settings.updatesUrls = {L"http://127.0.0.1/updates.ini"};
    settings.verifySignatureTrust = [&reference](const std::wstring& program) {
      return VerifySignatureTrust(reference, program);
    };
    UpdateCatalogue catalogue(settings);
    UpdatesFileReader reader(catalogue, argv[3]);
    result = reader.Load(true, true);
    std::printf("catalogue=0x%08X count=%u\n", static_cast<unsigned>(result), static_cast<unsigned>(catalogue.Count()));
    std::fflush(stdout);
    return 0;
  }
  if (command == L"self" && (argc == 3 || argc == 4)) {
    if (argc == 4) {
      Logger::Instance().SetLogFile(argv[3]);
      Logger::Instance().SetLevel(kLogError | kLogInfo | kLogDebug | kLogTrace);
      Logger::Instance().Enable(true);
    }
    result = VerifyDigitalSignature(argv[2], &referenceUnsigned);
  } else {
    std::fprintf(stderr, "usage: verifysig trust <reference> <candidate>... | self <candidate> [<log file>] | "
                 "catalogue <reference> <updates file>\n");
    return 2;
  }
  std::printf("result=0x%08X unsigned=%d\n", static_cast<unsigned>(result), referenceUnsigned ? 1 : 0);
  std::fflush(stdout);
  return 0;
}
