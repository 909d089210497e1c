"""Publisher messages and the found-updates announcement as toasts: the script the stand-in
PowerShell receives for each shape, the seen mark, expiry, the image, the protocol keys and the
round trip of the toast buttons through the registered command."""
import datetime
import hashlib

import servers
from conftest import PRODUCT_ROOT

PROTOCOL = "velmora-morvask-updater2"
UP_TO_DATE = 0xE0000011
SCRIPT_HEAD = ("[Windows.UI.Notifications.ToastNotificationManager, Windows.UI.Notifications, ContentType = WindowsRuntime]"
               " | Out-Null\r\n"
               "[Windows.UI.Notifications.ToastNotification, Windows.UI.Notifications, ContentType = WindowsRuntime]"
               " | Out-Null\r\n"
               "[Windows.Data.Xml.Dom.XmlDocument, Windows.Data.Xml.Dom.XmlDocument, ContentType = WindowsRuntime]"
               " | Out-Null\r\n\r\n")
SCRIPT_TAIL = ("\r\n\"@\r\n\r\n$xml = New-Object Windows.Data.Xml.Dom.XmlDocument\r\n$xml.LoadXml($template)\r\n"
               "$toast = New-Object Windows.UI.Notifications.ToastNotification $xml\r\n"
               "[Windows.UI.Notifications.ToastNotificationManager]::CreateToastNotifier($appId).Show($toast)")


def script(xml, app_id="Acme.Tool"):
    return SCRIPT_HEAD + f"$appId = '{app_id}'\r\n\r\n$template = @\"\r\n" + xml + SCRIPT_TAIL


def escape(text):
    out = ""
    for c in text:
        table = {'"': "&quot;", "&": "&amp;", "'": "&apos;", "<": "&lt;", ">": "&gt;", "$": "&#36;", "`": "&#96;"}
        out += table.get(c, c if 0x20 <= ord(c) < 0x7F else f"&#{ord(c)};")
    return out


def text_only(title, body):
    return ('<toast>\n  <visual>\n    <binding template="ToastText02">\n'
            f'      <text id="1">{title}</text>\n      <text id="2">{body}</text>\n'
            '    </binding>\n  </visual>\n</toast>')


def with_actions(launch, title, body, actions, image=None):
    binding = "ToastImageAndText02" if image else "ToastText02"
    lines = [f'<toast launch="{launch}" activationType="protocol">', '  <visual>', f'    <binding template="{binding}">']
    if image:
        lines.append(f'      <image id="1" src="{image}"/>')
    lines += [f'      <text id="1">{title}</text>', f'      <text id="2">{body}</text>', '    </binding>', '  </visual>',
              '  <actions>']
    lines += [f'    <action activationType="protocol" arguments="{a}" content="{c}"/>' for a, c in actions]
    lines += ['  </actions>', '</toast>']
    return "\n".join(lines)


def same_scripts(actual, expected):
    """Equal lists of scripts; otherwise the first difference, line by line."""
    if actual == expected:
        return True
    import difflib
    for got, wanted in zip(actual, expected):
        if got != wanted:
            diff = difflib.unified_diff(wanted.split("\n"), got.split("\n"), "expected", "received", lineterm="")
            raise AssertionError("\n".join(repr(line) for line in diff))
    raise AssertionError(f"{len(actual)} scripts, expected {len(expected)}")


def message_keys(title, body, date, image="", uri="", button=""):
    keys = f"MessageTitle={title}\r\nMessageBody={body}\r\nMessageExpirationDate={date}\r\n"
    if image:
        keys += f"MessageImageURL={image}\r\n"
    if uri:
        keys += f"MessageURI={uri}\r\nMessageButtonText={button}\r\n"
    return keys


def message_id(*parts):
    return hashlib.sha256("".join(parts).encode("utf-8")).hexdigest().upper()


def day(offset):
    d = datetime.datetime.now(datetime.timezone.utc).date() + datetime.timedelta(days=offset)
    return f"{d.day}/{d.month}/{d.year}"


