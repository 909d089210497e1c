"""Authenticode test material made for each run: a throwaway certification authority (and one that is
never trusted), code-signing certificates of two publishers, and programs signed with osslsigncode.
The authority is made trusted in the prefix's machine root store only while a test needs it."""
import contextlib
import shutil
import subprocess
import uuid

PUBLISHER = "/C=US/L=Springfield/O=Velmora Test/CN=Velmora Test Publisher"
OTHER_PUBLISHER = "/C=US/L=Springfield/O=Velmora Test/CN=Velmora Other Publisher"

OPENSSL_CONFIG = """
[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[leaf]
basicConstraints = CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


def _run(args, cwd):
    subprocess.run(args, cwd=cwd, check=True, capture_output=True, timeout=60)


class SigningMaterial:
    """Two roots (one to be trusted, one never trusted) and leaves signed by them."""

    def __init__(self, folder):
        self.folder = folder
        self.issuers = {}
        tag = uuid.uuid4().hex[:8]
        (folder / "openssl.cnf").write_text(OPENSSL_CONFIG)
        self._root("trusted-root", f"/CN=Kestrune Test Root {tag}")
        self._root("untrusted-root", f"/CN=Kestrune Untrusted Root {tag}")
        self._leaf("publisher", PUBLISHER, "trusted-root")
        self._leaf("other", OTHER_PUBLISHER, "trusted-root")
        self._leaf("impostor", PUBLISHER, "untrusted-root")
        _run(["openssl", "x509", "-in", "trusted-root.pem", "-outform", "DER", "-out", "trusted-root.cer"], folder)
        fingerprint = subprocess.run(
            ["openssl", "x509", "-in", "trusted-root.pem", "-noout", "-fingerprint", "-sha1"],
            cwd=folder, check=True, capture_output=True, text=True).stdout
        self.trusted_root_sha1 = fingerprint.split("=", 1)[1].strip().replace(":", "").upper()

    def _root(self, name, subject):
        _run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
              "-out", f"{name}.pem", "-days", "30", "-subj", subject, "-config", "openssl.cnf",
              "-extensions", "ca"], self.folder)

    def _leaf(self, name, subject, root):
        _run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
              "-subj", subject, "-config", "openssl.cnf"], self.folder)
        _run(["openssl", "x509", "-req", "-in", f"{name}.csr", "-CA", f"{root}.pem", "-CAkey", f"{root}.key",
              "-set_serial", str(int(uuid.uuid4().hex[:15], 16)), "-out", f"{name}.pem", "-days", "20",
              "-extfile", "openssl.cnf", "-extensions", "leaf"], self.folder)
        self.issuers[name] = root
        chain = (self.folder / f"{name}.pem").read_text() + (self.folder / f"{root}.pem").read_text()
        (self.folder / f"{name}-chain.pem").write_text(chain)

    def sign(self, source, signer, name, digest="sha256"):
        target = self.folder / name
        _run(["osslsigncode", "sign", "-certs", f"{signer}-chain.pem", "-key", f"{signer}.key", "-h", digest,
              "-in", str(source), "-out", str(target)], self.folder)
        return target

    def sign_detached(self, data, signer="publisher"):
        """A detached CMS signature of `data` in DER with SHA-256, as the publisher's guide makes it."""
        content = self.folder / "detached-content.bin"
        content.write_bytes(data)
        target = self.folder / "detached-content.p7s"
        _run(["openssl", "cms", "-sign", "-binary", "-outform", "DER", "-md", "sha256", "-in", str(content),
              "-signer", f"{signer}.pem", "-inkey", f"{signer}.key", "-certfile", f"{self.issuers[signer]}.pem",
              "-out", str(target)], self.folder)
        return target.read_bytes()

    def copy(self, source, name):
        target = self.folder / name
        shutil.copy2(source, target)
        return target



@contextlib.contextmanager
def trusted_root_of(wine, material):
    """The material's trusted root in the prefix's machine root store, removed again afterwards."""
    certstore = wine.build_dir / "tools" / "certstore.exe"
    added = wine.wine([str(certstore), "add", wine.windows_path(material.folder / "trusted-root.cer")])
    assert added.returncode == 0, added.stdout + added.stderr
    assert f"sha1={material.trusted_root_sha1}" in added.stdout.decode()
    try:
        yield
    finally:
        wine.wine([str(certstore), "remove", material.trusted_root_sha1])
        left = wine.wine(["reg", "query", "HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" +
                          material.trusted_root_sha1])
        assert left.returncode != 0, "the test root stayed trusted"
