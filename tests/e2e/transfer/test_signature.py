"""Installer signature checks on real Authenticode-signed programs.

A throwaway certification authority and code-signing certificates are made with openssl for each
run, copies of a test program are signed with osslsigncode, and the authority is made trusted in
the prefix's machine root store only while a test needs it.
"""
import re
import uuid

import pytest

from signing import SigningMaterial, trusted_root_of
from wineenv import read_log

TRUST_E_NOSIGNATURE = 0x800B0100
TRUST_E_BAD_DIGEST = 0x80096010
UNTRUSTED_PUBLISHER = 0xE0000026
SIGNATURE_MISMATCH = 0xE000002A

@pytest.fixture(scope="module")
def material(wine, tmp_path_factory):
    folder = tmp_path_factory.mktemp("signing")
    made = SigningMaterial(folder)
    program = wine.build_dir / "tools" / "runexe.exe"
    made.unsigned = made.copy(program, "unsigned.exe")
    made.by_publisher = made.sign(program, "publisher", "by-publisher.exe")
    made.by_publisher_again = made.sign(program, "publisher", "by-publisher-again.exe")
    made.by_other = made.sign(program, "other", "by-other.exe")
    made.by_impostor = made.sign(program, "impostor", "by-impostor.exe")
    # The same signers with SHA-1 digests: trust must not depend on the digest of the signature.
    made.by_publisher_sha1 = made.sign(program, "publisher", "by-publisher-sha1.exe", digest="sha1")
    made.by_impostor_sha1 = made.sign(program, "impostor", "by-impostor-sha1.exe", digest="sha1")
    # The product itself, signed by the publisher, as the reference an installer is checked against.
    made.updater_signed = made.sign(wine.updater, "publisher", "updater-signed.exe")
    tampered = bytearray(made.by_publisher.read_bytes())
    tampered[0x600] ^= 0xFF  # inside the code, which the signature covers
    made.tampered = folder / "tampered.exe"
    made.tampered.write_bytes(bytes(tampered))
    verifier = wine.build_dir / "tools" / "verifysig.exe"
    made.verifier_unsigned = made.copy(verifier, "verifysig-unsigned.exe")
    made.verifier_signed = made.sign(verifier, "publisher", "verifysig-signed.exe")
    return made


@pytest.fixture(scope="class")
def trusted_root(wine, material):
    with trusted_root_of(wine, material):
        yield


def _parse_all(proc):
    out = proc.stdout.decode(errors="replace")
    found = re.findall(r"result=0x([0-9A-F]{8}) unsigned=([01])", out)
    assert found, out + proc.stderr.decode(errors="replace")
    return [(int(code, 16), flag == "1") for code, flag in found]


def trust(wine, reference, *candidates):
    """One verifier run checking each candidate against the reference; one outcome per candidate."""
    verifier = wine.build_dir / "tools" / "verifysig.exe"
    args = [str(verifier), "trust", wine.windows_path(reference)] + [wine.windows_path(c) for c in candidates]
    outcomes = _parse_all(wine.wine(args))
    assert len(outcomes) == len(candidates)
    return dict(zip([c.name for c in candidates], outcomes))


def log_text(path):
    return read_log(path) if path.exists() else ""


def verify_as_self(wine, verifier, candidate, log):
    args = [str(verifier), "self", wine.windows_path(candidate), wine.windows_path(log)]
    return _parse_all(wine.wine(args))[0]


class TestUnsignedReference:
    def test_accepts_unsigned_and_signed_candidates_and_says_so(self, wine, material):
        candidates = (material.unsigned, material.by_other, material.by_impostor)
        for name, outcome in trust(wine, material.unsigned, *candidates).items():
            assert outcome == (0, True), name


class TestUntrustedRoot:
    def test_every_untrusted_chain_fails_whatever_the_subject(self, wine, material):
        outcomes = trust(wine, material.by_publisher, material.by_impostor, material.by_publisher_again)
        assert outcomes["by-impostor.exe"] == (UNTRUSTED_PUBLISHER, False)
        assert outcomes["by-publisher-again.exe"] == (UNTRUSTED_PUBLISHER, False)

    def test_untrusted_root_fails_for_sha1_and_sha256_signatures(self, wine, material):
        outcomes = trust(wine, material.by_publisher, material.by_impostor, material.by_impostor_sha1,
                         material.by_publisher_sha1)
        assert outcomes == {
            "by-impostor.exe": (UNTRUSTED_PUBLISHER, False),
            "by-impostor-sha1.exe": (UNTRUSTED_PUBLISHER, False),
            "by-publisher-sha1.exe": (UNTRUSTED_PUBLISHER, False),
        }

    def test_signed_updater_rejects_candidates_of_an_untrusted_root(self, wine, material):
        outcomes = trust(wine, material.updater_signed, material.by_publisher, material.by_impostor_sha1)
        assert outcomes["by-publisher.exe"] == (UNTRUSTED_PUBLISHER, False)
        assert outcomes["by-impostor-sha1.exe"] == (UNTRUSTED_PUBLISHER, False)