def registered_command(publisher):
    rc, out = publisher.wine.reg_query(rf"HKCU\Software\Classes\{PROTOCOL}\shell\open\command")
    assert rc == 0, out
    return out.split("REG_SZ", 1)[1].strip()


def activate(publisher, launch):
    """What Windows does with a toast button: the registered command with "%1" replaced, unquoted."""
    command = registered_command(publisher).replace("%1", launch)
    exe, rest = command.split(" ", 1)
    assert exe.lower() == publisher.wine.windows_path(publisher.exe).lower()
    return publisher.run(rest)


def test_each_message_shape_gets_its_template_once_and_again_after_purge(publisher, http):
    title, body = "Tom & Jerry's <news>", 'Say "hi" for $(Get-Date) `n and caf\u00e9'
    keys = message_keys(title, body, day(0))
    publisher.publish(keys)
    assert publisher.run("/justcheck") == UP_TO_DATE
    assert same_scripts(publisher.scripts(), [script(text_only(escape(title), escape(body)))])
    plain_id = message_id(title, body, day(0))
    assert publisher.seen(plain_id)
    # Shown once: the next check shows nothing.
    assert publisher.run("/justcheck") == UP_TO_DATE
    assert len(publisher.scripts()) == 1
    # "purgenotifseen" forgets the mark, through the command prefix as a toast would start it.
    assert publisher.run(f"{PROTOCOL}:/Command purgenotifseen {publisher.id} {plain_id}") == 0
    assert not publisher.seen(plain_id)
    assert publisher.run("/justcheck") == UP_TO_DATE
    assert len(publisher.scripts()) == 2

    # A link: the text with one action, whose launch string is the link prefix and the URI.
    uri = "https://example.invalid/notes?a=1&b=2"
    publisher.publish(message_keys("Notes", "Read them", day(3), uri=uri, button="Open"))
    assert publisher.run("/justcheck") == UP_TO_DATE
    launch = escape(f"{PROTOCOL}:/Link {uri}")
    assert same_scripts(publisher.scripts()[-1:], [script(with_actions(launch, "Notes", "Read them", [(launch, "Open")]))])

    # An image: fetched into the downloads folder, then the image template with the action.
    picture = bytes(range(256)) * 8
    http.add(f"/{publisher.id}/pic.png", servers.Resource(picture, last_modified=1_700_000_000))
    image_url = f"http://127.0.0.1:{http.port}/{publisher.id}/pic.png"
    publisher.publish(message_keys("Look", "A picture", day(3), image=image_url, uri=uri, button="Open"))
    assert publisher.run("/justcheck") == UP_TO_DATE
    image_id = message_id("Look", "A picture", day(3), image_url, uri, "Open")
    local = publisher.downloads / "Messages" / f"{image_id[:10]}_pic.png"
    assert local.read_bytes() == picture
    assert int(local.stat().st_mtime) == 1_700_000_000, "the file carries the server's time"
    image_path = publisher.wine.windows_path(local)
    assert same_scripts(publisher.scripts()[-1:], [script(with_actions(launch, "Look", "A picture", [(launch, "Open")],
                                                           image=escape(image_path)))])
    rc, out = publisher.wine.reg_query(rf"{PRODUCT_ROOT}\{publisher.id}\Messages\Resources", image_path)
    assert rc == 0 and "0x0" in out, out
    # Shown again after the purge: the unchanged image is not sent again (not modified).
    requests_before = len(http.requests_for(f"/{publisher.id}/pic.png"))
    publisher.run(f"{PROTOCOL}:/Command purgenotifseen {publisher.id} {image_id}")
    mtime = local.stat().st_mtime
    assert publisher.run("/justcheck") == UP_TO_DATE
    requests = http.requests_for(f"/{publisher.id}/pic.png")
    assert len(requests) == requests_before + 1 and requests[-1].headers.get("If-Modified-Since")
    assert local.stat().st_mtime == mtime and local.read_bytes() == picture


