"""The stand-in for the maker's native library, called through ctypes directly."""

import ctypes
import threading

import pytest
from conftest import STANDIN_DIR

LIB = ctypes.CDLL(str(next(STANDIN_DIR.glob("libvexakdr-full.*.so"))))
QUERY = LIB.HwinquireParameter_Py
QUERY.argtypes = (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t)
QUERY.restype = ctypes.c_int


def ask(arch, param="channels", size=40):
    guard = 8
    buffer = ctypes.create_string_buffer(b"\xee" * (size + guard), size + guard)
    status = QUERY(
        arch.encode() if arch is not None else None, param.encode() if param is not None else None, buffer, size
    )
    assert buffer.raw[size:] == b"\xee" * guard, "wrote past the given size"
    return status, buffer.raw[:size].split(b"\0")[0].decode(errors="replace") if status == 0 else None


@pytest.mark.parametrize(
    "arch, expected",
    [
        ("arch: vexa-nano\n", "8"),
        ("arch: vexa-lite\n", "16"),
        ("arch: vexa-pro\n", "32"),
        ("arch: vexa-max\n", "64"),
        ("channels: 24\n", "24"),
        ("arch: vexa-max\nchannels: 12\n", "12"),  # an explicit value wins over the preset
        ("channels: -3\n", "-3"),
        ("channels: 123456789012345678\n", "123456789012345678"),
    ],
)
def test_answers(arch, expected):
    assert ask(arch) == (0, expected)


@pytest.mark.parametrize(
    "arch, param",
    [
        ("arch: vexa-unknown\n", "channels"),
        ("arch: vexa-pro\n", "lanes"),
        ("other: 1\n", "channels"),
        ("channels: 1.5\n", "channels"),
        ("channels: sixteen\n", "channels"),
        ("channels: [16]\n", "channels"),
        ("channels: true\n", "channels"),
        ("channels:\n", "channels"),
        ("arch: {channels: 16}\n", "channels"),
        ("- 16\n", "channels"),
        ("16\n", "channels"),
        ("", "channels"),
        ("channels: [16\n", "channels"),
        ("{{{{", "channels"),
        ("\t: bad\n  - x", "channels"),
    ],
)
def test_failures_give_nonzero_status(arch, param):
    assert ask(arch, param)[0] != 0


def test_answer_that_does_not_fit_is_refused():
    assert ask("channels: 123\n", size=3)[0] != 0  # needs 4 bytes with its zero
    assert ask("channels: 123\n", size=4) == (0, "123")
    assert ask("channels: 1\n", size=0)[0] != 0


def test_null_pointers():
    assert QUERY(None, b"channels", ctypes.create_string_buffer(40), 40) != 0
    assert QUERY(b"channels: 1", None, ctypes.create_string_buffer(40), 40) != 0
    assert QUERY(b"channels: 1", b"channels", None, 40) != 0


def test_many_threads_at_once():
    archs = {f"channels: {n}\n": str(n) for n in range(1, 9)}
    failures = []

    def worker(arch, expected):
        for _ in range(300):
            if ask(arch) != (0, expected):
                failures.append(arch)

    threads = [threading.Thread(target=worker, args=item) for item in archs.items()]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
