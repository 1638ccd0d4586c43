# SPDX-License-Identifier: MIT
"""The Python module kavrin: archives read in place by wave, soundfile and numpy; seeks and reads
at random offsets; eight threads at once; damage raises; the documentation's example runs."""

import errno
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import threading
import wave

import numpy
import pytest
import soundfile

import kavrin

ROOT = pathlib.Path(__file__).resolve().parents[2]
GOLDEN = ROOT / "tests" / "golden"


def make_sound(path, subtype, channels, seconds):
    rate = 44100
    frames = int(rate * seconds)
    generator = numpy.random.default_rng(5)
    tone = numpy.sin(numpy.arange(frames) * 2 * numpy.pi * 440 / rate)
    noise = generator.standard_normal((frames, channels)) * 0.05
    data = numpy.clip(tone[:, None] * 0.6 + noise, -1, 1)
    soundfile.write(path, data, rate, subtype=subtype)


def restored_bytes(archive, folder):
    return pathlib.Path(kavrin.expand(archive, folder=folder)).read_bytes()


@pytest.mark.parametrize("subtype,channels", [("PCM_16", 2), ("PCM_24", 1)])
def test_sound_libraries_read_archives_in_place(tmp_path, subtype, channels):
    source = tmp_path / "Piano.C4.mf.wav"
    make_sound(source, subtype, channels, 1.6)  # several of the filter's chunks
    archive = kavrin.compress(source, verify=True)
    assert archive == str(tmp_path / "Piano.C4.mf.kvn")
    assert kavrin.info(archive)["type_text"] == b"wav"

    data, rate = soundfile.read(kavrin.open(archive), dtype="int32")
    want, want_rate = soundfile.read(source, dtype="int32")
    assert rate == want_rate and numpy.array_equal(data, want)

    with wave.open(kavrin.open(archive)) as through, wave.open(str(source)) as original:
        assert through.getparams() == original.getparams()
        assert through.readframes(through.getnframes()) == original.readframes(
            original.getnframes())

    raw = kavrin.open(archive).read()
    assert raw == source.read_bytes()
    assert numpy.array_equal(numpy.frombuffer(raw, numpy.uint8),
                             numpy.fromfile(source, numpy.uint8))
    # Expanding elsewhere gives the same file back; an existing result is refused.
    (tmp_path / "back").mkdir()
    assert restored_bytes(archive, tmp_path / "back") == source.read_bytes()
    with pytest.raises(kavrin.Error, match="already exists"):
        kavrin.expand(archive, folder=tmp_path / "back")


def test_seek_and_read_at_random_offsets(tmp_path):
    archive = GOLDEN / "blocks-16.kvn"
    expected = restored_bytes(archive, tmp_path)
    rng = random.Random(11)
    with kavrin.open(archive) as f:
        # From the start, a seek forward and back, and on to the end from where it stopped.
        assert f.read(70000) == expected[:70000]
        f.seek(len(expected) - 1000)
        assert f.read(10) == expected[-1000:-990]
        f.seek(50)
        assert f.read(100) == expected[50:150]
        f.seek(70000)
        assert f.read() == expected[70000:]
    # A reader's bound with room for a read ahead, for one in step, or for none (the index).
    for memory in [64 << 20, 5 << 20, 2 << 20]:
        with kavrin.Reader(memory, 2).open(archive) as f:
            assert f.read() == expected
    with kavrin.open(archive) as f:
        assert f.seekable() and f.readable() and not f.writable()
        for _ in range(200):
            offset = rng.randrange(len(expected) + 10)
            length = rng.choice([1, 17, 4096, 65536, 300000])
            assert f.seek(offset) == offset and f.tell() == offset
            assert f.read(length) == expected[offset:offset + length]
            assert f.tell() == min(offset + length, max(offset, len(expected)))
        assert f.seek(-5, os.SEEK_END) == len(expected) - 5
        assert f.read() == expected[-5:]
        f.seek(100)
        f.seek(10, os.SEEK_CUR)
        assert f.read(3) == expected[110:113]
        with pytest.raises(ValueError):
            f.seek(-1)
    with pytest.raises(ValueError):
        f.read(1)


