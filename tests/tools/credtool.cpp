// Test tool: protects and unprotects passwords and hands credentials over between processes with
// the updater's own code, so that tests can check what one process writes against another.
// Texts travel as UTF-16LE bytes in uppercase hexadecimal ("<hex>") so that no console or command
// line code page can change them.
//   credtool protect <password hex>        prints "protected=<protected text>"; exit = result
//   credtool unprotect <protected text>     prints "password=<password hex>"; exit = result
//   credtool handover <exe path> <wait ms> <user hex> <password hex> [...]
//       publishes the pairs, prints "ready", waits for the receiver; exit 0 received, 2 not, 1 failed
//   credtool receive <exe path>            prints "pair=<user hex>,<password hex>" per pair;
//       exit 0 when pairs were received, 1 otherwise
//   credtool remember <app id> <user hex> <password hex>
//       "/set rememberpassword": prints "result=0x%08X"
//   credtool download <app id> <exe path> <destination> <url> [--proxy P] [--typed <user hex>
//       <password hex>] [--remember]
//       downloads with the provider of a run (handed-over or remembered pairs, then the prompt,
//       answered with the typed pair or cancelled); prints "prompt host=H realm=R proxy=P" per prompt
//       and "result=0x%08X"
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "transfer/async_download.h"
#include "transfer/credential_protection.h"
#include "transfer/credentials.h"

namespace {

using updater::BytesToHex;
using updater::CredentialPair;
using updater::HexToBytes;

bool TextFromHex(const wchar_t* hex, std::wstring& text) {
  std::vector<std::uint8_t> bytes;
  if (!HexToBytes(hex, bytes) || bytes.size() % 2 != 0) return false;
  text.assign(bytes.size() / 2, L'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<wchar_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return true;
}

std::wstring HexOfText(const std::wstring& text) {
  std::vector<std::uint8_t> bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return BytesToHex(bytes);
}

class PromptingObserver : public updater::DownloadObserver {
 public:
  void BeginAction(int, std::uint32_t, const wchar_t*) override {}
  void EndAction(int, updater::Result) override {}
  void SubActionPerform(std::uint32_t) override {}
  bool IsCanceled() override { return false; }
  bool IsPaused() override { return false; }
  updater::Result Error(const wchar_t*, updater::Result code, void* context) override {
    if (code != updater::E_UPD_AUTH_REQUIRED || !context) return code;
    return static_cast<updater::CredentialsProvider*>(context)->Prompt(nullptr) ? updater::kObserverRetry : 0;
  }
};

int Download(int argc, wchar_t** argv) {
  if (argc < 6) return 64;
  updater::ServerCredentials credentials(HKEY_CURRENT_USER, argv[2], argv[3]);
  PromptingObserver observer;
  updater::AsyncDownloadThread engine(&observer, &credentials);
  updater::CredentialsPromptAnswer typed;
  bool hasTyped = false;
  for (int i = 6; i < argc; ++i) {
    std::wstring option = argv[i];
    if (option == L"--proxy" && i + 1 < argc) {
      engine.Options().proxy = argv[++i];
    } else if (option == L"--typed" && i + 2 < argc) {
      if (!TextFromHex(argv[i + 1], typed.user) || !TextFromHex(argv[i + 2], typed.password)) return 64;
      hasTyped = true;
      i += 2;
    } else if (option == L"--remember") {
      typed.remember = true;
    } else {
      return 64;
    }
  }
  credentials.SetPromptFunction([&](HWND, const updater::CredentialsPromptTexts&,
                                    updater::CredentialsPromptAnswer& answer) {
    std::printf("prompt host=%ls realm=%ls proxy=%ls\n", credentials.Host().c_str(), credentials.Realm().c_str(),
                credentials.ProxyName().c_str());
    if (!hasTyped) return false;
    answer = typed;
    return true;
  });
  credentials.LoadAtStart();
  updater::Result result = engine.Download(argv[5], argv[4]);
  std::printf("result=0x%08X\n", result);
  std::fflush(stdout);
  return 0;
}

int Usage() {
  std::fprintf(stderr, "usage: credtool protect|unprotect|handover|receive ...\n");
  return 64;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Usage();
  std::wstring command = argv[1];
  if (command == L"protect") {
    std::wstring password;
    if (!TextFromHex(argv[2], password)) return Usage();
    std::wstring protectedText;
    updater::Result result = updater::ProtectPassword(password, protectedText);
    std::printf("protected=%ls\n", protectedText.c_str());
    return static_cast<int>(result);
  }
  if (command == L"unprotect") {
    std::wstring password;
    updater::Result result = updater::UnprotectPassword(argv[2], password);
    std::printf("password=%ls\n", HexOfText(password).c_str());
    return static_cast<int>(result);
  }
  if (command == L"handover") {
    if (argc < 4 || (argc - 4) % 2 != 0) return Usage();
    updater::ServerCredentials credentials(HKEY_CURRENT_USER, L"", argv[2]);
    DWORD waitMs = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
    for (int i = 4; i + 1 < argc; i += 2) {
      CredentialPair pair;
      if (!TextFromHex(argv[i], pair.user) || !TextFromHex(argv[i + 1], pair.password)) return Usage();
      credentials.AddPair(pair);
    }
    if (!credentials.HandOverCredentials()) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    return credentials.WaitForHandOverReceipt(waitMs) ? 0 : 2;
  }
  if (command == L"receive") {
    updater::ServerCredentials credentials(HKEY_CURRENT_USER, L"", argv[2]);
    bool received = credentials.ReceiveCredentials();
    for (const CredentialPair& pair : credentials.Pairs())
      std::printf("pair=%ls,%ls\n", HexOfText(pair.user).c_str(), HexOfText(pair.password).c_str());
    return received ? 0 : 1;
  }
  if (command == L"remember") {
    std::wstring user, password;
    if (argc < 5 || !TextFromHex(argv[3], user) || !TextFromHex(argv[4], password)) return Usage();
    std::printf("result=0x%08X\n", updater::RememberPasswordCommand(HKEY_CURRENT_USER, argv[2], user, password));
    return 0;
  }
  if (command == L"download") return Download(argc, argv) == 64 ? Usage() : 0;
  return Usage();
}
