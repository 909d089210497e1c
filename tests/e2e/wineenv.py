"""Runs Windows programs of the build tree under Wine with the project's own prefix."""
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import uuid


class RunResult:
    def __init__(self, code, stdout, stderr):
        self.code = code
        self.stdout = stdout
        self.stderr = stderr

    def __repr__(self):
        return f"RunResult(code=0x{self.code:X})" if self.code is not None else "RunResult(code=None)"


class WineEnv:
    def __init__(self, build_dir, source_dir):
        self.build_dir = pathlib.Path(build_dir).resolve()
        self.source_dir = pathlib.Path(source_dir).resolve()
        self.wine_run = self.source_dir / "cmake" / "wine-run.sh"
        self.prefix = self.build_dir / "wineprefix"
        self.updater = self.build_dir / "updater.exe"
        self.runexe = self.build_dir / "tools" / "runexe.exe"
        self.apps_root = self.prefix / "drive_c" / "e2e"

    @classmethod
    def from_environment(cls):
        here = pathlib.Path(__file__).resolve()
        source = os.environ.get("UPDATER_SOURCE_DIR", str(here.parents[2]))
        build = os.environ.get("UPDATER_BUILD_DIR", str(pathlib.Path(source) / "build"))
        return cls(build, source)

    def env(self):
        env = dict(os.environ)
        env["UPDATER_BUILD_DIR"] = str(self.build_dir)
        for name in list(env):
            if name.lower().endswith("_proxy"):
                del env[name]
        return env

    def ensure_prefix(self):
        """Creates the prefix once and keeps its wineserver alive between the many short runs of
        the suite (it exits by itself 20 s after the last program ends); a fresh wineserver per
        run costs seconds. The prefix's background programs start with this first run, so that
        they do not hold the output pipes of a later run open."""
        self.wine(["cmd", "/c", "exit"], timeout=300)
        env = self.env()
        env["WINEPREFIX"] = str(self.prefix)
        subprocess.run(["wineserver", "-p20"], env=env, timeout=30, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wine(self, args, timeout=120, check=False, extra_env=None, cwd=None):
        env = self.env()
        if extra_env:
            env.update(extra_env)
        # Output goes to files, not pipes: a Wine background service started on demand by the
        # program (the RPC or crypt services, say) inherits its handles and outlives it, and would
        # hold a pipe open long after the program itself has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            completed = subprocess.run([str(self.wine_run), *args], env=env, stdout=out, stderr=err,
                                       stdin=subprocess.DEVNULL, timeout=timeout, cwd=cwd)
            out.seek(0)
            err.seek(0)
            proc = subprocess.CompletedProcess(completed.args, completed.returncode, out.read(), err.read())
        if check and proc.returncode != 0:
            raise RuntimeError(f"wine {args} failed: {proc.stderr.decode(errors='replace')}")
        return proc

    def windows_path(self, path):
        """The Windows form of a Linux path inside the prefix's drive C, or Z: elsewhere."""
        path = pathlib.Path(path).resolve()
        drive_c = (self.prefix / "drive_c").resolve()
        try:
            rel = path.relative_to(drive_c)
            return "C:\\" + str(rel).replace("/", "\\")
        except ValueError:
            return "Z:" + str(path).replace("/", "\\")

    def new_app_folder(self, name=None):
        folder = self.apps_root / (name or uuid.uuid4().hex[:12])
        if folder.exists():
            shutil.rmtree(folder)
        folder.mkdir(parents=True)
        shutil.copy2(self.updater, folder / "updater.exe")
        return folder

    def run_exe(self, exe, args="", timeout=120):
        """Starts a Windows program through the launcher and returns its full 32-bit exit code."""
        command = f'"{self.windows_path(exe)}"'
        if args:
            command += " " + args
        proc = self.wine([str(self.runexe)], timeout=timeout, extra_env={"RUNEXE_COMMAND": command})
        out = proc.stdout.decode(errors="replace")
        match = re.search(r"exit=(\d+)", out)
        code = int(match.group(1)) if match else None
        return RunResult(code, out, proc.stderr.decode(errors="replace"))

    def reg_query(self, key, value=None, view32=True):
        args = ["reg", "query", key]
        if value is not None:
            args += ["/v", value]
        if view32:
            args.append("/reg:32")
        proc = self.wine(args)
        return proc.returncode, proc.stdout.decode(errors="replace")

    def reg_add(self, key, value, data, kind="REG_SZ", view32=True):
        args = ["reg", "add", key, "/v", value, "/t", kind, "/d", str(data), "/f"]
        if view32:
            args.append("/reg:32")
        return self.wine(args, check=True)

    def reg_tree(self, key):
        """Every value below an HKCU `key` (32-bit view), by subkey path relative to it ("" for the key
        itself): numbers as int, binary values as the Unix time of the file time they hold, strings
        as they are. None when the key does not exist."""
        proc = self.wine(["reg", "query", key, "/s", "/reg:32"])
        if proc.returncode != 0:
            return None
        full = "HKEY_CURRENT_USER" + key[len("HKCU"):]
        tree, current = {}, None
        for line in proc.stdout.decode(errors="replace").splitlines():
            if line.upper().startswith("HKEY_"):
                current = line.strip()[len(full):].lstrip("\\")
                tree.setdefault(current, {})
                continue
            match = REG_VALUE_LINE.match(line)
            if match and current is not None:
                name, kind, data = match.groups()
                data = data.strip()
                tree[current][name] = (int(data, 16) if kind == "REG_DWORD" else
                                       unix_time(data) if kind == "REG_BINARY" else data)
        return tree

    def reg_delete(self, key, view32=True):
        args = ["reg", "delete", key, "/f"]
        if view32:
            args.append("/reg:32")
        return self.wine(args)


FILE_TIME_EPOCH = 11644473600  # seconds from 1601 to 1970
REG_VALUE_LINE = re.compile(r"^\s+(\S+)\s+(REG_\w+)\s*(.*)$")


def unix_time(file_time_hex):
    """The Unix time of a file time as "reg query" shows a REG_BINARY value of its 8 bytes."""
    return int.from_bytes(bytes.fromhex(file_time_hex), "little") / 10_000_000 - FILE_TIME_EPOCH


def read_log(path):
    data = pathlib.Path(path).read_bytes()
    if data[:2] == b"\xff\xfe":
        data = data[2:]
    return data.decode("utf-16-le", errors="replace")
