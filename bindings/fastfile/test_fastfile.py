"""pyFastFile: block and blob records written and read back, the constants, bad arguments."""

import struct

import pytest

import qnst
import qnst_fastfile as ff


def test_constants():
    assert (ff.QNST_MAGIC, ff.OPEN_READ, ff.OPEN_WRITE, ff.FF_NORMAL, ff.FF_LAZY,
            ff.SECTOR_SZ) == (b"qnst", 1, 2, 0, 1, 512)


def test_block_records_reach_the_file_byte_for_byte(tmp_path):
    name = bytes(tmp_path / "blocks.dat")
    f = ff.pyFastFile(4096, ff.FF_NORMAL)
    f.ffile_open(ff.OPEN_WRITE, name, 0, 0)
    assert f.ffile_newblk(b"abcdefXX", 6, 0x1122334455667788) == (16, 0)
    assert f.ffile_newblk(b"\x00" * 100, 100, 2) == (38, 0)
    assert f.ffile_flush() == 512
    f.close()
    f.close()  # a second close does nothing
    data = open(name, "rb").read()
    assert len(data) == 512
    assert data[:22] == b"qnst" + struct.pack("<Qi", 0x1122334455667788, 6) + b"abcdef"
    assert data[22:38] == b"qnst" + struct.pack("<Qi", 2, 100)


def test_blob_records_written_and_read_back(tmp_path):
    name = bytes(tmp_path / "blob.dat")
    w = ff.pyFastFile(512, ff.FF_LAZY)
    w.ffile_open(ff.OPEN_WRITE, name, 0, 0)
    parts = [(b"first part", 0), (b"second", 10), (b"x" * 470, 16)]
    pending = [w.ffile_blobwrite(data, len(data), offset, len(data))
               for data, offset in parts[:2]]
    assert pending == [0, 0]
    assert w.ffile_blobwrite(parts[2][0], 470, 16, 470) != 0  # lazy: no room, nothing stored
    end = w.ffile_flush()
    assert w.ffile_blobwrite(parts[2][0], 470, 16, 470) == 0
    assert w.ffile_flush() > end
    w.close()

    r = ff.pyFastFile(1024, ff.FF_NORMAL)
    r.ffile_open(ff.OPEN_READ, name, 0, 0)
    got = []
    for _ in parts:
        data, offset, size, nxt = r.ffile_blobread()
        got.append((data, offset))
        assert size == len(data) and nxt > 0
    assert got == parts
    assert r.ffile_bpartsize() == (16, 512)
    r.close()
    assert ff.ffile_delete(name) == 0
    assert ff.ffile_delete(name) == 0  # a missing file is no failure


def test_engine_errors_raise_with_their_codes(tmp_path):
    f = ff.pyFastFile(512, 0)
    with pytest.raises(qnst.NotFound) as err:
        f.ffile_open(ff.OPEN_READ, bytes(tmp_path / "missing"), 0, 0)
    assert err.value.code == 2
    with pytest.raises(qnst.QnstError) as err:
        f.ffile_open(ff.OPEN_WRITE, bytes(tmp_path / "w"), 100, 100)  # not sector-aligned
    assert err.value.code == 5
    with pytest.raises(qnst.QnstError) as err:
        ff.pyFastFile(0x7ffffe01, 0)
    assert err.value.code == 22
    f.close()
    with pytest.raises(qnst.QnstError) as err:  # closed: the engine refuses, nothing crashes
        f.ffile_flush()
    assert err.value.code == 22


@pytest.mark.parametrize("call, error, message", [
    (lambda f: f.ffile_newblk(b"abc", 4, 1), ValueError, "fewer than the length given"),
    (lambda f: f.ffile_blobwrite(b"abc", 1 << 31, 0, 0), OverflowError, "too large"),
    (lambda f: f.ffile_newblk(b"abc", 3, -1), OverflowError, "can't convert negative value"),
    (lambda f: f.ffile_open(1, "name", 0, 0), TypeError,
     "Argument 'fname' has incorrect type (expected bytes, got str)"),
    (lambda f: f.ffile_open(1, b"a\0b", 0, 0), ValueError, "embedded zero byte"),
    (lambda f: f.ffile_flush(1), TypeError, "ffile_flush() takes no arguments (1 given)"),
    (lambda f: ff.pyFastFile(), TypeError, "takes exactly 2 positional arguments (0 given)"),
    (lambda f: ff.pyFastFile(512, lazy="no"), TypeError, "an integer is required"),
])
def test_argument_errors(call, error, message):
    f = ff.pyFastFile(512, 0)
    with pytest.raises(error) as err:
        call(f)
    assert message in str(err.value)
