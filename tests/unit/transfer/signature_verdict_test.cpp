#include <gtest/gtest.h>

#include "transfer/signature.h"

namespace updater {
namespace {

const wchar_t kPublisher[] = L"CN=Velmora Test Publisher, O=Velmora Test, L=Springfield, C=US";

TEST(SignatureVerdict, TrustFailureWinsOverSubjects) {
  EXPECT_EQ(SignatureVerdict(static_cast<LONG>(CERT_E_UNTRUSTEDROOT), kPublisher, kPublisher), E_UPD_UNTRUSTED_PUBLISHER);
  EXPECT_EQ(SignatureVerdict(static_cast<LONG>(TRUST_E_BAD_DIGEST), kPublisher, L"CN=Other"), E_UPD_UNTRUSTED_PUBLISHER);
  EXPECT_EQ(SignatureVerdict(1, kPublisher, kPublisher), E_UPD_UNTRUSTED_PUBLISHER);
}

TEST(SignatureVerdict, TrustedSignatureNeedsTheSameSubject) {
  EXPECT_EQ(SignatureVerdict(0, kPublisher, kPublisher), kOk);
  EXPECT_EQ(SignatureVerdict(0, kPublisher, L"CN=Other Publisher, O=Velmora Test, L=Springfield, C=US"),
            E_UPD_SIGNATURE_MISMATCH);
}

TEST(SignatureVerdict, SubjectsCompareExactly) {
  std::wstring publisher = kPublisher;
  EXPECT_TRUE(SubjectNamesMatch(publisher, publisher));
  EXPECT_FALSE(SubjectNamesMatch(publisher, L"CN=velmora test publisher, O=Velmora Test, L=Springfield, C=US"));
  EXPECT_FALSE(SubjectNamesMatch(publisher, publisher + L" "));
  EXPECT_FALSE(SubjectNamesMatch(publisher, publisher.substr(0, publisher.size() - 1)));
  // A subject that could not be rendered names nobody, so it cannot vouch for a match.
  EXPECT_FALSE(SubjectNamesMatch(L"", L""));
  EXPECT_EQ(SignatureVerdict(0, L"", L""), E_UPD_SIGNATURE_MISMATCH);
}

}  // namespace
}  // namespace updater
