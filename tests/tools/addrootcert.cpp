// Test tool: makes a test certificate authority trusted inside the Wine prefix by adding it to the
// machine's "Root" store. Usage: addrootcert <certificate.pem|.der>. Prints the SHA-1 thumbprint
// ("thumbprint=<hex>") under which the store keeps it, so that a test can remove it again.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

#include "core/win_handles.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: addrootcert <certificate>\n");
    return 2;
  }
  updater::UniqueFile file(::CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    std::printf("open-failed=%lu\n", ::GetLastError());
    return 3;
  }
  std::vector<BYTE> content(::GetFileSize(file.Get(), nullptr));
  DWORD read = 0;
  if (!::ReadFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &read, nullptr) ||
      read != content.size()) {
    std::printf("read-failed=%lu\n", ::GetLastError());
    return 3;
  }
  // PEM text is decoded to DER; DER is taken as it is.
  std::vector<BYTE> der = content;
  DWORD derSize = 0;
  if (::CryptStringToBinaryA(reinterpret_cast<const char*>(content.data()), static_cast<DWORD>(content.size()),
                             CRYPT_STRING_BASE64HEADER, nullptr, &derSize, nullptr, nullptr)) {
    der.resize(derSize);
    ::CryptStringToBinaryA(reinterpret_cast<const char*>(content.data()), static_cast<DWORD>(content.size()),
                           CRYPT_STRING_BASE64HEADER, der.data(), &derSize, nullptr, nullptr);
  }
  updater::UniqueCertStore store(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
  if (!store) {
    std::printf("store-failed=%lu\n", ::GetLastError());
    return 4;
  }
  updater::UniqueCertContext added;
  if (!::CertAddEncodedCertificateToStore(store.Get(), X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, added.Put())) {
    std::printf("add-failed=%lu\n", ::GetLastError());
    return 5;
  }
  BYTE hash[20] = {};
  DWORD hashSize = sizeof(hash);
  ::CertGetCertificateContextProperty(added.Get(), CERT_SHA1_HASH_PROP_ID, hash, &hashSize);
  std::printf("thumbprint=");
  for (DWORD i = 0; i < hashSize; ++i) std::printf("%02X", hash[i]);
  std::printf("\n");
  return 0;
}
