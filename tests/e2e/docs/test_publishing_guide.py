"""The publisher's guide cannot drift from the product: every example file under docs/examples is read
by the product's own readers, the guide shows each file exactly as it is, its worked example is run
on the whole road against a local server, and its table of result codes says what the product says."""
import datetime
import hashlib
import json
import pathlib
import re
import shutil
import subprocess
import time
import uuid

import pytest

import servers
from road import PRODUCT_ROOT, Road
from signing import SigningMaterial, trusted_root_of

ROOT = pathlib.Path(__file__).resolve().parents[3]
DOCS = ROOT / "docs"
EXAMPLES = DOCS / "examples"
GUIDE = DOCS / "publishing.md"
UP_TO_DATE = 0xE0000011


def examples(pattern):
    found = sorted(EXAMPLES.glob(pattern))
    assert found, f"no docs/examples/{pattern}"
    return found


@pytest.fixture
def folder(wine):
    made = wine.new_app_folder("docs-" + uuid.uuid4().hex[:10])
    yield made
    shutil.rmtree(made, ignore_errors=True)


def read_catalogue(wine, folder, client, catalogue):
    """The catalogue tool's view of a catalogue file read with a client configuration."""
    shutil.copy2(client, folder / "updater.ini")
    if catalogue.parent != folder:
        shutil.copy2(catalogue, folder / catalogue.name)
    result = wine.run_exe(wine.build_dir / "tools" / "catalogue.exe",
                          f'"{wine.windows_path(folder / "updater.ini")}" "{wine.windows_path(folder / catalogue.name)}"')
    return result.stdout


def records(out):
    return [line.split("|")[0][len("record "):] for line in out.splitlines() if line.startswith("record ")]


def test_every_example_loads_with_the_products_readers(wine, http, folder):
    # Client configurations: loaded and complete.
    for client in examples("client-*.ini"):
        catalogue = EXAMPLES / ("releases-example.json" if "github" in client.name else "updates-first.ini")
        out = read_catalogue(wine, folder, client, catalogue)
        assert "settings=0x00000000 valid=0x00000000" in out, f"{client.name}:\n{out}"
        assert "load=0x00000000" in out and records(out), f"{client.name}:\n{out}"
    # Updates configuration files: every section read.
    for catalogue in examples("updates-*.ini"):
        out = read_catalogue(wine, folder, EXAMPLES / "client-full.ini", catalogue)
        sections = re.findall(r"^\[(.+)\]\s*$", catalogue.read_text(encoding="latin-1"), re.M)
        assert "load=0x00000000" in out, f"{catalogue.name}:\n{out}"
        assert records(out) == [s for s in sections if s != "General"], f"{catalogue.name}:\n{out}"
    # Release lists: the published releases only.
    for listing in examples("releases-*.json"):
        out = read_catalogue(wine, folder, EXAMPLES / "client-github.ini", listing)
        published = [r["node_id"] for r in json.loads(listing.read_text(encoding="utf-8"))
                     if r.get("draft") is not True and r.get("prerelease") is not True]
        assert "load=0x00000000" in out and records(out) == published, f"{listing.name}:\n{out}"
    # The asset file, downloaded from a release as the product does it.
    asset = EXAMPLES / "morvask_update.json"
    http.add("/docs/morvask_update.json", servers.Resource(asset.read_bytes()))
    http.add("/docs/tool.msi", servers.Resource(b"msi"))
    base = f"http://127.0.0.1:{http.port}/docs"
    keys = json.loads(asset.read_text(encoding="utf-8"))
    installer = keys.get("ServerFileName", "tool.msi")
    listing = folder / "releases-with-asset.json"
    listing.write_text(json.dumps([{"node_id": "RE_docs", "tag_name": "v1.0", "assets": [
        {"name": installer, "size": 3, "browser_download_url": f"{base}/tool.msi"},
        {"name": "morvask_update.json", "browser_download_url": f"{base}/morvask_update.json"}]}]), encoding="utf-8")
    out = read_catalogue(wine, folder, EXAMPLES / "client-github.ini", listing)
    assert "load=0x00000000" in out and records(out) == ["RE_docs"], out
    assert len(http.requests_for("/docs/morvask_update.json")) == 1