def test_eight_threads_read_at_once(tmp_path):
    names = ["blocks-16.kvn", "blocks-none.kvn", "chunk-196609-24.kvn", "foreign-streams.kvn"]
    expected = {}
    for name in names:
        (tmp_path / name).mkdir()
        expected[name] = restored_bytes(GOLDEN / name, tmp_path / name)
    failures = []

    def read(index):
        rng = random.Random(index)
        name = names[index % len(names)]
        try:
            with kavrin.open(GOLDEN / name) as f:
                pieces = []
                while True:
                    piece = f.read(rng.randrange(1, 200000))
                    if not piece:
                        break
                    pieces.append(piece)
            if b"".join(pieces) != expected[name]:
                failures.append(name + " read other bytes")
        except Exception as error:  # reported below, with the thread's archive
            failures.append("{}: {!r}".format(name, error))

    threads = [threading.Thread(target=read, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def read_until_error(path):
    """What a read from the start gives before the error it must end in."""
    pieces = []
    with pytest.raises(kavrin.Error) as raised:
        with kavrin.open(path) as f:
            while piece := f.read(300000):
                pieces.append(piece)
    assert raised.value.status == kavrin.DAMAGED and str(raised.value)
    return b"".join(pieces)


def test_damage_raises(tmp_path):
    # A damaged header fails the open, damage further on the read that meets it; an archive of
    # one block gives none of its bytes.
    for name in ["bad-block-crc.kvn", "bad-size-larger.kvn", "bad-trailing.kvn",
                 "bad-header-cut.kvn", "bad-magic.kvn"]:
        assert read_until_error(GOLDEN / name) == b""
        with pytest.raises(kavrin.Error):
            kavrin.test(GOLDEN / name)
    # Damage in the last block, or past the payload, of an archive of several blocks: the
    # blocks before it come out right, the last one not at all.
    expected = restored_bytes(GOLDEN / "blocks-none.kvn", tmp_path)
    good = (GOLDEN / "blocks-none.kvn").read_bytes()
    for damaged in [good[:-30] + bytes([good[-30] ^ 0x04]) + good[-29:], good + b"\0"]:
        (tmp_path / "damaged.kvn").write_bytes(damaged)
        given = read_until_error(tmp_path / "damaged.kvn")
        assert given == expected[:len(given)] and len(given) < len(expected)
    with pytest.raises(kavrin.Error) as raised:
        kavrin.open(tmp_path / "missing.kvn")
    assert raised.value.errno == 2

    # An archive overwritten after it was opened gives an error, not its new bytes.
    copy = tmp_path / "a.kvn"
    shutil.copy(GOLDEN / "blocks-16.kvn", copy)
    with kavrin.open(copy) as f:
        f.read(10)
        data = bytearray(copy.read_bytes())
        data[len(data) // 2] ^= 0x10
        with open(copy, "r+b") as out:
            out.write(data)
        with pytest.raises(kavrin.Error) as raised:  # on from the start
            f.read(100000)
        assert raised.value.errno == errno.ESTALE
        f.seek(len(data) // 2)
        with pytest.raises(kavrin.Error):
            f.read(100000)


def test_documentation_example_runs(tmp_path):
    page = (ROOT / "doc" / "library.md").read_text()
    code = re.search(r"```python\n(.*?)```", page, re.S).group(1)
    (tmp_path / "example.py").write_text(code)
    source = tmp_path / "take.wav"
    make_sound(source, "PCM_16", 2, 0.2)
    archive = kavrin.compress(source)
    done = subprocess.run([sys.executable, str(tmp_path / "example.py"), archive],
                          capture_output=True, text=True, env=dict(os.environ), check=True)
    assert "16 bytes read in the middle" in done.stdout
    assert "2 channels at 44100 Hz" in done.stdout