@pytest.mark.usefixtures("trusted_root")
class TestTrustedRoot:
    @pytest.fixture(scope="class")
    def outcomes(self, wine, material, trusted_root):
        return trust(wine, material.by_publisher, material.by_publisher_again, material.by_publisher,
                     material.by_other, material.by_impostor, material.unsigned, material.tampered)

    def test_same_subject_passes(self, outcomes):
        assert outcomes["by-publisher-again.exe"] == (0, False)
        assert outcomes["by-publisher.exe"] == (0, False)

    def test_other_subject_is_a_mismatch(self, outcomes):
        assert outcomes["by-other.exe"] == (SIGNATURE_MISMATCH, False)

    def test_untrusted_root_still_fails_beside_a_trusted_one(self, outcomes):
        assert outcomes["by-impostor.exe"] == (UNTRUSTED_PUBLISHER, False)

    def test_unsigned_candidate_is_rejected(self, outcomes):
        assert outcomes["unsigned.exe"] == (TRUST_E_NOSIGNATURE, False)

    def test_tampered_candidate_is_rejected(self, outcomes):
        code, unsigned = outcomes["tampered.exe"]
        assert not unsigned
        assert code in (TRUST_E_BAD_DIGEST, UNTRUSTED_PUBLISHER), hex(code)

    def test_sha1_signatures_are_judged_like_sha256_ones(self, wine, material):
        outcomes = trust(wine, material.by_publisher, material.by_publisher_sha1, material.by_impostor_sha1)
        assert outcomes["by-publisher-sha1.exe"] == (0, False)
        assert outcomes["by-impostor-sha1.exe"] == (UNTRUSTED_PUBLISHER, False)

    def test_signed_updater_as_reference(self, wine, material):
        outcomes = trust(wine, material.updater_signed, material.unsigned, material.by_other,
                         material.by_publisher, material.by_publisher_sha1)
        assert outcomes == {
            "unsigned.exe": (TRUST_E_NOSIGNATURE, False),
            "by-other.exe": (SIGNATURE_MISMATCH, False),
            "by-publisher.exe": (0, False),
            "by-publisher-sha1.exe": (0, False),
        }

    def test_custom_detection_program_must_come_from_the_updaters_publisher(self, wine, material, tmp_path):
        def load(program, flags=None):
            text = (";kxw;\r\n[General]\r\n[Tool 1.1]\r\nName=Tool 1.1\r\nSize=1000\r\n"
                    "URL=http://127.0.0.1/files/tool.msi\r\n")
            if flags:
                text += f"Flags={flags}\r\n"
            text += f"CustomDetection={wine.windows_path(program)}\r\nVersion=1.1\r\n"
            updates = tmp_path / f"updates-{uuid.uuid4().hex[:8]}.ini"
            updates.write_text(text, encoding="latin-1")
            proc = wine.wine([str(material.verifier_signed), "catalogue", wine.windows_path(material.updater_signed),
                              wine.windows_path(updates)])
            found = re.search(r"catalogue=0x([0-9A-F]{8}) count=(\d+)", proc.stdout.decode(errors="replace"))
            assert found, proc.stdout + proc.stderr
            return int(found.group(1), 16), int(found.group(2))

        assert load(material.by_publisher) == (0, 1)
        # Another publisher, an untrusted root or no signature fail the whole catalogue...
        assert load(material.by_other) == (UNTRUSTED_PUBLISHER, 0)
        assert load(material.by_impostor) == (UNTRUSTED_PUBLISHER, 0)
        assert load(material.unsigned) == (UNTRUSTED_PUBLISHER, 0)
        # ...unless the publisher marked the detection program as not needing the check.
        assert load(material.by_other, flags="UnsafeCutomDetection") == (0, 1)

    def test_signed_updater_accepts_its_own_publisher(self, wine, material, tmp_path):
        log = tmp_path / "updater.log"
        assert verify_as_self(wine, material.verifier_signed, material.by_publisher, log) == (0, False)
        text = log_text(log)
        assert "VerifySignatureTrust returnned: 0" in text
        assert "VerifyDigitalSignature failed." not in text

    def test_signed_updater_rejects_and_logs_another_publisher(self, wine, material, tmp_path):
        log = tmp_path / "updater.log"
        assert verify_as_self(wine, material.verifier_signed, material.by_other, log) == (SIGNATURE_MISMATCH, False)
        assert "VerifyDigitalSignature failed. LastError: 0xE000002A" in log_text(log)


class TestRunningExecutableAsReference:
    def test_signed_updater_logs_a_system_error_in_decimal(self, wine, material, tmp_path):
        log = tmp_path / "updater.log"
        code, _ = verify_as_self(wine, material.verifier_signed, material.unsigned, log)
        assert code == TRUST_E_NOSIGNATURE
        assert f"VerifyDigitalSignature failed. LastError: {TRUST_E_NOSIGNATURE - 2**32}" in log_text(log)

    def test_signed_updater_under_untrusted_root_rejects_its_own_publisher(self, wine, material, tmp_path):
        log = tmp_path / "updater.log"
        code, _ = verify_as_self(wine, material.verifier_signed, material.by_publisher, log)
        assert code == UNTRUSTED_PUBLISHER
        assert "VerifyDigitalSignature failed. LastError: 0xE0000026" in log_text(log)

    def test_unsigned_updater_accepts_anything(self, wine, material, tmp_path):
        log = tmp_path / "updater.log"
        assert verify_as_self(wine, material.verifier_unsigned, material.by_other, log) == (0, True)
        assert "VerifyDigitalSignature failed." not in log_text(log)
