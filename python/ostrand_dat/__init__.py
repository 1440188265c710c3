"""Reading (and writing) the game client's portal archives.

    with ostrand_dat.open("client_portal.dat") as archive:
        for entry in archive:                 # Entry(id, bit_flags, offset, ...)
            ...
        table = ostrand_dat.SoundTable(archive.read(0x20000001))
        table.resolve(0x58)                   # a wave id, or None

Built with ctypes over the library's C interface (ostrand_dat_c.h), which
lives in the shared library beside this file. Calls into the library release
the GIL, so threads reading one archive run in parallel.
"""

from __future__ import annotations

import ctypes
import io
import os
import weakref
from ctypes import POINTER, byref, c_char_p, c_float, c_int, c_int32, c_size_t
from ctypes import c_uint8, c_uint32, c_uint64, c_void_p
from typing import Iterator, Mapping, NamedTuple, Optional

__all__ = [
    "Archive", "DamagedArchive", "Entry", "Error", "FileInfo", "FileReader",
    "Header", "IoError",
    "NotFound", "OutOfMemory", "SoundEntry", "SoundTable", "decompress_lrs",
    "open", "write", "__version__",
]

_lib = ctypes.CDLL(os.path.join(os.path.dirname(__file__), "_libostrand_dat.so"))


class _Status(ctypes.Structure):
    _fields_ = [("code", c_int), ("os_errno", c_int), ("message", c_void_p)]


class _Header(ctypes.Structure):
    _fields_ = [(name, c_uint32) for name in (
        "magic", "block_size", "file_size", "dataset", "subset", "free_head",
        "free_tail", "free_count", "root_offset", "new_lru", "old_lru",
        "use_lru", "master_map_id", "engine_version", "game_version")] + [
        ("version_string", c_uint8 * 16), ("version_minor", c_uint32)]


class _Entry(ctypes.Structure):
    _fields_ = [(name, c_uint32) for name in (
        "id", "bit_flags", "offset", "size", "timestamp", "version")]


class _FileInfo(ctypes.Structure):
    _fields_ = [("entry", _Entry), ("has_declared_size", c_int),
                ("declared_size", c_uint32), ("size", c_uint32),
                ("capacity", c_uint64)]


class _SoundEntry(ctypes.Structure):
    _fields_ = [("wave_did", c_uint32), ("priority", c_float),
                ("probability", c_float), ("volume", c_float)]


class _SoundHash(ctypes.Structure):
    _fields_ = [("key", c_uint32), ("priority", c_float),
                ("probability", c_float), ("volume", c_float)]


_SINK = ctypes.CFUNCTYPE(c_int, c_void_p, POINTER(c_uint8), c_size_t)
_status = POINTER(_Status)
for _name, _res, _args in [
    ("version", c_char_p, []),
    ("free", None, [c_void_p]),
    ("open", c_int, [c_char_p, POINTER(c_void_p), _status]),
    ("close", None, [c_void_p]),
    ("header_get", c_int, [c_void_p, POINTER(_Header)]),
    ("count", c_size_t, [c_void_p]),
    ("entries", c_size_t, [c_void_p, c_size_t, POINTER(_Entry), c_size_t]),
    ("contains", c_int, [c_void_p, c_uint32]),
    ("find", c_int, [c_void_p, c_uint32, POINTER(_Entry), _status]),
    ("file_info_get", c_int, [c_void_p, c_uint32, POINTER(_FileInfo), _status]),
    ("read_into", c_int, [c_void_p, c_uint32, c_int, c_void_p, c_size_t,
                          POINTER(c_size_t), _status]),
    ("read_file", c_int, [c_void_p, c_uint32, c_int, _SINK, c_void_p,
                          POINTER(c_uint64), _status]),
    ("open_file", c_int, [c_void_p, c_uint32, c_int, POINTER(c_void_p), _status]),
    ("reader_read", c_int,
     [c_void_p, c_void_p, c_size_t, POINTER(c_size_t), _status]),
    ("reader_close", None, [c_void_p]),
    ("read_file_data", c_int, [c_void_p, c_uint32, c_uint32,
                               POINTER(c_void_p), POINTER(c_size_t), _status]),
    ("decompress_lrs", c_int,
     [c_char_p, c_size_t, POINTER(c_void_p), POINTER(c_size_t), _status]),
    ("sound_table_unpack", c_int,
     [c_char_p, c_size_t, POINTER(c_void_p), _status]),
    ("sound_table_free", None, [c_void_p]),
    ("sound_table_id", c_uint32, [c_void_p]),
    ("sound_table_hash_key", c_int32, [c_void_p]),
    ("sound_table_resolve", c_int, [c_void_p, c_uint32, POINTER(c_uint32)]),
    ("sound_table_kinds", c_size_t, [c_void_p, POINTER(c_uint32), c_size_t]),
    ("sound_table_entries", c_int, [c_void_p, c_uint32, POINTER(_SoundEntry),
                                    c_size_t, POINTER(c_size_t),
                                    POINTER(c_int32)]),
    ("sound_table_hashes", c_size_t,
     [c_void_p, POINTER(_SoundHash), c_size_t]),
    ("writer_new", c_void_p, [c_uint32]),
    ("writer_free", None, [c_void_p]),
    ("writer_add", c_int,
     [c_void_p, c_uint32, c_char_p, c_size_t, c_int, _status]),
    ("writer_write", c_int, [c_void_p, c_char_p, _status]),
]:
    _function = getattr(_lib, "ostrand_dat_" + _name)
    _function.restype, _function.argtypes = _res, _args

