"""qvtools against the real scratch prefix: every method, its errors, a batch
of 1,000 requests; effects checked with Wine's own reg and the prefix's
dosdevices."""
import os
import pathlib
import tempfile

import pytest

import qvtools
from qvtools import NotFound, QvError, Refused, ServerGone, UsageError, calls
from conftest import wine_reg_query

KEY = r"HKCU\Software\QvTest\Python"


def test_values_of_every_type_round_trip_and_wine_sees_them(prefix, prefix_path):
    prefix.reg_rm(KEY)
    prefix.reg_set(KEY, "Text", "sz", "Grüße\nzwei")
    prefix.reg_set(KEY, "Path", "expand", r"%SystemRoot%\x")
    prefix.reg_set(KEY, "List", "multi", ["a b", 'c"d'])
    prefix.reg_set(KEY, "Count", "dword", 4294967295)
    prefix.reg_set(KEY, "Big", "qword", 2**64 - 1)
    prefix.reg_set(KEY, "Blob", "binary", b"\x00\xff\x10")
    prefix.reg_set(KEY, "-dash", "none", b"")
    prefix.reg_set(KEY, "", "sz", "the default")

    k = prefix.reg_key(KEY)
    assert k.path == r"HKEY_CURRENT_USER\Software\QvTest\Python"
    got = {v.name: v for v in k.values}
    assert got["Text"].data == "Grüße\nzwei" and got["Text"].raw == "Grüße\nzwei\0".encode("utf-16-le")
    assert got["Path"].type == "REG_EXPAND_SZ" and got["Path"].data == r"%SystemRoot%\x"
    assert got["List"].data == ["a b", 'c"d']
    assert got["Count"].data == 4294967295
    assert got["Big"].data == 2**64 - 1 and got["Big"].raw == b"\xff" * 8
    assert got["Blob"].data == b"\x00\xff\x10"
    assert got["-dash"].type == "REG_NONE" and got["-dash"].raw == b""
    assert prefix.reg_value(KEY, "").data == "the default"
    assert k.get("count") is got["Count"]
    assert got["Count"].as_int() == 4294967295 and got["List"].as_list() == ["a b", 'c"d']
    assert got["-dash"].name_bytes == b"-dash" and k.complete
    with pytest.raises(TypeError):
        got["Text"].as_int()

    assert "0xffffffff" in wine_reg_query(prefix_path, KEY, "Count")  # Wine's reg shows no QWORD data
    assert "00FF10" in wine_reg_query(prefix_path, KEY, "Blob")

    prefix.reg_rm_value(KEY, "Count")
    with pytest.raises(NotFound) as e:
        prefix.reg_value(KEY, "Count")
    assert (e.value.kind, e.value.code, e.value.exit) == ("win32", 2, 1)
    prefix.reg_rm(KEY)
    with pytest.raises(NotFound) as e:
        prefix.reg_key(KEY)
    assert e.value.code == 2 and "no such key" in e.value.message


def test_the_32_bit_view_and_subtrees(prefix, prefix_path):
    key = r"HKLM\Software\QvTest\Python32"  # HKLM\Software has two views; HKCU\Software one
    prefix.reg_set(key + r"\Sub", "Only32", "sz", "thirty-two", view32=True)
    assert "thirty-two" in wine_reg_query(prefix_path, key + r"\Sub", "Only32", view32=True)
    with pytest.raises(QvError):
        prefix.reg_value(key + r"\Sub", "Only32")
    tree = prefix.reg_tree(key, view32=True)
    assert [t.path for t in tree] == [r"HKEY_LOCAL_MACHINE\Software\QvTest\Python32",
                                      r"HKEY_LOCAL_MACHINE\Software\QvTest\Python32\Sub"]
    assert tree[-1].get("Only32").data == "thirty-two"
    prefix.reg_rm(key, view32=True)


def test_bad_input_raises_with_the_kind_and_changes_nothing(prefix):
    prefix.reg_rm(KEY)
    cases = [
        (calls.reg_key(r"HKCC\Software"), UsageError, 2),
        (calls.reg_set(KEY, "x", "dword", "twelve"), UsageError, 2),
        (calls.reg_set(KEY, "x", "nosuchtype", "1"), UsageError, 2),
        (calls.drive_rm("1"), UsageError, 2),
        (calls.folder("nosuchfolder"), UsageError, 2),
        (calls.find(r"C:\nosuchdir\*"), NotFound, 1),
        (calls.dll_override("qvnosuchdll"), NotFound, 1),
        (calls.drive_rm("C"), Refused, 1),
    ]
    for call, cls, code in cases:
        with pytest.raises(cls) as e:
            prefix.call(call)
        assert e.value.exit == code, (call.argv, e.value.message)
        assert e.value.message and "errno" not in e.value.message
    with pytest.raises(QvError):
        prefix.reg_key(KEY)  # nothing was written by the refused set


