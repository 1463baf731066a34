"""Vaultkeep for Python programs: the credential vault's calls over ``libVaultkeep.so.1``.

::

    import vaultkeep

    vaultkeep.init_root()                          # the root: $VAULTKEEP_ROOT or the library's default
    vault = vaultkeep.Vault("Mail", b"app-secret")
    vault.register()
    vault.add_user("alice", "alice's password")
    vault.store("alice", "alice's password", "imap", b"token", metadata=b"imap.example.org")
    assert vault.retrieve("alice", "alice's password", "imap") == b"token"
    try:
        vault.ids("bob")
    except vaultkeep.NoUser as error:
        print(error.status, error.name)            # -3 Error_No_User

The library is loaded at import: ``$VAULTKEEP_LIBRARY`` if set (a build tree), else the installed
``libVaultkeep.so.1`` (``Vaultkeep.dll`` on Windows) through the system's library search. A library
that cannot be loaded makes the import fail with :class:`ImportError` saying what was looked for.

Every call goes to the library as it is made: nothing is cached between calls, and calls from
several threads (or processes) at once are safe, since the library serialises them on the
machine root's lock; the Python lock is released while the library works.

What is wiped: the copies this package makes for a call (the UTF-16 buffers of names and
passwords, the arrays of the secret, credentials and metadata) and the arrays the library hands
back are overwritten before they are freed, on every path, errors included. A :class:`Vault`
keeps its own copy of the application secret, wiped by :meth:`Vault.close` (or leaving a
``with`` block). What Python itself cannot wipe: ``str`` and ``bytes`` objects are immutable, so
the passwords and secrets a caller passes in, and the ``bytes`` :meth:`Vault.retrieve` returns,
stay in memory until the interpreter reuses it; so do the ``int`` objects made while a password
is converted to UTF-16. Pass the secret as a ``bytearray`` and clear it after constructing the
vault to keep the one copy this package controls.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from types import TracebackType

from ._lib import LIB, Call, byte_view

__all__ = [
    "init_root", "Vault", "Finding", "VaultError",
    "BadApp", "AppAlreadyExists", "NoUser", "NonSupportedVersion", "CredNotFound", "Internal", "InvalidID",
    "InvalidCred", "TPMNotOwned", "InsufficientPrivileges", "CantLoadLibrary", "UserAlreadyExists", "BadBackup",
    "InvalidFile", "DecryptFailed", "TableAlloc", "Failed", "UnknownStatus",
]  # fmt: skip


class VaultError(Exception):
    """A status other than 0 from the library; catch a subclass for one status.

    ``status`` is the integer the call returned, ``name`` its name (``"Error_No_User"``;
    ``"Failed"`` for the plain failure status 1, ``"Unknown"`` for a status outside the table).
    """

    _status: int | None = None
    _name = "Unknown"

    def __init__(self, status: int, call: str = "") -> None:
        self.status = status
        self.name = self._name
        lines = (type(self).__doc__ or "").strip().splitlines()
        text = lines[0].rstrip(".") if lines else "failed"
        super().__init__(f"{call + ': ' if call else ''}{text[:1].lower()}{text[1:]} ({self.name}, {status})")

    @staticmethod
    def from_status(status: int, call: str = "") -> VaultError:
        """The exception for a status other than 0, of the subclass that names it."""
        if status == 0:
            raise ValueError("status 0 is success, not an error")
        return _BY_STATUS.get(status, UnknownStatus)(status, call)


class BadApp(VaultError):
    """The application is not registered, or its table does not verify under this secret."""

    _status, _name = -1, "Error_Bad_App"


class AppAlreadyExists(VaultError):
    """The application already exists."""

    _status, _name = -2, "Error_App_Already_Exists"


class NoUser(VaultError):
    """No such user, or the user's table (or a credential's blob) does not verify."""

    _status, _name = -3, "Error_No_User"


class NonSupportedVersion(VaultError):
    """A table has a format version newer than this library supports."""

    _status, _name = -4, "Error_Non_Supported_Version"


class CredNotFound(VaultError):
    """No such credential."""

    _status, _name = -5, "Error_Cred_Not_Found"


class Internal(VaultError):
    """Internal error: the vault lock was not obtained, or a file, the key provider or memory failed."""

    _status, _name = -6, "Error_Internal"


class InvalidID(VaultError):
    """No such credential id, or an id the store cannot hold (empty, 20 characters or more, "," or a control)."""

    _status, _name = -7, "Error_Invalid_ID"


class InvalidCred(VaultError):
    """The credential's blob file cannot be opened, or the user has too many credentials."""

    _status, _name = -8, "Error_Invalid_Cred"