# A bytes object is filled in place before anyone else sees it, as C
# extensions do; these calls hold the GIL.
_new_bytes = ctypes.pythonapi.PyBytes_FromStringAndSize
_new_bytes.restype, _new_bytes.argtypes = ctypes.py_object, [c_void_p, ctypes.c_ssize_t]
_bytes_address = ctypes.pythonapi.PyBytes_AsString
_bytes_address.restype, _bytes_address.argtypes = c_void_p, [ctypes.py_object]

__version__: str = _lib.ostrand_dat_version().decode()

_KINDS = ("Io", "BinRead", "NotFound", "DuplicateId", "DuplicateNamespacedId",
          "InvalidMagic", "UnsupportedVersion", "InvalidNamespace",
          "Corruption", "DecompressionFailed", "PathError", "Other")
_INVALID_ARGUMENT, _OUT_OF_MEMORY = 100, 101


class Error(Exception):
    """Every failure of the library. `kind` names the library's error kind
    ("NotFound", "Io", "Corruption", ...); str() is its debug form."""

    kind: str = "Other"


class NotFound(Error, KeyError):
    """The archive has no file with this id."""

    def __str__(self) -> str:
        return str(self.args[0])


class IoError(Error, OSError):
    """The system refused a read or an open; `errno` is its error number and
    `filename` the path, for a file that cannot be opened."""

    def __str__(self) -> str:
        return str(self.strerror)


class DamagedArchive(Error):
    """The archive's bytes do not hold together: a header or block chain cut
    short, a directory that loops, a size larger than the file, ..."""


class OutOfMemory(Error, MemoryError):
    """Memory ran out."""


def _raise(status: _Status, path: Optional[str] = None) -> None:
    message = ctypes.string_at(status.message).decode("utf-8", "replace") \
        if status.message else ""
    _lib.ostrand_dat_free(status.message)
    code = status.code
    if code == _INVALID_ARGUMENT:
        raise ValueError(message)
    kind = _KINDS[code - 1] if 1 <= code <= len(_KINDS) else "Other"
    error: Error
    if code == _OUT_OF_MEMORY:
        error = OutOfMemory(message)
    elif kind == "NotFound":
        error = NotFound(message)
    elif status.os_errno != 0:
        error = IoError(status.os_errno, message, path)
    else:
        error = DamagedArchive(message)
    error.kind = kind
    raise error


def _check(code: int, status: _Status, path: Optional[str] = None) -> None:
    if code != 0:
        _raise(status, path)


def _take(address: Optional[int], size: int) -> bytes:
    """The library's memory as bytes, then released."""
    if not address:
        return b""
    try:
        return ctypes.string_at(address, size)
    finally:
        _lib.ostrand_dat_free(address)


class Header(NamedTuple):
    """The archive header's seventeen fields; version_string is raw bytes."""
    magic: int
    block_size: int
    file_size: int
    dataset: int
    subset: int
    free_head: int
    free_tail: int
    free_count: int
    root_offset: int
    new_lru: int
    old_lru: int
    use_lru: int
    master_map_id: int
    engine_version: int
    game_version: int
    version_string: bytes
    version_minor: int


class Entry(NamedTuple):
    """One directory entry: where a stored file's bytes lie."""
    id: int
    bit_flags: int
    offset: int
    size: int
    timestamp: int
    version: int

    @property
    def compressed(self) -> bool:
        """Bit 0 of bit_flags: the stored bytes are compressed."""
        return bool(self.bit_flags & 1)


class FileInfo(NamedTuple):
    """What the directory and a compressed entry's 4-byte prefix say about a
    file: its entry, the size its stream declares (None unless compressed),
    and the contents' size as far as that tells."""
    entry: Entry
    declared_size: Optional[int]
    size: int


_RAW, _STRICT = 1, 2