def test_paths_drives_and_folders(prefix, prefix_path):
    dosdevices = os.path.join(prefix_path, "dosdevices")
    assert prefix.unix_path("C:\\windows\\") == dosdevices + "/c:/windows/"
    assert prefix.windows_path(pathlib.Path("/tmp")) == "Z:\\tmp"
    assert prefix.windows_dir() == "C:\\windows"
    assert prefix.system_dir() == "C:\\windows\\system32"
    assert prefix.env("SystemRoot") == "C:\\windows"
    assert prefix.expand("%SystemRoot%\\x;%QV_NO_SUCH%;100%") == "C:\\windows\\x;%QV_NO_SUCH%;100%"
    assert prefix.folder("AppData").endswith("\\AppData\\Roaming")
    names = {e.name: e.directory for e in prefix.find("C:\\windows\\*")}
    assert names.get("system32") is True and names.get("notepad.exe") is False

    with tempfile.TemporaryDirectory() as d:
        added = prefix.drive_add(pathlib.Path(d))
        letter = added.letter
        link = os.path.join(dosdevices, letter.lower() + ":")
        assert os.readlink(link) == d and added.new
        assert prefix.drive_add(d + "/") == qvtools.DriveAdded(letter, d, False)  # one folder, one letter
        assert any(x.letter == letter and x.target == d for x in prefix.drives())
        prefix.drive_rm(letter)
        assert not os.path.lexists(link)
    with pytest.raises(QvError) as e:
        prefix.drive_rm("C")
    assert e.value.kind == "failed" and os.path.lexists(os.path.join(dosdevices, "c:"))


def test_export_then_import_elsewhere(prefix, tmp_path):
    prefix.reg_set(KEY + r"\Tree\Leaf", "Name", "sz", "leaf")
    file = tmp_path / "tree.reg"
    ex = prefix.reg_export(KEY + r"\Tree", file)
    assert (ex.keys, ex.values, ex.complete) == (2, 1, True)
    assert open(file, "rb").read().startswith(b"\xff\xfe")
    im = prefix.reg_import(file, to=KEY + r"\Copy")
    assert (im.keys, im.values_set, im.failures) == (2, 1, [])
    assert prefix.reg_value(KEY + r"\Copy\Leaf", "Name").data == "leaf"
    prefix.reg_rm(KEY)


def test_a_batch_of_a_thousand_requests(prefix, prefix_path):
    key = KEY + r"\Batch"
    sets = [calls.reg_set(key, f"v{i}", "dword", i) for i in range(500)]
    sets.insert(250, calls.reg_set(key, "bad", "dword", "not a number"))
    done = prefix.batch(sets)
    assert len(done) == 501
    assert isinstance(done[250], QvError) and done[250].exit == 2
    assert all(r is None for i, r in enumerate(done) if i != 250)
    reads = prefix.batch([calls.reg_value(key, f"v{i}") for i in range(499)])
    assert [v.data for v in reads] == list(range(499))
    assert "0x1f3" in wine_reg_query(prefix_path, key, "v499")
    assert len(prefix.reg_key(key).values) == 500
    # raise_on_error: every call runs, then the first failure is raised.
    prefix.reg_rm(key)
    sets[250], sets[-1] = sets[-1], sets[250]
    with pytest.raises(UsageError) as e:
        prefix.batch(sets, raise_on_error=True)
    assert "not a number" in e.value.message
    assert len(prefix.reg_key(key).values) == 500
    assert prefix.batch([calls.reg_value(key, "v7")], raise_on_error=True)[0].as_int() == 7
    prefix.reg_rm(KEY)


def test_a_prefix_that_does_not_exist(tmp_path):
    with pytest.raises(ServerGone) as e:
        with qvtools.Prefix(tmp_path / "nowhere", persist=0) as p:
            p.windows_dir()
    assert e.value.kind == "environment" and e.value.exit == 3


def test_windows_version_dll_overrides_and_facts(prefix, prefix_path):
    before = prefix.winver()
    assert qvtools.VersionChoice("win7", "Windows 7") in prefix.winver_list()
    prefix.winver_set("vista")
    assert prefix.winver() == qvtools.WindowsVersion("vista", "registry", True, "6.0", 6002,
                                                     "Microsoft Windows Vista", "WinNT", "Service Pack 2")
    assert "6.0" in wine_reg_query(prefix_path, r"HKLM\Software\Microsoft\Windows NT\CurrentVersion",
                                   "CurrentVersion")
    prefix.winver_set("win7", app="Py.exe")
    assert (prefix.winver(app="py.exe").version, prefix.winver(app="py.exe").source) == ("win7", "app")
    with pytest.raises(QvError) as e:
        prefix.winver_set("win96")
    assert e.value.exit == 2
    prefix.winver_set(before.version)

    prefix.dll_set("qvpydll.dll", "b,n")
    assert "builtin,native" in wine_reg_query(prefix_path, r"HKCU\Software\Wine\DllOverrides", "qvpydll")
    assert prefix.dll_override("QVPYDLL") == qvtools.DllOverride("qvpydll", "builtin,native", "builtin,native")
    assert qvtools.DllOverride("qvpydll", "builtin,native", "builtin,native") in prefix.dll_overrides()
    with pytest.raises(QvError) as e:
        prefix.dll_set("qvpydll", "nativ")
    assert e.value.kind == "usage"
    assert prefix.dll_rm("qvpydll") is True and prefix.dll_rm("qvpydll") is False
    with pytest.raises(QvError) as e:
        prefix.dll_override("qvpydll")
    assert e.value.code == 2

    info = prefix.info()
    assert info.prefix == prefix_path and info.arch == "win64"
    assert info.windows_version == prefix.winver()
    assert info.folders["windows"].windows_path == prefix.windows_dir()
    assert info.folders["windows"].unix_path == prefix.unix_path(prefix.windows_dir())
    assert info.wine and info.needs_update is False
    assert [d.letter for d in info.drives] == [d.letter for d in prefix.drives()]