def test_the_guide_shows_every_example_as_it_is():
    guide = GUIDE.read_text(encoding="utf-8")
    shown = {}
    for match in re.finditer(r"docs/examples/([\w.-]+)[^\n]*\n+```[\w-]*\n(.*?)```", guide, re.S):
        shown.setdefault(match.group(1), match.group(2))
    files = sorted(p.name for p in EXAMPLES.iterdir())
    assert sorted(shown) == files, "every example file is shown in the guide, and only those"
    for name, block in shown.items():
        text = (EXAMPLES / name).read_bytes().decode("utf-8").replace("\r\n", "\n")
        assert block == text, f"the guide's docs/examples/{name} differs from the file"
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert "docs/publishing.md" in readme
    # The registration file is the README's.
    registration = (EXAMPLES / "com-server.reg").read_bytes().decode("utf-8").replace("\r\n", "\n")
    assert registration.startswith("Windows Registry Editor Version 5.00\n")
    assert registration.strip() in readme


def test_the_result_code_table_says_what_the_product_says(wine):
    out = wine.run_exe(wine.build_dir / "tools" / "resultcodes.exe").stdout
    product = dict(line.split("\t", 1) for line in out.splitlines() if line.startswith("0x"))
    assert len(product) == 0x37
    guide = GUIDE.read_text(encoding="utf-8")
    section = guide.split("## Result codes", 1)[1]
    table = {}
    for row in re.finditer(r"^\| `(0x[0-9A-F]{8})` \| [^|]* \| ([^|]*) \|", section, re.M):
        table[row.group(1)] = row.group(2).strip().replace("\\|", "|")
    assert sorted(table) == sorted(product), "every code of the product, once"
    for code, text in product.items():
        assert table[code] == text.strip(), code


def results_layout_in_the_guide():
    """The value names of each key in the guide's "reg query" of the Results key, by subkey."""
    text = GUIDE.read_text(encoding="utf-8")
    block = text[text.index('C:\\> reg query "HKCU\\Software\\Velmora'):]
    block = block[:block.index("```")]
    layout, current = {}, None
    for line in block.splitlines()[1:]:
        if line.startswith("HKEY_CURRENT_USER"):
            current = line.split("\\Results", 1)[1].lstrip("\\")
            layout[current] = set()
        elif line.strip() and current is not None:
            layout[current].add(line.split()[0])
    return layout


def test_the_worked_example_installs_on_the_whole_road(wine, http):
    """docs/examples/client-first.ini and updates-first.ini, with the local server in place of
    downloads.example.com and the real size and hash of the installer built from the demo's source."""
    folder = wine.new_app_folder("docs-road-" + uuid.uuid4().hex[:8])
    build = folder.parent / (folder.name + "-msi")
    build.mkdir()
    msi = build / "acmetool-1.2.msi"
    subprocess.run(["wixl", "-o", str(msi), str(ROOT / "demo" / "publisher" / "acmetool-1.2.wxs")], check=True,
                   capture_output=True, timeout=120)
    data = msi.read_bytes()
    server = f"http://127.0.0.1:{http.port}"
    client = (EXAMPLES / "client-first.ini").read_text(encoding="latin-1")
    client_id = re.search(r"^ID=(.+?)\s*$", client, re.M).group(1)
    (folder / "updater.ini").write_text(client.replace("https://downloads.example.com", server), encoding="latin-1")
    catalogue = (EXAMPLES / "updates-first.ini").read_text(encoding="latin-1")
    catalogue = re.sub(r"^Size=.*$", f"Size={len(data)}", catalogue, flags=re.M)
    catalogue = re.sub(r"^SHA256=.*$", f"SHA256={hashlib.sha256(data).hexdigest().upper()}", catalogue, flags=re.M)
    url = re.search(r"^URL=https://downloads\.example\.com(\S+)$", catalogue, re.M).group(1)
    updates = re.search(r"^URL=https://downloads\.example\.com(\S+)\s*$", client, re.M).group(1)
    http.add(url, servers.Resource(data))
    http.add(updates, servers.Resource(catalogue.replace("https://downloads.example.com", server).encode("latin-1")))
    road = Road(wine, folder, http)
    road.id = client_id
    installed = r"HKLM\Software\Acme\Tool"
    wine.reg_delete(f"{PRODUCT_ROOT}\\{client_id}")
    wine.reg_delete(installed)
    try:
        assert road.run("/set loglevel Error|Info|Debug|Trace").code == 0
        assert road.run("/justcheck").code == 0, road.log()[-3000:]
        assert road.run("/silentall -nogui -nofreqcheck").code == 0, road.log()[-3000:]
        road.wait_for_copy_to_end(timeout=240)
        assert road.copy_result() == 0, road.log()[-3000:]
        code, value = wine.reg_query(installed, "Version")
        assert code == 0 and "1.2" in value, value
        assert road.run("/justcheck").code == UP_TO_DATE
        # The machine's record has the layout "Reading results" shows.
        results = wine.reg_tree(rf"{PRODUCT_ROOT}\{client_id}\Results")
        assert results[""]["LastCheckResult"] == UP_TO_DATE and results[""]["LastInstallResult"] == 0
        assert {key: set(values) for key, values in results.items()} == results_layout_in_the_guide()
    finally:
        wine.wine(["msiexec", "/x", wine.windows_path(msi), "/qn"], timeout=180)
        wine.reg_delete(installed)
        wine.reg_delete(f"{PRODUCT_ROOT}\\{client_id}")
        for candidate in road.copy_folders():
            shutil.rmtree(candidate, ignore_errors=True)
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(build, ignore_errors=True)


