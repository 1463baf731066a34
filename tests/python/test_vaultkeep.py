"""The Python binding against the library just built ($VAULTKEEP_LIBRARY; $VAULTKEEP_TOOL is the tool)."""
import ctypes
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import threading

import pytest

import vaultkeep as vk

SECRET = b"app secret"
LIBRARY = ctypes.CDLL(os.environ["VAULTKEEP_LIBRARY"])  # the status names, straight from the library
LIBRARY.VaultkeepStatusName.argtypes, LIBRARY.VaultkeepStatusName.restype = [ctypes.c_int32], ctypes.c_char_p


@pytest.fixture(autouse=True)
def root(monkeypatch):
    with tempfile.TemporaryDirectory(prefix="vktest-py-") as tmp:
        os.mkdir(os.path.join(tmp, "root"), 0o700)
        monkeypatch.setenv("VAULTKEEP_ROOT", os.path.join(tmp, "root"))
        monkeypatch.chdir(tmp)  # archives go here
        yield os.path.join(tmp, "root")


@pytest.fixture
def vault():
    registered = vk.Vault("Mail", SECRET)
    registered.register()
    return registered


def test_story_through_archive_and_restore_under_a_new_secret(vault, root):
    token = os.urandom(1 << 20)
    vault.add_user("alice", "alice pw")
    vault.add_user("bob", "bob pw")
    vault.store("alice", "alice pw", "imap", token, metadata=b"host\0", protected_metadata=bytearray(b"\xffpin"))
    vault.store("alice", "alice pw", "smtp", memoryview(b"other"))
    assert (vault.users(), vault.ids("alice"), vault.ids("bob")) == (["alice", "bob"], ["imap", "smtp"], [])
    assert vault.retrieve("alice", "alice pw", "imap") == token
    assert (vault.metadata("alice", "imap"), vault.protected_metadata("alice", "imap")) == (b"host\0", b"\xffpin")
    assert (vault.metadata("alice", "smtp"), vault.protected_metadata("alice", "smtp")) == (b"", b"")
    vault.delete("alice", "smtp")
    vault.archive("alice", pathlib.Path("alice.zip"), "backup pw")
    vault.unregister()
    with vk.Vault("Mail", bytearray(b"new\0secret")) as renewed:
        renewed.register()
        renewed.restore("alice", "alice.zip", "backup pw")
        assert (renewed.ids("alice"), renewed.retrieve("alice", "alice pw", "imap")) == (["imap"], token)
        renewed.change_password("alice", "alice pw", "alice pw 2")
        renewed.change_secret(b"third secret")
        assert renewed.retrieve("alice", "alice pw 2", "imap") == token
        with pytest.raises(vk.BadApp):
            vk.Vault("Mail", b"new\0secret").users()
        debris = pathlib.Path(root, "ProgramData/Tarnwick Systems Corp/Vaultkeep/Mail/.~debris")
        debris.write_bytes(b"")
        assert renewed.check() == [vk.Finding("temporary", "", ".~debris", "found")]
        assert renewed.check(repair=True) == [vk.Finding("temporary", "", ".~debris", "removed")]
        assert renewed.check() == [] and not debris.exists()
        renewed.delete_user("alice")
        assert renewed.users() == []
        renewed.unregister()
    with pytest.raises(ValueError):
        renewed.users()


@pytest.mark.parametrize("kind, call", [
    (vk.AppAlreadyExists, lambda v: v.register()),
    (vk.BadApp, lambda v: vk.Vault("Mail", b"wrong secret").users()),
    (vk.BadApp, lambda v: vk.Vault("Other", SECRET).ids("alice")),
    (vk.NoUser, lambda v: v.ids("nobody")),
    (vk.CredNotFound, lambda v: v.retrieve("alice", "pw", "nope")),
    (vk.InvalidID, lambda v: v.metadata("alice", "nope")),
    (vk.InvalidID, lambda v: v.store("alice", "pw", "x" * 20, b"")),
    (vk.DecryptFailed, lambda v: v.retrieve("alice", "wrong", "imap")),
    (vk.DecryptFailed, lambda v: v.change_password("alice", "wrong", "new")),
    (vk.DecryptFailed, lambda v: v.restore("bob", "a.zip", "wrong")),
    (vk.UserAlreadyExists, lambda v: v.restore("alice", "a.zip", "backup pw")),
    (vk.InvalidFile, lambda v: v.restore("bob", "missing.zip", "backup pw")),
])  # fmt: skip
def test_each_status_raises_its_subclass(vault, kind, call):
    vault.store("alice", "pw", "imap", b"data")
    vault.archive("alice", "a.zip", "backup pw")
    with pytest.raises(kind) as caught:
        call(vault)
    assert LIBRARY.VaultkeepStatusName(caught.value.status).decode() == caught.value.name


