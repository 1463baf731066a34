"""The library and the values that cross its C interface (private to the package).

Strings go across as zero-terminated UTF-16, byte strings as SAFEARRAYs of bytes; both are
built here for one call and wiped and freed when it ends (:class:`Call`), as are the strings
and arrays the library hands back. Nothing here is shared between calls but the loaded
library and its function prototypes, which are set once at import and only read afterwards.
"""

from __future__ import annotations

import ctypes
import os
import sys
from types import TracebackType
from typing import Any

#: The library's name as the dynamic loader knows it, and the variable that overrides it.
LIBRARY_NAME = "Vaultkeep.dll" if sys.platform == "win32" else "libVaultkeep.so.1"
LIBRARY_VARIABLE = "VAULTKEEP_LIBRARY"

_VT_UI1 = 17
_MAX_BYTES = 0x7FFFFFFF  # a SAFEARRAY's LONG bounds; ctypes would cut a larger length silently
_LONG = ctypes.c_int32
_ULONG = ctypes.c_uint32
_PTR = ctypes.c_void_p  # const WCHAR*, SAFEARRAY*, BSTR
_OUT = ctypes.POINTER(ctypes.c_void_p)  # SAFEARRAY**, BSTR*

# Argument types of the exports; every one returns a LONG status.
_EXPORTS: dict[str, tuple[Any, ...]] = {
    "RegisterApp": (_PTR, _PTR),
    "UnRegisterApp": (_PTR, _PTR),
    "AddUser": (_PTR, _PTR, _PTR, _PTR),
    "QueryListOfUsers": (_PTR, _PTR, _OUT),
    "DeleteUser": (_PTR, _PTR, _PTR),
    "StoreCredential": (_PTR, _PTR, _PTR, _PTR, _PTR, _PTR, _PTR, _PTR),
    "RetrieveCredentialMetaData": (_PTR, _PTR, _PTR, _PTR, _OUT),
    "RetrieveEncryptedCredentialMetaData": (_PTR, _PTR, _PTR, _PTR, _OUT),
    "RetrieveCredential": (_PTR, _PTR, _PTR, _PTR, _PTR, _OUT),
    "QueryUserCreds": (_PTR, _PTR, _PTR, _OUT),
    "DeleteCred": (_PTR, _PTR, _PTR, _PTR),
    "ArchiveUser": (_PTR, _PTR, _PTR, _PTR, _PTR, _PTR),
    "RestoreUser": (_PTR, _PTR, _PTR, _PTR, _PTR, _ULONG),
    "ChangeUserPassword": (_PTR, _PTR, _PTR, _PTR, _PTR),
    "ChangeAppSecret": (_PTR, _PTR, _PTR),
    "VaultkeepInitRoot": (),
    "VaultkeepCheck": (_PTR, _PTR, _ULONG, _OUT),
}

# The OLE Automation helpers the header declares: (result type, argument types).
_HELPERS: dict[str, tuple[Any, tuple[Any, ...]]] = {
    "VaultkeepStatusName": (ctypes.c_char_p, (_LONG,)),
    "SafeArrayCreateVector": (_PTR, (ctypes.c_ushort, _LONG, _ULONG)),
    "SafeArrayDestroy": (_LONG, (_PTR,)),
    "SafeArrayAccessData": (_LONG, (_PTR, _OUT)),
    "SafeArrayUnaccessData": (_LONG, (_PTR,)),
    "SafeArrayGetLBound": (_LONG, (_PTR, ctypes.c_uint, ctypes.POINTER(_LONG))),
    "SafeArrayGetUBound": (_LONG, (_PTR, ctypes.c_uint, ctypes.POINTER(_LONG))),
    "SysStringLen": (ctypes.c_uint, (_PTR,)),
    "SysFreeString": (None, (_PTR,)),
}


def _load() -> ctypes.CDLL:
    path = os.environ.get(LIBRARY_VARIABLE)
    target = path or LIBRARY_NAME
    try:
        lib = ctypes.CDLL(target)
    except OSError as error:
        looked = (
            f"{target} (from ${LIBRARY_VARIABLE})"
            if path
            else f"{LIBRARY_NAME} through the system's library search (or set ${LIBRARY_VARIABLE} to its path)"
        )
        raise ImportError(f"vaultkeep: cannot load the library: looked for {looked}: {error}", path=target) from error
    for name, argtypes in _EXPORTS.items():
        function = getattr(lib, name)
        function.argtypes, function.restype = argtypes, _LONG
    for name, (restype, argtypes) in _HELPERS.items():
        function = getattr(lib, name)
        function.argtypes, function.restype = argtypes, restype
    return lib


LIB = _load()


def status_name(status: int) -> str | None:
    """The library's name for a status ("Error_No_User"), or None for a value it does not name."""
    name = LIB.VaultkeepStatusName(status)
    return name.decode("ascii") if name is not None else None