def test_the_signing_section_signs_a_file_the_updater_accepts(wine, http, folder, tmp_path):
    """The guide's openssl command, run as written on docs/examples/updates-signed.ini with the tests'
    own publisher certificate; the updater of docs/examples/client-signed.ini, signed by the same
    publisher, accepts the file and refuses it once one byte differs."""
    section = GUIDE.read_text(encoding="utf-8").split("## Signing the updates configuration file", 1)[1]
    command = re.search(r"```sh\n(openssl cms .*?)```", section.split("\n## ", 1)[0], re.S).group(1)
    material = SigningMaterial(tmp_path)
    shutil.copy2(tmp_path / "trusted-root.pem", tmp_path / "chain.pem")  # what leads from the leaf to its root
    valid_until = (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=14)).strftime("%d/%m/%Y")
    server = f"http://127.0.0.1:{http.port}"
    catalogue = (EXAMPLES / "updates-signed.ini").read_text(encoding="latin-1")
    catalogue = re.sub(r"^ValidUntil=.*$", f"ValidUntil={valid_until}", catalogue, flags=re.M)
    (tmp_path / "updates.ini").write_bytes(catalogue.replace("\n", "\r\n").encode("latin-1"))
    subprocess.run(["bash", "-c", command], cwd=tmp_path, check=True, capture_output=True, timeout=60)
    signed = (tmp_path / "updates.ini").read_bytes()
    http.add("/signed-docs/updates.ini", servers.Resource(signed))
    http.add("/signed-docs/updates.ini.p7s", servers.Resource((tmp_path / "updates.ini.p7s").read_bytes()))

    client_id = "DocsSigned" + uuid.uuid4().hex[:8]
    client = (EXAMPLES / "client-signed.ini").read_text(encoding="latin-1")
    client = re.sub(r"^ID=.*$", f"ID={client_id}", client, flags=re.M)
    client = re.sub(r"^URL=.*$", f"URL={server}/signed-docs/updates.ini", client, flags=re.M)
    client = re.sub(r"^DownloadsFolder=.*$", lambda _: f"DownloadsFolder={wine.windows_path(folder / 'downloads')}",
                    client, flags=re.M)
    (folder / "updater.ini").write_text(client.replace("\n", "\r\n"), encoding="latin-1")
    shutil.copy2(material.sign(wine.updater, "publisher", "updater-signed.exe"), folder / "updater.exe")
    road = Road(wine, folder, http)
    try:
        with trusted_root_of(wine, material):
            assert road.run("/set loglevel Error|Info|Debug|Trace").code == 0
            assert road.run("/justcheck").code == 0, road.log()[-3000:]  # Acme Tool 1.2 is not installed here
            assert "The updates configuration file is signed by the publisher (Serial 1796860800" in road.log()
            changed = signed.replace(b"twice as fast", b"twice as slow")
            http.add("/signed-docs/updates.ini", servers.Resource(changed, last_modified=time.time()))
            assert road.run("/justcheck").code == 0xE0000034, road.log()[-3000:]
    finally:
        wine.reg_delete(f"{PRODUCT_ROOT}\\{client_id}")