def _entry(e: _Entry) -> Entry:
    return Entry(e.id, e.bit_flags, e.offset, e.size, e.timestamp, e.version)


class Archive:
    """An open archive: its header and directory, and reads of its files by
    id. Use it as a context manager, or call close(). Reads may run on many
    threads at once; close it only when none is running."""

    def __init__(self, path: "os.PathLike[str] | str") -> None:
        self._handle: Optional[int] = None
        self.path = os.fspath(path)
        handle, status = c_void_p(), _Status()
        _check(_lib.ostrand_dat_open(os.fsencode(self.path), byref(handle),
                                     byref(status)), status, self.path)
        self._handle = handle.value
        self._readers: "weakref.WeakSet[FileReader]" = weakref.WeakSet()

    def close(self) -> None:
        """Closes the file and the readers open() gave; reading afterwards
        raises ValueError."""
        handle, self._handle = self._handle, None
        if handle:
            for reader in list(self._readers):
                reader.close()
            _lib.ostrand_dat_close(handle)

    def __enter__(self) -> "Archive":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def _h(self) -> int:
        if not self._handle:
            raise ValueError("I/O operation on a closed archive")
        return self._handle

    @property
    def header(self) -> Header:
        """The header as read."""
        h = _Header()
        _lib.ostrand_dat_header_get(self._h(), byref(h))
        return Header(*(getattr(h, name) for name, _ in _Header._fields_[:15]),
                      bytes(h.version_string), h.version_minor)

    def __len__(self) -> int:
        return _lib.ostrand_dat_count(self._h())

    def __contains__(self, id: object) -> bool:
        return isinstance(id, int) and 0 <= id <= 0xFFFFFFFF and \
            bool(_lib.ostrand_dat_contains(self._h(), id))

    def __iter__(self) -> Iterator[Entry]:
        """Every entry, ids ascending."""
        handle, first, batch = self._h(), 0, (_Entry * 4096)()
        while True:
            n = _lib.ostrand_dat_entries(handle, first, batch, len(batch))
            if n == 0:
                return
            yield from map(_entry, batch[:n])
            first += n

    def entry(self, id: int) -> Entry:
        """The directory entry of file `id`; NotFound when there is none."""
        e, status = _Entry(), _Status()
        _check(_lib.ostrand_dat_find(self._h(), id, byref(e), byref(status)),
               status)
        return _entry(e)

    def _info(self, id: int) -> _FileInfo:
        info, status = _FileInfo(), _Status()
        _check(_lib.ostrand_dat_file_info_get(self._h(), id, byref(info),
                                              byref(status)), status)
        return info

    def info(self, id: int) -> FileInfo:
        """The entry of file `id` and its sizes, reading at most the 4-byte
        prefix of a compressed entry."""
        info = self._info(id)
        return FileInfo(_entry(info.entry), info.declared_size
                        if info.has_declared_size else None, info.size)

    def read(self, id: int, raw: bool = False, strict: bool = False) -> bytes:
        """The contents of file `id`, decompressed when its entry says so.
        A stream that ends before its declared size reads short, or with
        `strict` raises DamagedArchive; `raw` gives the stored bytes."""
        handle, size, status = self._h(), c_size_t(), _Status()
        info = self._info(id)
        capacity = info.entry.size if raw else info.capacity
        data = _new_bytes(None, capacity)
        _check(_lib.ostrand_dat_read_into(
            handle, id, (_RAW if raw else 0) | (_STRICT if strict else 0),
            _bytes_address(data), capacity, byref(size), byref(status)), status)
        return data if size.value == capacity else data[:size.value]

    def open(self, id: int, raw: bool = False,
             strict: bool = False) -> "FileReader":
        """File `id` as a readable binary file object that streams: the
        bytes read() gives, in a few hundred KiB of memory. Closed with the
        archive."""
        reader, status = c_void_p(), _Status()
        _check(_lib.ostrand_dat_open_file(
            self._h(), id, (_RAW if raw else 0) | (_STRICT if strict else 0),
            byref(reader), byref(status)), status)
        opened = FileReader(reader.value, self)
        self._readers.add(opened)
        return opened

    def read_file_data(self, offset: int, size: int) -> bytes:
        """The `size` bytes of the block chain that starts at `offset`."""
        data, n, status = c_void_p(), c_size_t(), _Status()
        _check(_lib.ostrand_dat_read_file_data(self._h(), offset, size,
                                               byref(data), byref(n),
                                               byref(status)), status)
        return _take(data.value, n.value)

    def sound_table(self, id: int) -> "SoundTable":
        """File `id` decoded as a sound table."""
        return SoundTable(self.read(id))