def _check_text(value: object, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be str, not {type(value).__name__}")
    return value


def byte_view(value: object, what: str) -> memoryview:
    if isinstance(value, str):
        raise TypeError(f"{what} must be a bytes-like object, not str (encode it first)")
    try:
        return memoryview(value).cast("B")  # type: ignore[arg-type]
    except TypeError as error:
        raise TypeError(f"{what} must be a C-contiguous bytes-like object, not {type(value).__name__}") from error


def _access(psa: int) -> tuple[int, int] | None:
    """The data address and length of a one-dimensional byte SAFEARRAY, locked; None if unreachable."""
    lower, upper, data = _LONG(), _LONG(), ctypes.c_void_p()
    if LIB.SafeArrayGetLBound(psa, 1, ctypes.byref(lower)) or LIB.SafeArrayGetUBound(psa, 1, ctypes.byref(upper)):
        return None
    if LIB.SafeArrayAccessData(psa, ctypes.byref(data)):
        return None
    return data.value or 0, max(upper.value - lower.value + 1, 0)


def _read_array(psa: int) -> bytes:
    access = _access(psa)
    if access is None:
        raise RuntimeError("vaultkeep: the library returned an array whose data cannot be reached")
    try:
        return ctypes.string_at(*access) if access[1] else b""
    finally:
        LIB.SafeArrayUnaccessData(psa)


def _destroy_array(psa: int) -> None:
    # Wiped first: the system's SafeArrayDestroy on Windows frees without wiping.
    access = _access(psa)
    if access is not None:
        if access[1]:
            ctypes.memset(access[0], 0, access[1])
        LIB.SafeArrayUnaccessData(psa)
    LIB.SafeArrayDestroy(psa)


def _read_string(bstr: int) -> str:
    # A lone surrogate the library holds (set by another client) comes back as it is.
    return ctypes.string_at(bstr, 2 * LIB.SysStringLen(bstr)).decode("utf-16-le", "surrogatepass")


class Call:
    """The arguments of one library call, released on leaving the ``with`` block.

    Every UTF-16 buffer made here is wiped, every SAFEARRAY made here or handed back is wiped
    and destroyed, every BSTR handed back is freed, on success and failure alike. The
    conversions check their values before anything is called, so a refused argument never
    reaches the export.
    """

    def __init__(self) -> None:
        self._buffers: list[ctypes.Array[Any]] = []
        self._arrays: list[int] = []
        self._array_outs: list[ctypes.c_void_p] = []
        self._string_outs: list[ctypes.c_void_p] = []

    def __enter__(self) -> Call:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None) -> None:
        for buffer in self._buffers:
            ctypes.memset(buffer, 0, ctypes.sizeof(buffer))
        for psa in self._arrays + [out.value for out in self._array_outs if out.value]:
            _destroy_array(psa)
        for out in self._string_outs:
            if out.value:
                LIB.SysFreeString(out.value)

    def text(self, value: object, what: str) -> ctypes.Array[ctypes.c_uint16]:
        """A zero-terminated UTF-16 copy of a str; ValueError for NUL or a lone surrogate.

        The code units go straight into the buffer, so no intermediate bytes copy of a
        password is made.
        """
        text = _check_text(value, what)
        extra = sum(1 for c in text if c > "\uffff")
        buffer = (ctypes.c_uint16 * (len(text) + extra + 1))()
        self._buffers.append(buffer)
        i = 0
        for c in text:
            code = ord(c)
            if code == 0:
                raise ValueError(f"{what} must not contain NUL")
            if 0xD800 <= code <= 0xDFFF:
                raise ValueError(f"{what} holds a lone surrogate (U+{code:04X}), which UTF-16 cannot carry")
            if code > 0xFFFF:
                code -= 0x10000
                buffer[i] = 0xD800 | (code >> 10)
                i += 1
                code = 0xDC00 | (code & 0x3FF)
            buffer[i] = code
            i += 1
        return buffer

    def array(self, value: object, what: str) -> int:
        """A SAFEARRAY of bytes holding a copy of a bytes-like object."""
        view = byte_view(value, what)
        if len(view) > _MAX_BYTES:
            raise ValueError(f"{what} is too long: {len(view)} bytes, at most {_MAX_BYTES}")
        psa: int = LIB.SafeArrayCreateVector(_VT_UI1, 0, len(view))
        if not psa:
            raise MemoryError(f"vaultkeep: no array for {what} ({len(view)} bytes)")
        self._arrays.append(psa)
        access = _access(psa)
        if access is None:
            raise MemoryError(f"vaultkeep: the array for {what} cannot be reached")
        try:
            if access[1] != len(view):
                raise MemoryError(f"vaultkeep: the array for {what} has {access[1]} bytes, not {len(view)}")
            if len(view):
                memoryview((ctypes.c_ubyte * len(view)).from_address(access[0])).cast("B")[:] = view
        finally:
            LIB.SafeArrayUnaccessData(psa)
        return psa

    def array_out(self) -> ctypes.c_void_p:
        """A SAFEARRAY* the library may fill; read it with :meth:`bytes_of`."""
        out = ctypes.c_void_p()
        self._array_outs.append(out)
        return out

    def string_out(self) -> ctypes.c_void_p:
        """A BSTR the library may fill; read it with :meth:`text_of`."""
        out = ctypes.c_void_p()
        self._string_outs.append(out)
        return out

    @staticmethod
    def bytes_of(out: ctypes.c_void_p) -> bytes:
        return _read_array(out.value) if out.value else b""

    @staticmethod
    def text_of(out: ctypes.c_void_p) -> str:
        return _read_string(out.value) if out.value else ""