def test_expired_failed_and_missing_image_messages(publisher, http):
    # Expired yesterday: never shown, its image never fetched.
    http.add(f"/{publisher.id}/old.png", servers.Resource(b"old"))
    old_image = f"http://127.0.0.1:{http.port}/{publisher.id}/old.png"
    publisher.publish(message_keys("Old", "news", day(-1), image=old_image))
    assert publisher.run("/justcheck") == UP_TO_DATE
    assert publisher.scripts() == [] and http.requests_for(f"/{publisher.id}/old.png") == []

    # A failing script: logged with its output, the message stays unseen and comes again.
    publisher.standin(1, "toast runtime missing")
    publisher.publish(message_keys("Fresh", "news", day(0)))
    assert publisher.run("/justcheck") == UP_TO_DATE
    fresh_id = message_id("Fresh", "news", day(0))
    assert not publisher.seen(fresh_id)
    assert ("Unable to execute toast notification powershell script. PowerShell output: toast runtime missing"
            in publisher.log())
    publisher.standin(0)
    assert publisher.run("/justcheck") == UP_TO_DATE
    assert len(publisher.scripts()) == 2 and publisher.seen(fresh_id)

    # An image the server does not have: the message goes out without it and no part file stays.
    missing = f"http://127.0.0.1:{http.port}/{publisher.id}/missing.png"
    publisher.publish(message_keys("Gone", "picture", day(1), image=missing))
    assert publisher.run("/justcheck") == UP_TO_DATE
    assert same_scripts(publisher.scripts()[-1:], [script(text_only("Gone", "picture"))])
    assert list((publisher.downloads / "Messages").glob("*")) == []


def test_found_updates_announcement_round_trip_and_clean_up(publisher, http):
    sections = ("[Tool Pro]\r\nName=Tool Pro\r\nVersion=2.0\r\nSize=1536\r\nURL=http://127.0.0.1:9/x.exe\r\n"
                "RegistryKey=HKCU\\Software\\KestruneE2E\\Absent\\Version\r\n")
    publisher.publish(sections=sections)
    notepad = r"C:\windows\system32\hostname.exe"
    assert publisher.run(f"/justcheck -restartapp {notepad}") == 0
    title, body = "Found Updates for Tool", "Tool Pro 2.0. Update size: 1 KB"
    announcement = message_id(title, body, "", "Install")
    exe = publisher.wine.windows_path(publisher.exe)
    install = f'{PROTOCOL}:/Link "{exe}" /checknow'
    remind = f"{PROTOCOL}:/Command purgenotifseen {publisher.id} {announcement}"
    shown = publisher.scripts()
    assert same_scripts(shown, [script(with_actions(escape(install), title, body,
                                                    [(escape(install), "Install"), (escape(remind), "Remind me later")]))])
    assert publisher.seen(announcement)

    # The protocol keys, exactly.
    root = rf"HKCU\Software\Classes\{PROTOCOL}"
    rc, out = publisher.wine.reg_query(root)
    assert rc == 0 and f"URL:{PROTOCOL}" in out and "URL Protocol" in out, out
    assert registered_command(publisher) == f"{exe} %1"

    # "Remind me later" through the registered command forgets the mark; the next check announces again.
    assert activate(publisher, remind) == 0
    assert not publisher.seen(announcement)
    assert publisher.run(f"/justcheck -restartapp {notepad}") == 0
    assert len(publisher.scripts()) == 2
    # "Install" starts an interactive check (nothing applies any more: it ends up to date).
    publisher.publish()
    assert activate(publisher, install) == 0
    deadline = __import__("time").time() + 60
    while "Updater finished. Mode: 0. Return code: 3758096401" not in publisher.log():
        assert __import__("time").time() < deadline, publisher.log()[-2000:]
        __import__("time").sleep(0.5)

    # The clean-up removes the message state and the protocol keys.
    assert publisher.run("/clean silent") == 0
    assert publisher.wine.reg_query(root)[0] != 0
    assert publisher.wine.reg_query(rf"{PRODUCT_ROOT}\{publisher.id}\Messages")[0] != 0
