import io
import os
from typing import Iterator, Mapping, NamedTuple, Optional

__version__: str

class Error(Exception):
    kind: str

class NotFound(Error, KeyError): ...
class IoError(Error, OSError): ...
class DamagedArchive(Error): ...
class OutOfMemory(Error, MemoryError): ...

class Header(NamedTuple):
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
    id: int
    bit_flags: int
    offset: int
    size: int
    timestamp: int
    version: int
    @property
    def compressed(self) -> bool: ...

class FileInfo(NamedTuple):
    entry: Entry
    declared_size: Optional[int]
    size: int

class SoundEntry(NamedTuple):
    wave_did: int
    priority: float
    probability: float
    volume: float

class Archive:
    path: str
    def __init__(self, path: os.PathLike[str] | str) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Archive: ...
    def __exit__(self, *exc_info: object) -> None: ...
    @property
    def header(self) -> Header: ...
    def __len__(self) -> int: ...
    def __contains__(self, id: object) -> bool: ...
    def __iter__(self) -> Iterator[Entry]: ...
    def entry(self, id: int) -> Entry: ...
    def info(self, id: int) -> FileInfo: ...
    def read(self, id: int, raw: bool = ..., strict: bool = ...) -> bytes: ...
    def open(self, id: int, raw: bool = ..., strict: bool = ...) -> FileReader: ...
    def read_file_data(self, offset: int, size: int) -> bytes: ...
    def sound_table(self, id: int) -> SoundTable: ...

class FileReader(io.RawIOBase):
    def readinto(self, buffer: bytearray | memoryview) -> int: ...  # type: ignore[override]

def open(path: os.PathLike[str] | str) -> Archive: ...

class SoundTable:
    id: int
    hash_key: int
    def __init__(self, data: bytes) -> None: ...
    def resolve(self, kind: int) -> Optional[int]: ...
    @property
    def kinds(self) -> list[int]: ...
    def entries(self, kind: int) -> list[SoundEntry]: ...
    @property
    def hashes(self) -> dict[int, tuple[float, float, float]]: ...

def decompress_lrs(data: bytes) -> bytes: ...
def write(path: os.PathLike[str] | str, files: Mapping[int, bytes],
          block_size: int = ..., compress: bool = ...) -> None: ...
