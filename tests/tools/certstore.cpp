// Test tool: adds a certificate to, or removes one from, the machine's trusted root store of the
// prefix, so that tests can make a test certification authority trusted for a while.
//   certstore add <file.cer>   DER or PEM; prints "sha1=<hex>"
//   certstore remove <sha1>    hexadecimal SHA-1 thumbprint; prints "removed=<count>"
// Exit code 0 on success, 1 on failure, 2 on wrong usage.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "base/win_handles.h"

namespace {

using updater::UniqueCertContext;
using updater::UniqueCertStore;
using updater::UniqueFile;

UniqueCertStore OpenMachineRoot() {
  return UniqueCertStore(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
}

bool ReadWholeFile(const wchar_t* path, std::vector<BYTE>& bytes) {
  UniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.Get(), &size) || size.QuadPart <= 0 || size.QuadPart > 1 << 20) return false;
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  return ::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size();
}

// PEM text becomes DER; DER passes through.
bool ToDer(std::vector<BYTE>& bytes) {
  static const char kPemStart[] = "-----BEGIN";
  if (bytes.size() < sizeof(kPemStart) - 1 || std::string(bytes.begin(), bytes.begin() + 10) != kPemStart) return true;
  DWORD derSize = 0;
  const char* text = reinterpret_cast<const char*>(bytes.data());
  DWORD textSize = static_cast<DWORD>(bytes.size());
  if (!::CryptStringToBinaryA(text, textSize, CRYPT_STRING_BASE64HEADER, nullptr, &derSize, nullptr, nullptr))
    return false;
  std::vector<BYTE> der(derSize);
  if (!::CryptStringToBinaryA(text, textSize, CRYPT_STRING_BASE64HEADER, der.data(), &derSize, nullptr, nullptr))
    return false;
  der.resize(derSize);
  bytes.swap(der);
  return true;
}

int Add(const wchar_t* path) {
  std::vector<BYTE> bytes;
  if (!ReadWholeFile(path, bytes) || !ToDer(bytes)) {
    std::printf("error=%lu\n", ::GetLastError());
    return 1;
  }
  UniqueCertStore store = OpenMachineRoot();
  UniqueCertContext added;
  PCCERT_CONTEXT context = nullptr;
  if (!store || !::CertAddEncodedCertificateToStore(store.Get(), X509_ASN_ENCODING, bytes.data(),
                                                    static_cast<DWORD>(bytes.size()),
                                                    CERT_STORE_ADD_REPLACE_EXISTING, &context)) {
    std::printf("error=%lu\n", ::GetLastError());
    return 1;
  }
  added.Reset(context);
  BYTE thumbprint[20];
  DWORD size = sizeof(thumbprint);
  if (!::CertGetCertificateContextProperty(added.Get(), CERT_SHA1_HASH_PROP_ID, thumbprint, &size)) return 1;
  std::printf("sha1=");
  for (DWORD i = 0; i < size; ++i) std::printf("%02X", thumbprint[i]);
  std::printf("\n");
  return 0;
}

bool ParseThumbprint(const std::wstring& text, std::vector<BYTE>& thumbprint) {
  if (text.size() != 40) return false;
  thumbprint.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    wchar_t pair[3] = {text[i], text[i + 1], 0};
    wchar_t* end = nullptr;
    unsigned long value = std::wcstoul(pair, &end, 16);
    if (end != pair + 2) return false;
    thumbprint.push_back(static_cast<BYTE>(value));
  }
  return true;
}

int Remove(const std::wstring& sha1) {
  std::vector<BYTE> thumbprint;
  if (!ParseThumbprint(sha1, thumbprint)) return 2;
  UniqueCertStore store = OpenMachineRoot();
  if (!store) return 1;
  int removed = 0;
  CRYPT_HASH_BLOB blob{static_cast<DWORD>(thumbprint.size()), thumbprint.data()};
  for (;;) {
    PCCERT_CONTEXT found =
        ::CertFindCertificateInStore(store.Get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
    if (found == nullptr) break;
    if (!::CertDeleteCertificateFromStore(found)) break;  // frees the context either way
    ++removed;
  }
  // The store keeps each certificate under a key named by its thumbprint; make sure none is left.
  std::wstring key = L"Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";
  for (wchar_t c : sha1) key += static_cast<wchar_t>(std::towupper(c));
  ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0);
  std::printf("removed=%d\n", removed);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int code = 2;
  if (argc == 3 && std::wstring(argv[1]) == L"add")
    code = Add(argv[2]);
  else if (argc == 3 && std::wstring(argv[1]) == L"remove")
    code = Remove(argv[2]);
  else
    std::fprintf(stderr, "usage: certstore add <file.cer> | remove <sha1>\n");
  std::fflush(stdout);
  return code;
}