class FileReader(io.RawIOBase):
    """A file of an archive, read as a stream (Archive.open). One thread at
    a time; reads raise the library's errors once the bytes before the
    damage have been read."""

    def __init__(self, handle: int, archive: Archive) -> None:
        super().__init__()
        self._reader: Optional[int] = handle
        self._archive = archive  # kept open while the reader lives

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: "bytearray | memoryview") -> int:  # type: ignore[override]
        if not self._reader:
            raise ValueError("I/O operation on a closed file")
        with memoryview(buffer) as view, view.cast("B") as out:
            n, status = c_size_t(), _Status()
            target = (ctypes.c_char * len(out)).from_buffer(out)
            _check(_lib.ostrand_dat_reader_read(self._reader, target, len(out),
                                                byref(n), byref(status)), status)
            return n.value

    def close(self) -> None:
        reader, self._reader = self._reader, None
        if reader:
            _lib.ostrand_dat_reader_close(reader)
        super().close()


def open(path: "os.PathLike[str] | str") -> Archive:
    """Opens the archive at `path` and loads its directory."""
    return Archive(path)


class SoundEntry(NamedTuple):
    """One weighted wave choice; wave_did 0 means no wave."""
    wave_did: int
    priority: float
    probability: float
    volume: float


class SoundTable:
    """A decoded sound table: sound kinds mapped to weighted wave choices."""

    def __init__(self, data: bytes) -> None:
        self._handle: Optional[int] = None
        handle, status = c_void_p(), _Status()
        _check(_lib.ostrand_dat_sound_table_unpack(data, len(data),
                                                   byref(handle), byref(status)),
               status)
        self._handle = handle.value
        self.id: int = _lib.ostrand_dat_sound_table_id(self._handle)
        self.hash_key: int = _lib.ostrand_dat_sound_table_hash_key(self._handle)

    def __del__(self) -> None:
        if self._handle:
            _lib.ostrand_dat_sound_table_free(self._handle)

    def resolve(self, kind: int) -> Optional[int]:
        """The wave of the kind's first choice; None when the kind is absent,
        its list is empty or the first wave_did is 0."""
        wave = c_uint32()
        found = _lib.ostrand_dat_sound_table_resolve(self._handle, kind,
                                                     byref(wave))
        return wave.value if found else None

    @property
    def kinds(self) -> list[int]:
        """The table's sound kinds, ascending."""
        n = _lib.ostrand_dat_sound_table_kinds(self._handle, None, 0)
        kinds = (c_uint32 * n)()
        _lib.ostrand_dat_sound_table_kinds(self._handle, kinds, n)
        return list(kinds)

    def entries(self, kind: int) -> list[SoundEntry]:
        """The choices listed for `kind`; KeyError when it is absent."""
        n = c_size_t()
        if _lib.ostrand_dat_sound_table_entries(self._handle, kind, None, 0,
                                                byref(n), None) != 0:
            raise KeyError(kind)
        entries = (_SoundEntry * n.value)()
        _lib.ostrand_dat_sound_table_entries(self._handle, kind, entries,
                                             n.value, byref(n), None)
        return [SoundEntry(e.wave_did, e.priority, e.probability, e.volume)
                for e in entries]

    @property
    def hashes(self) -> dict[int, tuple[float, float, float]]:
        """key -> (priority, probability, volume)."""
        n = _lib.ostrand_dat_sound_table_hashes(self._handle, None, 0)
        hashes = (_SoundHash * n)()
        _lib.ostrand_dat_sound_table_hashes(self._handle, hashes, n)
        return {h.key: (h.priority, h.probability, h.volume) for h in hashes}


def decompress_lrs(data: bytes) -> bytes:
    """Decodes a compressed payload (a 4-byte size, then the stream); never
    fails on its bytes: a damaged stream gives what decoded before the
    damage."""
    out, n, status = c_void_p(), c_size_t(), _Status()
    _check(_lib.ostrand_dat_decompress_lrs(data, len(data), byref(out),
                                           byref(n), byref(status)), status)
    return _take(out.value, n.value)


def write(path: "os.PathLike[str] | str", files: Mapping[int, bytes],
          block_size: int = 1024, compress: bool = False) -> None:
    """Writes an archive holding `files` (id -> contents), stored compressed
    when `compress` is true."""
    writer = _lib.ostrand_dat_writer_new(block_size)
    if not writer:
        raise OutOfMemory("out of memory")
    try:
        status = _Status()
        for id, data in files.items():
            _check(_lib.ostrand_dat_writer_add(writer, id, bytes(data), len(data),
                                               int(compress), byref(status)), status)
        target = os.fspath(path)
        _check(_lib.ostrand_dat_writer_write(writer, os.fsencode(target),
                                             byref(status)), status, target)
    finally:
        _lib.ostrand_dat_writer_free(writer)