class TPMNotOwned(VaultError):
    """The TPM is not owned (or locked out), so no user key can be made or used."""

    _status, _name = -9, "Error_TPM_Not_Owned"


class InsufficientPrivileges(VaultError):
    """Insufficient privileges: a registry setting or file cannot be written."""

    _status, _name = -11, "Error_Insufficient_Privileges"


class CantLoadLibrary(VaultError):
    """The zip library cannot be loaded."""

    _status, _name = -12, "Error_Cant_Load_Library"


class UserAlreadyExists(VaultError):
    """The user already exists (restore with overwrite=True replaces it)."""

    _status, _name = -13, "Error_User_Already_Exists"


class BadBackup(VaultError):
    """The archive does not verify, belongs to another user, or cannot be re-keyed."""

    _status, _name = -14, "Error_Bad_Backup"


class InvalidFile(VaultError):
    """The archive cannot be read or holds no user backup."""

    _status, _name = -15, "Error_Invalid_File"


class DecryptFailed(VaultError):
    """Decryption failed: the password does not open the user's key or the archive."""

    _status, _name = -16, "Error_Decrypt_Failed"


class TableAlloc(VaultError):
    """Out of memory while writing a user table."""

    _status, _name = -99, "Error_Table_Alloc"


class Failed(VaultError):
    """The operation failed: store could not store the credential, or archive's key archive server failed."""

    _status, _name = 1, "Failed"


class UnknownStatus(VaultError):
    """A status passed up from a lower layer: a system error code or a key provider's NTE_* value.

    ``AddUser`` (and a ``StoreCredential`` that adds its user) passes it up when the user's key
    cannot be made, e.g. 29 (``ERROR_WRITE_FAULT``).
    """


_BY_STATUS: dict[int, type[VaultError]] = {
    kind._status: kind for kind in VaultError.__subclasses__() if kind._status is not None
}


def _check(call: str, status: int) -> None:
    if status != 0:
        raise VaultError.from_status(status, call)


def _names(joined: str) -> list[str]:
    # Names and ids never hold ",", which the library refuses.
    return joined.split(",") if joined else []


def _path(value: object, what: str) -> str:
    path = os.fspath(value) if isinstance(value, (str, os.PathLike)) else value
    if not isinstance(path, str):
        raise TypeError(f"{what} must be str or os.PathLike[str], not {type(value).__name__}")
    return os.path.abspath(path)


def _flag(value: object, what: str) -> int:
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be bool, not {type(value).__name__}")
    return int(value)


@dataclass(frozen=True, slots=True)
class Finding:
    """One finding of :meth:`Vault.check`.

    ``kind``: ``missing-blob``, ``bad-blob``, ``orphan-blob``, ``orphan-folder``, ``stale-backup``,
    ``temporary``, ``trash``, ``unknown``, ``bad-table`` or ``unsound-record``; ``user``: the user
    it belongs to ("" for the application's folder); ``name``: the credential id, file or folder;
    ``state``: ``found`` in a check, ``removed`` or ``left`` in a repair.
    """

    kind: str
    user: str
    name: str
    state: str


# "kind<TAB>user<TAB>name<TAB>state\n"; a file name nothing made may hold tabs or line ends.
_FINDING = re.compile(r"([^\t\n]*)\t([^\t\n]*)\t(.*?)\t(found|removed|left)\n", re.S)


def init_root() -> None:
    """Lays out the machine root for use (``VaultkeepInitRoot``); idempotent.

    The root is the library's: ``$VAULTKEEP_ROOT``, else its default. The first call of a
    process on a root never set up does the same, so this is needed only to set up ahead.
    """
    _check("VaultkeepInitRoot", LIB.VaultkeepInitRoot())


