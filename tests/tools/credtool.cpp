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
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

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
  return Usage();
}
