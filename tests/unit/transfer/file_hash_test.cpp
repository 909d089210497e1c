#include "transfer/file_hash.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/win_handles.h"

namespace updater {
namespace {

// A file in the temporary folder that is removed when the test ends.
class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    wchar_t folder[MAX_PATH];
    wchar_t name[MAX_PATH];
    ::GetTempPathW(MAX_PATH, folder);
    ::GetTempFileNameW(folder, L"fh", 0, name);
    path_ = name;
    UniqueFile file(::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!content.empty())
      ::WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  }
  ~TempFile() { ::DeleteFileW(path_.c_str()); }
  const std::wstring& Path() const { return path_; }

 private:
  std::wstring path_;
};

std::string PatternBytes(size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}

struct KnownVector {
  const char* label;
  std::string content;
  const wchar_t* md5;
  const wchar_t* sha256;
};

TEST(FileHashVectors, KnownContentsGiveThePublishedDigests) {
  const KnownVector vectors[] = {
      {"abc", "abc", L"900150983cd24fb0d6963f7d28e17f72",
       L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
      {"exactly 1 KiB", std::string(1024, 'a'), L"c9a34cfc85d982698c6ac89f76071abd",
       L"2EDC986847E209B4016E141A6DC8716D3207350F416969382D431539BF292E4A"},
      {"1 KiB + 1", std::string(1025, 'a'), L"ae187e1febee2a150b64849c32d566ca",
       L"4A82297889EB505CF6B5CBDF69977AFAB4632D6557539782F657BD7DC78091A5"},
      {"exactly 64 KiB", PatternBytes(65536), L"9cc60713923528a1dd94e1c1ab0ebc9e",
       L"4B640D85AB3BA30FD02C9FC9DB4A8928F416322AD27022EA58A65AAEE68A4DF2"},
      {"several 64 KiB blocks and a tail", PatternBytes(200000), L"415d6e662118c229c6ad3f950c24702a",
       L"E24BC62381F1224FBBB74688663F8F9743B9680B193EDD666835E97B06E730EB"},
      // Read in several large blocks, the next one read while the current one is hashed.
      {"two and a half mebibytes", PatternBytes(2621443), L"562830215c6ac6c9aecfc292173f7740",
       L"CF17DFE098CD3A7DF0DF5687A03AB1BBE9D1A1FFB65DD91AB2228BFEA65DA24A"},
  };
  for (const auto& vector : vectors) {
    SCOPED_TRACE(vector.label);
    TempFile file(vector.content);
    std::wstring md5;
    std::wstring sha256;
    EXPECT_EQ(ComputeFileMd5(file.Path(), md5), kOk);
    EXPECT_EQ(md5, vector.md5);
    EXPECT_EQ(ComputeFileSha256(file.Path(), sha256), kOk);
    EXPECT_EQ(sha256, vector.sha256);
  }
}

TEST(FileHashVectors, EmptyFileHasSha256ButMd5Fails) {
  TempFile file("");
  std::wstring sha256;
  EXPECT_EQ(ComputeFileSha256(file.Path(), sha256), kOk);
  EXPECT_EQ(sha256, L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
  std::wstring md5 = L"stale";
  EXPECT_NE(ComputeFileMd5(file.Path(), md5), kOk);
  EXPECT_TRUE(md5.empty());
}

TEST(FileHashFailures, MissingFileIsAFailureAndAMismatch) {
  const std::wstring missing = L"C:\\no-such-folder-kestrune\\missing.bin";
  std::wstring digest = L"stale";
  EXPECT_EQ(ComputeFileMd5(missing, digest), static_cast<Result>(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(digest.empty());
  EXPECT_EQ(ComputeFileSha256(missing, digest), static_cast<Result>(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(digest.empty());
  // Nothing computed must never pass, not even against an empty expected value.
  EXPECT_EQ(CheckFileSha256(missing, L""), E_UPD_BAD_SHA256);
  EXPECT_EQ(CheckFileMd5(missing, L""), E_UPD_BAD_MD5);
  EXPECT_EQ(CheckFileSize(missing, 1000), E_UPD_WRONG_SIZE);
  EXPECT_EQ(FileSizeOrZero(missing), 0u);
}

TEST(FileHashFailures, OpenWriterAllowsMd5ButNotSha256) {
  TempFile file("abc");
  // MD5 reads a file that is still open for writing; SHA-256 shares reading only.
  UniqueFile writer(::CreateFileW(file.Path().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer.Valid());
  std::wstring md5;
  EXPECT_EQ(ComputeFileMd5(file.Path(), md5), kOk);
  EXPECT_EQ(md5, L"900150983cd24fb0d6963f7d28e17f72");
  std::wstring sha256;
  EXPECT_EQ(ComputeFileSha256(file.Path(), sha256), static_cast<Result>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(CheckFileSha256(file.Path(), L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"),
            E_UPD_BAD_SHA256);
}

TEST(IntegrityComparison, Sha256IsPreferredThenMd5ThenSize) {
  EXPECT_EQ(ChooseIntegrityCheck(L"AB", L"cd"), IntegrityCheck::kSha256);
  EXPECT_EQ(ChooseIntegrityCheck(L"AB", L""), IntegrityCheck::kSha256);
  EXPECT_EQ(ChooseIntegrityCheck(L"", L"cd"), IntegrityCheck::kMd5);
  EXPECT_EQ(ChooseIntegrityCheck(L"", L""), IntegrityCheck::kSize);
}

TEST(IntegrityComparison, Sha256IgnoresCaseButNotLength) {
  const std::wstring computed = L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  EXPECT_TRUE(Sha256Matches(computed, computed));
  EXPECT_TRUE(Sha256Matches(computed, L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_FALSE(Sha256Matches(computed, computed.substr(0, 63)));
  EXPECT_FALSE(Sha256Matches(computed, computed + L"0"));
  EXPECT_FALSE(Sha256Matches(computed, L"CA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"));
  EXPECT_FALSE(Sha256Matches(L"", L""));
}

TEST(IntegrityComparison, Md5ReadsUppercaseExpectedAsLowercase) {
  const std::wstring computed = L"900150983cd24fb0d6963f7d28e17f72";
  EXPECT_TRUE(Md5Matches(computed, computed));
  EXPECT_TRUE(Md5Matches(computed, L"900150983CD24FB0D6963F7D28E17F72"));
  EXPECT_TRUE(Md5Matches(computed, L"900150983cD24fB0d6963f7D28e17F72"));
  // Only the first 32 characters of the expected value count.
  EXPECT_TRUE(Md5Matches(computed, computed + L"  trailing"));
  EXPECT_FALSE(Md5Matches(computed, computed.substr(0, 31)));
  EXPECT_FALSE(Md5Matches(computed, L"900150983cd24fb0d6963f7d28e17f73"));
  EXPECT_FALSE(Md5Matches(L"", computed));
  EXPECT_FALSE(Md5Matches(L"", L""));
}

TEST(IntegrityComparison, FileChecksGiveTheirOwnMismatchCodes) {
  TempFile file("abc");
  EXPECT_EQ(CheckFileSha256(file.Path(), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"), kOk);
  EXPECT_EQ(CheckFileSha256(file.Path(), L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"),
            E_UPD_BAD_SHA256);
  EXPECT_EQ(CheckFileMd5(file.Path(), L"900150983CD24FB0D6963F7D28E17F72"), kOk);
  EXPECT_EQ(CheckFileMd5(file.Path(), L"d41d8cd98f00b204e9800998ecf8427e"), E_UPD_BAD_MD5);
  EXPECT_EQ(CheckFileSize(file.Path(), 3), kOk);
  EXPECT_EQ(CheckFileSize(file.Path(), 4), E_UPD_WRONG_SIZE);
  EXPECT_EQ(CheckFileSize(file.Path(), 2), E_UPD_WRONG_SIZE);
}

TEST(IntegrityComparison, SizeComparesAllSixtyFourBits) {
  EXPECT_TRUE(SizeMatches(1000, 1000));
  EXPECT_FALSE(SizeMatches(999, 1000));
  EXPECT_FALSE(SizeMatches(0x100000000ull + 1000, 1000));
}

}  // namespace
}  // namespace updater
