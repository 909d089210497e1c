"""Fixtures of the installation suites: an application folder with a downloads folder in which the
tests place verified installers, an updates configuration file describing them, the installation
phase run by its test tool, and the stand-in PowerShell placed where the updater looks for it."""
import pathlib
import re
import shutil
import subprocess
import uuid

import pytest

STATE_ROOT = r"HKCU\Software\KestruneE2E"
PRODUCT_ROOT = r"HKCU\Software\Velmora\Kestrune Updater"


@pytest.fixture(scope="session")
def powershell_standin(wine):
    """The stand-in powershell.exe in both system folders of the prefix (a 32-bit process sees
    syswow64 as its system folder). Tests steer it with a control file named by UPDATER_PS_STANDIN."""
    standin = wine.build_dir / "tools" / "powershell.exe"
    placed = []
    for system in ("system32", "syswow64"):
        folder = wine.prefix / "drive_c" / "windows" / system / "WindowsPowerShell" / "v1.0"
        folder.mkdir(parents=True, exist_ok=True)
        target = folder / "powershell.exe"
        shutil.copy2(standin, target)
        placed.append(target)
    yield standin


class Phase:
    """One application's updates, installers and runs of the installation phase."""

    def __init__(self, wine, folder):
        self.wine = wine
        self.folder = folder
        self.id = "E2E" + uuid.uuid4().hex[:10]
        self.downloads = folder / "downloads"
        self.state_key = rf"{STATE_ROOT}\{self.id}"
        self.order = folder / "order.txt"
        self.sections = []
        self.flags = ""

    def win(self, path):
        return self.wine.windows_path(path)

    def installer_args(self, name, exit_code=0, version="1.0", extra=""):
        return (f'/regkey {self.state_key}\\{name} /regvalue Version /regdata {version} '
                f'/order "{self.win(self.order)}" /name {name} /exit {exit_code} {extra}').strip()

    def add(self, name, installer=None, file_name=None, command_line=None, version="1.0", keys="",
            detect=True, detect_as=None):
        """Places the installer (the fake installer by default) in the downloads folder and describes
        it; the update is detected through the registry value the installer writes."""
        installer = installer or self.wine.build_dir / "tools" / "testinstaller.exe"
        file_name = file_name or f"{name}.exe"
        target = self.downloads / name / file_name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(installer, target)
        if command_line is None:
            command_line = self.installer_args(name, version=version)
        text = (f"[{name}]\nName={name}\nSize={target.stat().st_size}\nServerFileName={file_name}\n"
                f"URL=http://127.0.0.1:9/{file_name}\nCommandLine={command_line}\n")
        if detect:
            text += f"RegistryKey={self.state_key}\\{detect_as or name}\\Version\nVersion={version}\n"
        else:
            text += f"RegistryKey={self.state_key}\\Never\\Version\n"
        self.sections.append(text + keys)
        return target

    def write(self):
        config = (f"[General]\r\nID={self.id}\r\nApplicationName=Tool\r\nURL=http://127.0.0.1:9/updates.ini\r\n"
                  f"AppDir={self.win(self.folder)}\r\nDownloadsFolder={self.win(self.downloads)}\r\n")
        if self.flags:
            config += f"Flags={self.flags}\r\n"
        (self.folder / "updater.ini").write_text(config, encoding="latin-1")
        text = ";kxw;\n" + "".join(self.sections)
        (self.folder / "updates.ini").write_bytes(text.replace("\n", "\r\n").encode("latin-1"))

    def run(self, *options, tool=None, timeout=180, env=None):
        self.write()
        tool = tool or self.wine.build_dir / "tools" / "installphase.exe"
        args = [str(tool), *options, "--log", self.win(self.folder / "phase.log"),
                self.win(self.folder / "updater.ini"), self.win(self.folder / "updates.ini")]
        proc = self.wine.wine(args, timeout=timeout, extra_env=env)
        return PhaseResult(proc.stdout.decode(errors="replace") + proc.stderr.decode(errors="replace"))

    def ran(self):
        return self.order.read_text().split() if self.order.exists() else []

    def installed_value(self, name):
        rc, out = self.wine.reg_query(rf"{self.state_key}\{name}", "Version")
        return out.split()[-1] if rc == 0 and "Version" in out else None


class PhaseResult:
    def __init__(self, out):
        self.out = out
        found = re.search(r"result=0x([0-9A-F]{8})", out)
        self.result = int(found.group(1), 16) if found else None
        self.status = {m.group(1): int(m.group(2), 16) for m in re.finditer(r"^update (.+) 0x([0-9A-F]{8})\r?$", out, re.M)}
        self.events = [line.strip() for line in out.splitlines() if line.startswith(("begin", "end", "error"))]

    def __repr__(self):
        return self.out


@pytest.fixture
def phase(wine):
    folder = wine.apps_root / ("inst-" + uuid.uuid4().hex[:10])
    folder.mkdir(parents=True)
    made = Phase(wine, folder)
    yield made
    wine.reg_delete(made.state_key)
    wine.reg_delete(f"{PRODUCT_ROOT}\\{made.id}")
    shutil.rmtree(folder, ignore_errors=True)


def build_msi(folder, state_key, version, name="msi"):
    """A Windows Installer package (wixl) that writes `state_key`\\Tool\\Version for the current user."""
    key = state_key.split("\\", 1)[1] + "\\Tool"
    product_id = str(uuid.uuid4()).upper()
    wxs = f'''<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{product_id}" Name="Kestrune Test Tool" Language="1033" Version="{version}" Manufacturer="Velmora Test"
           UpgradeCode="{str(uuid.uuid4()).upper()}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perUser"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Component Id="State" Guid="{str(uuid.uuid4()).upper()}">
        <RegistryValue Root="HKCU" Key="{key}" Name="Version" Type="string" Value="{version}" KeyPath="yes"/>
      </Component>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="State"/></Feature>
  </Product>
</Wix>
'''
    source = pathlib.Path(folder) / f"{name}.wxs"
    source.write_text(wxs)
    target = pathlib.Path(folder) / f"{name}.msi"
    subprocess.run(["wixl", "-o", str(target), str(source)], check=True, capture_output=True, timeout=60)
    return target, product_id