def test_the_ten_minute_recipe_runs_as_written(wine, http):
    """"Your first update in ten minutes", step by step: the WiX source built with the msitools
    command the guide names, the files saved as the guide shows them, the tool's commands run in the
    publisher's folder, the files served, and the updater's commands run in the application's folder."""
    text = GUIDE.read_text(encoding="utf-8")
    recipe = text[text.index("## Your first update in ten minutes"):]
    recipe = recipe[:recipe.index("\n## ", 10)]
    blocks = re.findall(r"```(\w+)\n(.*?)```", recipe, re.S)
    wxs, updates, client = [body for kind, body in blocks if kind in ("xml", "ini")]
    publish_commands, updater_commands = [body.strip().splitlines() for kind, body in blocks if kind == "bat"]
    server = f"http://127.0.0.1:{http.port}"

    work = wine.new_app_folder("docs-recipe-" + uuid.uuid4().hex[:8])
    app = wine.new_app_folder("docs-recipe-app-" + uuid.uuid4().hex[:8])
    installed = r"HKLM\Software\Acme\Tool"
    client_id = re.search(r"^ID=(.+)$", client, re.M).group(1)
    wine.reg_delete(f"{PRODUCT_ROOT}\\{client_id}")
    wine.reg_delete(installed)
    road = Road(wine, app, http)
    road.id = client_id
    try:
        (work / "acmetool.wxs").write_text(wxs, encoding="utf-8")
        build = re.search(r"`(wixl [^`]+)`", recipe).group(1).split()
        subprocess.run(build, cwd=work, check=True, capture_output=True, timeout=120)
        (work / "updates.ini").write_bytes(updates.replace("\n", "\r\n").encode("latin-1"))
        (work / "updater.ini").write_bytes(client.replace("\n", "\r\n").encode("latin-1"))
        for command in publish_commands:
            words = [word.strip('"') for word in re.findall(r'"[^"]*"|\S+', command)]
            assert words[0] == "kestrune-publish", command
            proc = wine.wine([str(wine.build_dir / "kestrune-publish.exe"), *words[1:]], cwd=work)
            out = proc.stdout.decode("utf-8", errors="replace")
            assert proc.returncode == 0, (command, out, proc.stderr)
        assert "0 error(s), 0 warning(s)" in out

        # The upload: the two files on the publisher's server (here the local one).
        published = (work / "updates.ini").read_bytes().decode("latin-1").replace("https://downloads.example.com", server)
        http.add("/acme/updates.ini", servers.Resource(published.encode("latin-1")))
        http.add("/acme/acmetool-1.2.msi", servers.Resource((work / "acmetool-1.2.msi").read_bytes()))
        (app / "updater.ini").write_bytes(
            (work / "updater.ini").read_bytes().decode("latin-1").replace("https://downloads.example.com", server)
            .encode("latin-1"))

        for command in updater_commands:
            if command.startswith("reg query"):
                results = wine.reg_tree(re.search(r'"([^"]+)"', command).group(1))
                assert results[""]["LastInstallResult"] == 0 and results["Acme Tool 1.2"]["Result"] == 0, results
                continue
            assert command.startswith("updater.exe "), command
            result = road.run(command[len("updater.exe "):])
            if "/justcheck" in command:
                assert result.code == UP_TO_DATE, road.log()[-3000:]
                continue
            assert result.code == 0, (command, road.log()[-3000:])
            if "/silentall" in command:
                road.wait_for_copy_to_end(timeout=240)
                assert road.copy_result() == 0, road.log()[-3000:]
        code, value = wine.reg_query(installed, "Version")
        assert code == 0 and "1.2" in value, value
    finally:
        msi = work / "acmetool-1.2.msi"
        if msi.exists():
            wine.wine(["msiexec", "/x", wine.windows_path(msi), "/qn"], timeout=180)
        wine.reg_delete(installed)
        wine.reg_delete(f"{PRODUCT_ROOT}\\{client_id}")
        for candidate in road.copy_folders():
            shutil.rmtree(candidate, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(app, ignore_errors=True)
