"""The support service's registration through the real service control manager of the prefix:
"/installservice", "/configservice -name" and "/uninstallservice"."""
import uuid

SERVICE_ACCESS = 0xE000001B


def query(wine, name):
    proc = wine.wine([str(wine.build_dir / "tools" / "svcquery.exe"), name])
    return dict(line.split("=", 1) for line in proc.stdout.decode("utf-8", errors="replace").splitlines() if "=" in line)


def test_install_config_and_uninstall_the_support_service(wine, workdir):
    name = "E2ESupport" + uuid.uuid4().hex[:8]
    (workdir / "updater.ini").write_text(f"[General]\r\nID={name}\r\nApplicationName=Tool\r\nSupportServiceName={name}\r\n",
                                         encoding="latin-1")
    exe = wine.windows_path(workdir / "updater.exe")
    try:
        assert wine.run_exe(workdir / "updater.exe", "/installservice").code == 0
        service = query(wine, name)
        assert service["name"] == name
        # The program's path is quoted: a path with blanks is never read as a shorter program.
        assert service["binary"] == f'"{exe}" /runservice'
        assert service["type"] == "16 start=3 error=1 account=LocalSystem"  # own process, on demand, normal
        assert service["description"] == "updater support service"
        # Granting access to a service that does not exist fails and creates nothing.
        missing = "E2EMissing" + uuid.uuid4().hex[:8]
        assert wine.run_exe(workdir / "updater.exe", f"/configservice -name {missing}").code == SERVICE_ACCESS
        assert query(wine, missing) == {"error": "1060"}
        assert wine.run_exe(workdir / "updater.exe", f"/configservice -name {name}").code == 0
        assert query(wine, name)["binary"] == f'"{exe}" /runservice', "the grant changes nothing else"
    finally:
        assert wine.run_exe(workdir / "updater.exe", "/uninstallservice").code == 0
    assert query(wine, name) == {"error": "1060"}
    # Without a service there is nothing to remove: the Windows error says so.
    assert wine.run_exe(workdir / "updater.exe", "/uninstallservice").code == 1060
