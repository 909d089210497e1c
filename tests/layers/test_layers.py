"""The layers of the product cannot tangle: every #include in src/ names a header of the file's own
layer, of a layer it links in src/CMakeLists.txt (directly or through the layers below), or of the
resources. The allowed arrows are read from the updater_layer(...) lines, so the build and this
check can never disagree."""
import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
SHARED = {"resources"}  # string ids and dialog ids, usable from every layer


def declared_layers(cmake_text):
    """{layer: [layers it links]} from the updater_layer(name deps...) lines."""
    return {m.group(1): m.group(2).split() for m in re.finditer(r"^updater_layer\((\w+)((?:\s+\w+)*)\)", cmake_text, re.M)}


def allowed(layers, name, seen=None):
    seen = set() if seen is None else seen
    if name not in seen:
        seen.add(name)
        for below in layers[name]:
            allowed(layers, below, seen)
    return seen


def violations(src):
    layers = declared_layers((src / "CMakeLists.txt").read_text())
    found = []
    for folder in sorted(p for p in src.iterdir() if p.is_dir()):
        if folder.name in SHARED:
            continue
        if folder.name not in layers:
            found.append(f"{folder.relative_to(src)}: a folder that is not a declared layer")
            continue
        permitted = allowed(layers, folder.name) | SHARED
        for path in sorted(folder.rglob("*")):
            if path.suffix not in (".cpp", ".h"):
                continue
            for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                include = re.match(r'\s*#\s*include\s+"([A-Za-z_]+)/', line)
                if include and (src / include.group(1)).is_dir() and include.group(1) not in permitted:
                    found.append(f"{path.relative_to(src)}:{number}: {folder.name} may not use {include.group(1)}: "
                                 f"{line.strip()}")
    return found


def test_no_file_includes_a_layer_it_may_not_use():
    layers = declared_layers((SRC / "CMakeLists.txt").read_text())
    assert {"base", "app"} <= set(layers), "the layer lines were not found"
    assert layers["base"] == [], "the base layer uses nothing"
    assert violations(SRC) == []


def test_the_check_catches_an_include_upwards_and_an_undeclared_folder(tmp_path):
    (tmp_path / "CMakeLists.txt").write_text("updater_layer(base)\nupdater_layer(ui base)\nupdater_layer(app ui)\n")
    for name, text in {"base/a.h": '#include "base/b.h"\n#include "ui/page.h"\n',
                       "ui/page.cpp": '#include "base/a.h"\n#include "resources/string_ids.h"\n',
                       "app/main.cpp": '#include "ui/page.h"\n#include "base/a.h"\n',
                       "resources/string_ids.h": "", "stray/x.cpp": ""}.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    found = violations(tmp_path)
    assert found == ["base/a.h:2: base may not use ui: #include \"ui/page.h\"",
                     "stray: a folder that is not a declared layer"]