class Vault:
    """An application of the vault, named ``name`` and keyed by its application secret.

    ``secret`` is any bytes-like object; the vault keeps a copy of it until :meth:`close`.
    Names, user names, passwords and credential ids are ``str``: a NUL or a lone surrogate
    raises :class:`ValueError`, another type :class:`TypeError`, before the library is called.
    Every other failure raises the :class:`VaultError` subclass of the library's status.
    """

    def __init__(self, name: str, secret: bytes | bytearray | memoryview) -> None:
        with Call() as call:
            call.text(name, "name")
        self._name = name
        self._secret: bytearray | None = bytearray(byte_view(secret, "secret"))

    def __repr__(self) -> str:
        return f"Vault({self._name!r}{'' if self._secret is not None else ', closed'})"

    def __enter__(self) -> Vault:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    @property
    def name(self) -> str:
        """The application's name."""
        return self._name

    def close(self) -> None:
        """Wipes the vault's copy of the secret; later calls raise :class:`ValueError`."""
        secret, self._secret = getattr(self, "_secret", None), None
        if secret is not None:
            secret[:] = bytes(len(secret))

    def _app(self, call: Call) -> tuple[object, int]:
        secret = self._secret
        if secret is None:
            raise ValueError(f"{self!r} is closed")
        return call.text(self._name, "name"), call.array(secret, "secret")

    def register(self) -> None:
        """Registers the application under this secret (``RegisterApp``)."""
        with Call() as call:
            _check("RegisterApp", LIB.RegisterApp(*self._app(call)))

    def unregister(self) -> None:
        """Removes the application with all its users and credentials (``UnRegisterApp``)."""
        with Call() as call:
            _check("UnRegisterApp", LIB.UnRegisterApp(*self._app(call)))

    def add_user(self, user: str, password: str) -> None:
        """Adds a user, whose key the password protects (``AddUser``)."""
        with Call() as call:
            args = (*self._app(call), call.text(user, "user"), call.text(password, "password"))
            _check("AddUser", LIB.AddUser(*args))

    def users(self) -> list[str]:
        """The users, in the order they were added (``QueryListOfUsers``); [] when there are none."""
        with Call() as call:
            out = call.string_out()
            _check("QueryListOfUsers", LIB.QueryListOfUsers(*self._app(call), out))
            return _names(call.text_of(out))

    def delete_user(self, user: str) -> None:
        """Deletes a user with the user's credentials and key (``DeleteUser``)."""
        with Call() as call:
            _check("DeleteUser", LIB.DeleteUser(*self._app(call), call.text(user, "user")))

    def store(
        self,
        user: str,
        password: str,
        cred_id: str,
        data: bytes | bytearray | memoryview,
        metadata: bytes | bytearray | memoryview = b"",
        protected_metadata: bytes | bytearray | memoryview = b"",
    ) -> None:
        """Stores or replaces a credential with its plain and protected metadata (``StoreCredential``).

        A user not yet added is added with this password. An id has at most 19 UTF-16 code units.
        """
        with Call() as call:
            args = (
                *self._app(call),
                call.text(user, "user"),
                call.text(password, "password"),
                call.text(cred_id, "cred_id"),
                call.array(metadata, "metadata"),
                call.array(protected_metadata, "protected_metadata"),
                call.array(data, "data"),
            )
            _check("StoreCredential", LIB.StoreCredential(*args))

    def retrieve(self, user: str, password: str, cred_id: str) -> bytes:
        """The credential (``RetrieveCredential``); needs the user's password."""
        with Call() as call:
            out = call.array_out()
            args = (*self._app(call), call.text(user, "user"), call.text(password, "password"))
            _check("RetrieveCredential", LIB.RetrieveCredential(*args, call.text(cred_id, "cred_id"), out))
            return call.bytes_of(out)

    def metadata(self, user: str, cred_id: str) -> bytes:
        """The credential's plain metadata (``RetrieveCredentialMetaData``)."""
        with Call() as call:
            out = call.array_out()
            args = (*self._app(call), call.text(user, "user"), call.text(cred_id, "cred_id"), out)
            _check("RetrieveCredentialMetaData", LIB.RetrieveCredentialMetaData(*args))
            return call.bytes_of(out)

    def protected_metadata(self, user: str, cred_id: str) -> bytes:
        """The credential's protected metadata, decrypted (``RetrieveEncryptedCredentialMetaData``)."""
        with Call() as call:
            out = call.array_out()
            args = (*self._app(call), call.text(user, "user"), call.text(cred_id, "cred_id"), out)
            _check("RetrieveEncryptedCredentialMetaData", LIB.RetrieveEncryptedCredentialMetaData(*args))
            return call.bytes_of(out)

    def ids(self, user: str) -> list[str]:
        """The user's credential ids (``QueryUserCreds``)."""
        with Call() as call:
            out = call.string_out()
            _check("QueryUserCreds", LIB.QueryUserCreds(*self._app(call), call.text(user, "user"), out))
            return _names(call.text_of(out))

    def delete(self, user: str, cred_id: str) -> None:
        """Deletes a credential (``DeleteCred``)."""
        with Call() as call:
            args = (*self._app(call), call.text(user, "user"), call.text(cred_id, "cred_id"))
            _check("DeleteCred", LIB.DeleteCred(*args))

    def archive(self, user: str, path: str | os.PathLike[str], backup_password: str, key_archive: str = "") -> None:
        """Packs the user's store and key into an archive file at ``path`` (``ArchiveUser``).

        The file is replaced if it exists. ``key_archive`` goes to the key archive component as it is.
        """
        with Call() as call:
            args = (
                *self._app(call),
                call.text(user, "user"),
                call.text(_path(path, "path"), "path"),
                call.text(backup_password, "backup_password"),
                call.text(key_archive, "key_archive"),
            )
            _check("ArchiveUser", LIB.ArchiveUser(*args))

    def restore(self, user: str, path: str | os.PathLike[str], backup_password: str, overwrite: bool = False) -> None:
        """Restores a user from an archive, re-keyed to this vault's secret (``RestoreUser``).

        The archive may come from the application registered under another secret. An existing
        user raises :class:`UserAlreadyExists` unless ``overwrite`` is True.
        """
        with Call() as call:
            args = (
                *self._app(call),
                call.text(user, "user"),
                call.text(_path(path, "path"), "path"),
                call.text(backup_password, "backup_password"),
                _flag(overwrite, "overwrite"),
            )
            _check("RestoreUser", LIB.RestoreUser(*args))

    def change_password(self, user: str, old: str, new: str) -> None:
        """Changes the password that protects a user's key (``ChangeUserPassword``).

        The key pair stays, so every credential stays readable, under ``new`` only. A wrong
        ``old`` raises :class:`DecryptFailed` (on the TPM it counts as a wrong guess); an empty
        or over-long ``new`` raises :class:`InvalidCred`.
        """
        with Call() as call:
            args = (
                *self._app(call),
                call.text(user, "user"),
                call.text(old, "old"),
                call.text(new, "new"),
            )
            _check("ChangeUserPassword", LIB.ChangeUserPassword(*args))

    def change_secret(self, new_secret: bytes | bytearray | memoryview) -> None:
        """Re-keys the whole application to ``new_secret`` in one step (``ChangeAppSecret``).

        Afterwards the application opens under the new secret only, and this vault uses it; on
        failure nothing changed and the vault keeps the old one.
        """
        new = bytearray(byte_view(new_secret, "new_secret"))
        try:
            with Call() as call:
                name, old = self._app(call)
                _check("ChangeAppSecret", LIB.ChangeAppSecret(name, old, call.array(new, "new_secret")))
        except BaseException:
            new[:] = bytes(len(new))
            raise
        self.close()
        self._secret = new

    def check(self, repair: bool = False) -> list[Finding]:
        """Compares the store on disk with its tables (``VaultkeepCheck``); [] when they agree.

        Finds records whose blob is gone or does not verify, files and user folders nothing
        names, backups of an unfinished archive, removed applications still in the trash. With
        ``repair=True`` what can go is removed; what cannot, or must stay as evidence, is left.
        """
        with Call() as call:
            out = call.string_out()
            args = (*self._app(call), _flag(repair, "repair"), out)
            _check("VaultkeepCheck", LIB.VaultkeepCheck(*args))
            return [Finding(*m.groups()) for m in _FINDING.finditer(call.text_of(out))]
