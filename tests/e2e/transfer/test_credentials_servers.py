"""The credentials provider of a run against real local servers: remembered pairs are offered in
order before the user is asked, a typed pair can be remembered for the next run, and a proxy that
demands credentials gets them. tests/tools/credtool.exe runs the download engine with the provider."""
import base64
import re
import uuid

import pytest

from servers import Resource

AUTH_REQUIRED = 0xE0000012
NOT_MODIFIED = 0xE0000013
PRODUCT_KEY = r"HKCU\Software\Velmora\Kestrune Updater"


def utf16_hex(text):
    return text.encode("utf-16-le").hex().upper()


class Run:
    def __init__(self, proc):
        self.out = proc.stdout.decode(errors="replace")
        match = re.search(r"result=0x([0-9A-F]+)", self.out)
        assert match, self.out + proc.stderr.decode(errors="replace")
        self.code = int(match.group(1), 16)
        self.prompts = [line[len("prompt "):] for line in self.out.splitlines() if line.startswith("prompt ")]

    def __repr__(self):
        return self.out


@pytest.fixture
def app(wine):
    """An application id of its own in the prefix's registry, removed afterwards."""
    app_id = "CredE2E-" + uuid.uuid4().hex[:8]
    yield app_id
    wine.reg_delete(PRODUCT_KEY + "\\" + app_id)


@pytest.fixture
def credtool(wine):
    tool = wine.build_dir / "tools" / "credtool.exe"
    assert tool.exists(), f"{tool} is missing: build the test tools first"

    def run(*args):
        return wine.wine([str(tool), *[str(a) for a in args]], timeout=180)
    return run


def remember(credtool, app_id, user, password):
    out = credtool("remember", app_id, utf16_hex(user), utf16_hex(password)).stdout.decode()
    return int(re.search(r"result=0x([0-9A-F]+)", out).group(1), 16)


def download(credtool, wine, app_id, destination, url, *options):
    exe_path = f"C:\\Apps\\{uuid.uuid4().hex[:8]}\\updater.exe"  # nothing is handed over to it
    return Run(credtool("download", app_id, exe_path, wine.windows_path(destination), url, *options))


def sent_credentials(server, path, header="Authorization"):
    """The user:password pairs the server received for `path`, in order. WinINet may send a pair
    twice in a row (its own retry after a 401); a repetition counts once."""
    pairs = []
    for request in server.requests_for(path):
        value = request.headers.get(header)
        if value and value.startswith("Basic "):
            pair = base64.b64decode(value[6:]).decode()
            if not pairs or pairs[-1] != pair:
                pairs.append(pair)
    return pairs


def test_second_remembered_pair_is_tried_before_the_dialog(wine, http, app, folder, credtool):
    content = bytes(range(256)) * 80
    path = http.add(f"/{app}/update.bin", Resource(content, mode="auth", user="ann", password="right"))
    assert remember(credtool, app, "ann", "wrong") == 0
    assert remember(credtool, app, "ann", "right") == 0
    assert remember(credtool, app, "ann", "right") == NOT_MODIFIED

    run = download(credtool, wine, app, folder / "update.bin", f"http://127.0.0.1:{http.port}{path}")
    assert run.code == 0, run
    assert run.prompts == []
    assert (folder / "update.bin").read_bytes() == content
    sent = sent_credentials(http, path)
    assert sent[:2] == ["ann:wrong", "ann:right"], sent


def test_dialog_comes_after_every_remembered_pair_failed_and_can_remember(wine, http, app, folder, credtool):
    content = b"protected payload" * 1000
    path = http.add(f"/{app}/f.bin", Resource(content, mode="auth", user="ann", password="typed"))
    assert remember(credtool, app, "ann", "old1") == 0
    assert remember(credtool, app, "ann", "old2") == 0
    url = f"http://127.0.0.1:{http.port}{path}"

    cancelled = download(credtool, wine, app, folder / "a.bin", url)
    assert cancelled.code == AUTH_REQUIRED, cancelled
    assert len(cancelled.prompts) == 1
    assert cancelled.prompts[0] == "host=127.0.0.1 realm=Updates proxy="
    assert sent_credentials(http, path)[:2] == ["ann:old1", "ann:old2"]

    typed = download(credtool, wine, app, folder / "b.bin", url,
                     "--typed", utf16_hex("ann"), utf16_hex("typed"), "--remember")
    assert typed.code == 0, typed
    assert len(typed.prompts) == 1
    assert (folder / "b.bin").read_bytes() == content

    # The next run finds the typed pair among the remembered ones and asks nobody.
    again = download(credtool, wine, app, folder / "c.bin", url)
    assert again.code == 0, again
    assert again.prompts == []
    code, out = wine.reg_query(PRODUCT_KEY + "\\" + app + "\\Settings", "UserDetailsU")
    assert code == 0 and "REG_SZ" in out
    assert "typed" not in out and utf16_hex("typed") not in out


def test_proxy_demanding_credentials_gets_the_remembered_pair(wine, http, app, folder, credtool):
    content = b"through the proxy" * 500
    http.proxy_user, http.proxy_password = "proxyuser", "proxypw"
    try:
        path = http.add(f"/{app}/p.bin", Resource(content))
        target = f"http://origin.invalid{path}"
        proxy = f"127.0.0.1:{http.port}"

        asked = download(credtool, wine, app, folder / "p.bin", target, "--proxy", proxy)
        assert asked.code == AUTH_REQUIRED, asked
        assert asked.prompts == ["host=origin.invalid realm=Proxy proxy=127.0.0.1"]

        assert remember(credtool, app, "proxyuser", "proxypw") == 0
        run = download(credtool, wine, app, folder / "p.bin", target, "--proxy", proxy)
        assert run.code == 0, run
        assert run.prompts == []
        assert (folder / "p.bin").read_bytes() == content
        assert "proxyuser:proxypw" in sent_credentials(http, path, "Proxy-Authorization")
    finally:
        http.proxy_user = None