def test_every_status_of_the_library_has_its_subclass():
    named = {s: LIBRARY.VaultkeepStatusName(s).decode() for s in range(-300, 300) if s and LIBRARY.VaultkeepStatusName(s)}
    for status, name in named.items():
        error = vk.VaultError.from_status(status, "Call")
        assert (type(error).__name__, error.name, error.status) == (name[6:].replace("_", ""), name, status)
        assert getattr(vk, type(error).__name__) is type(error) and f"({name}, {status})" in str(error)
    classes = {c for c in vars(vk).values() if isinstance(c, type) and issubclass(c, vk.VaultError)}
    assert classes - {type(vk.VaultError.from_status(s)) for s in named} == {vk.VaultError, vk.Failed, vk.UnknownStatus}
    assert (type(vk.VaultError.from_status(1)), vk.VaultError.from_status(1).name) == (vk.Failed, "Failed")
    for status in (29, 2, -10, -2146893802):  # a system error, a gap in the table, an NTE_* value
        assert (type(vk.VaultError.from_status(status)), vk.VaultError.from_status(status).status) == (
            vk.UnknownStatus, status)


def tool(*args):
    env = dict(os.environ, VK_SECRET=SECRET.decode(), VK_PW="pw")
    run = subprocess.run([os.environ["VAULTKEEP_TOOL"], "--json", *args, "--secret-env", "VK_SECRET"], env=env,
                         capture_output=True, text=True, check=True)  # fmt: skip
    return json.loads(run.stdout)


def test_names_beyond_ascii_and_the_bmp_round_trip_and_match_the_tool():
    app, users, ids = "Mäil📬", ["Zoë", "𝄞 clef", "用户"], ["ключ", "😀" * 9 + "x", "ü𠀋"]
    vault = vk.Vault(app, SECRET)
    vault.register()
    for user in users[:2]:
        vault.add_user(user, "pw")
    tool("add-user", "--app", app, "--user", users[2], "--password-env", "VK_PW")
    for cred_id in ids:
        vault.store(users[2], "pw", cred_id, cred_id.encode())
    assert vault.users() == users == tool("list-users", "--app", app)["users"]
    assert vault.ids(users[2]) == ids == tool("list", "--app", app, "--user", users[2])["ids"]
    assert [vault.retrieve(users[2], "pw", i) for i in ids] == [i.encode() for i in ids]


@pytest.mark.parametrize("kind, call", [
    (ValueError, lambda v: v.add_user("al\0ice", "pw")),
    (ValueError, lambda v: v.add_user("alice", "pw\ud800")),
    (ValueError, lambda v: v.store("\udfffx", "pw", "id", b"")),
    (ValueError, lambda v: vk.Vault("Ma\0il", SECRET)),
    (TypeError, lambda v: v.add_user(b"alice", "pw")),
    (TypeError, lambda v: v.store("alice", "pw", "id", "text")),
    (TypeError, lambda v: vk.Vault("Mail", "secret")),
    (TypeError, lambda v: v.archive("alice", 7, "pw")),
    (TypeError, lambda v: v.restore("alice", "a.zip", "pw", overwrite="yes")),
])  # fmt: skip
def test_bad_arguments_are_refused_before_the_library_is_called(vault, kind, call):
    with pytest.raises(kind):
        call(vault)
    assert vault.users() == []  # "al\0ice" did not become "al"


class MallInfo(ctypes.Structure):
    _fields_ = [(f, ctypes.c_size_t) for f in ("arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks "
                                                 "fordblks keepcost").split()]  # fmt: skip


def test_a_thousand_calls_leave_no_allocation_behind(vault):
    mallinfo = ctypes.CDLL(None).mallinfo2
    mallinfo.restype = MallInfo
    vault.store("alice", "pw", "imap", b"data", metadata=b"m" * 4096, protected_metadata=b"p" * 4096)
    reads = [lambda: vault.metadata("alice", "imap"), lambda: vault.protected_metadata("alice", "imap"),
             lambda: vault.ids("alice"), lambda: pytest.raises(vk.BadApp, vk.Vault("Mail", b"bad").users)]
    for read in reads * 10:
        read()
    before = mallinfo()
    for read in reads * 250:
        read()
    after = mallinfo()
    assert after.uordblks + after.hblkhd - before.uordblks - before.hblkhd < 8192


def test_two_threads_and_two_processes_storing_at_once_lose_no_update(vault):
    vault.add_user("alice", "pw")
    code = "import sys, vaultkeep as v; [v.Vault('Mail', b'%s').store('alice', 'pw', f'{sys.argv[1]}{i}', b'') " \
           "for i in range(10)]" % SECRET.decode()  # fmt: skip
    children = [subprocess.Popen([sys.executable, "-c", code, name]) for name in "pq"]
    threads = [threading.Thread(target=lambda t=t: [vault.store("alice", "pw", f"{t}{i}", b"") for i in range(10)])
               for t in "ab"]  # fmt: skip
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [child.wait() for child in children] == [0, 0]
    assert sorted(vault.ids("alice")) == sorted(f"{t}{i}" for t in "abpq" for i in range(10))


@pytest.mark.parametrize("library", [None, "/nonexistent/libVaultkeep.so.1"])
def test_the_library_is_found_by_its_soname_or_at_vaultkeep_library(library):
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(os.environ["VAULTKEEP_LIBRARY"]))
    env.pop("VAULTKEEP_LIBRARY")
    env.update({"VAULTKEEP_LIBRARY": library} if library else {})
    run = subprocess.run([sys.executable, "-c", "import vaultkeep; vaultkeep.init_root()"], env=env,
                         capture_output=True, text=True)  # fmt: skip
    assert run.returncode == (1 if library else 0), run.stderr
    assert not library or f"ImportError: vaultkeep: cannot load the library: looked for {library}" in run.stderr
