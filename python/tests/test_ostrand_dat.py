"""The Python package against archives it writes itself, and the sample."""

import errno
import io
import os
import random
import threading

import pytest

import ostrand_dat

RNG = random.Random(7)
FILES = {
    1: b"",
    2: b"hello",
    3: bytes(RNG.getrandbits(8) for _ in range(70000)),       # incompressible
    0x0A000123: b"abcdefgh" * 40000 + b"tail",                 # repetitive
}
# Table 0x20000001: kind 14 -> wave 0x0A000123 (the format's worked example).
TABLE = bytes.fromhex("01000020 00000000 00000000 01000000 0e000000 01000000"
                      "2301000a 00000000 0000803f 0000803f 00000000")


@pytest.fixture(params=[(64, False), (1024, True)], ids=["64-plain", "1024-compressed"])
def archive(request, tmp_path):
    block_size, compress = request.param
    path = tmp_path / "a.dat"
    ostrand_dat.write(path, {**FILES, 0x20000001: TABLE}, block_size=block_size,
                      compress=compress)
    with ostrand_dat.open(path) as opened:
        opened.compress = compress
        yield opened


@pytest.mark.parametrize("file_id", sorted(FILES))
def test_reads_give_what_was_written(archive, file_id):
    data = FILES[file_id]
    entry = archive.entry(file_id)
    assert file_id in archive and entry.compressed == archive.compress
    assert archive.read(file_id) == data
    stored = archive.read(file_id, raw=True)
    assert stored == archive.read_file_data(entry.offset, entry.size)
    assert (ostrand_dat.decompress_lrs(stored) if entry.compressed else stored) == data
    with archive.open(file_id) as stream:
        assert stream.read(1000) == data[:1000] and stream.read() == data[1000:]
    buffered = io.BufferedReader(archive.open(file_id, raw=True))
    assert buffered.read() == stored and buffered.read() == b""
    info = archive.info(file_id)
    assert (info.entry, info.size) == (entry, len(data))
    assert info.declared_size == (len(data) if entry.compressed else None)


def test_strict_read_refuses_a_short_stream(tmp_path):
    path = tmp_path / "short.dat"
    ostrand_dat.write(path, {7: FILES[0x0A000123]}, compress=True)
    with ostrand_dat.open(path) as archive:
        offset = archive.entry(7).offset
    with open(path, "r+b") as f:  # the declared size, 1000 bytes too many
        f.seek(offset + 4)
        f.write((len(FILES[0x0A000123]) + 1000).to_bytes(4, "little"))
    with ostrand_dat.open(path) as archive:
        assert archive.info(7).declared_size == len(FILES[0x0A000123]) + 1000
        assert archive.read(7) == FILES[0x0A000123]
        with pytest.raises(ostrand_dat.DamagedArchive, match=r"DecompressionFailed\(321004\)"):
            archive.read(7, strict=True)
        stream = archive.open(7, strict=True)
        assert stream.read(len(FILES[0x0A000123])) == FILES[0x0A000123]
        with pytest.raises(ostrand_dat.DamagedArchive, match=r"DecompressionFailed"):
            stream.read(1)


def test_directory(archive):
    entries = list(archive)
    assert len(archive) == 5 and [e.id for e in entries] == sorted([*FILES, 0x20000001])
    assert entries == [archive.entry(e.id) for e in entries]
    assert archive.header.block_size in (64, 1024) and len(archive.header.version_string) == 16
    assert 4 not in archive and -1 not in archive and "2" not in archive


def test_sound_table(archive):
    table = archive.sound_table(0x20000001)
    assert (table.id, table.hash_key, table.kinds, table.hashes) == (0x20000001, 0, [14], {})
    assert table.resolve(14) == 0x0A000123 and table.resolve(15) is None
    assert table.entries(14) == [ostrand_dat.SoundEntry(0x0A000123, 0.0, 1.0, 1.0)]
    with pytest.raises(KeyError):
        table.entries(15)


@pytest.mark.parametrize("payload, decoded", [
    ("06000000 10616263 0301", b"abcabc"),      # a back-reference of 3 from 3
    ("06000000 4061010f", b"aaaaaa"),           # a run cut at the declared size
    ("05000000 20787903 01", b"xyxxy"),         # a reference before the start
    ("0600", bytes.fromhex("0600")),            # shorter than the prefix
    ("03000000 80000061", b""),                 # distance 0 ends decoding
])
def test_decompress_lrs(payload, decoded):
    assert ostrand_dat.decompress_lrs(bytes.fromhex(payload)) == decoded


def _short_file(tmp_path):
    (tmp_path / "short.dat").write_bytes(b"\0" * 330)
    return ostrand_dat.open(tmp_path / "short.dat")


@pytest.mark.parametrize("action, error, kind, text", [
    (lambda a, p: a.read(4), (ostrand_dat.NotFound, KeyError), "NotFound", "NotFound(4)"),
    (lambda a, p: ostrand_dat.open(p / "missing.dat"), (ostrand_dat.IoError, OSError),
     "PathError", "PathError { path: "),
    (lambda a, p: _short_file(p), (ostrand_dat.DamagedArchive,), "BinRead",
     "BinRead(failed to fill whole buffer"),
    (lambda a, p: a.read_file_data(a.header.file_size - 4, 8), (ostrand_dat.DamagedArchive,),
     "Io", "Io(Error { kind: UnexpectedEof"),
    (lambda a, p: a.read_file_data(0, 1 << 31), (ostrand_dat.DamagedArchive,),
     "Corruption", "Corruption("),
    (lambda a, p: ostrand_dat.SoundTable(b"\1" * 15), (ostrand_dat.DamagedArchive,),
     "BinRead", "BinRead(failed to fill whole buffer)"),
    (lambda a, p: ostrand_dat.write(p / "no" / "x.dat", {1: b""}), (ostrand_dat.IoError,),
     "Io", "Io(Os { code: 2"),
])
def test_errors(archive, tmp_path, action, error, kind, text):
    with pytest.raises(error) as raised:
        action(archive, tmp_path)
    assert isinstance(raised.value, ostrand_dat.Error) and raised.value.kind == kind
    assert str(raised.value).startswith(text)
    if isinstance(raised.value, OSError):
        assert raised.value.errno == errno.ENOENT


def test_closed_archive_refuses_reads(archive):
    stream = archive.open(2)
    archive.close()
    archive.close()
    for read in (lambda: archive.read(2), stream.read, lambda: archive.open(2)):
        with pytest.raises(ValueError):
            read()


def test_threads_share_one_archive(archive):
    results = []
    def read_all():
        results.append([archive.read(i) for i in sorted(FILES) for _ in range(3)])
    threads = [threading.Thread(target=read_all) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [[FILES[i] for i in sorted(FILES) for _ in range(3)]] * 4


SAMPLE = os.environ.get("OSTRAND_SAMPLE_DAT", "build/samples/portal/client_portal.dat")


@pytest.mark.skipif(not os.path.exists(SAMPLE), reason="no sample archive")
def test_readme_example(capsys):
    path = SAMPLE
    # The README's "From Python" example, from here to the end.
    import ostrand_dat

    with ostrand_dat.open(path) as archive:
        compressed = sum(entry.compressed for entry in archive)
        print(f"{len(archive)} files, {compressed} compressed")
        table = ostrand_dat.SoundTable(archive.read(0x20000001))
        print(f"kind 0x58 -> {table.resolve(0x58)}")  # a wave id, or None
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("3863 files, ") and out[1] == "kind 0x58 -> 167772770"
