import ctypes
import threading
import types

import pytest
from conftest import fake_library, requires_tvm

pytestmark = requires_tvm


@pytest.fixture
def hwinquire():
    from vexatvm_internal import hwinquire

    return hwinquire


@pytest.fixture
def use_fake(hwinquire, monkeypatch):
    def use(behaviour):
        monkeypatch.setattr(hwinquire, "_cpp_lib", ctypes.CDLL(fake_library(behaviour)))

    return use


class RecordingLibrary:
    """A Python object in place of the loaded library: records the calls it gets."""

    def __init__(self, answer=b"7", status=0):
        self.calls = []
        self.answer, self.status = answer, status

    def HwinquireParameter_Py(self, arch, param_name, buffer, size):
        self.calls.append((arch, param_name, size))
        ctypes.memmove(buffer, self.answer, len(self.answer))
        return self.status


@pytest.mark.parametrize(
    "behaviour, raw, public",
    [
        ("answer-128", "128", "128"),
        ("full-buffer", "x" * 40, "x" * 40),
        ("empty", "", RuntimeError),
        ("failure", None, RuntimeError),
        ("bad-utf8", UnicodeDecodeError, UnicodeDecodeError),
    ],
)
def test_answers_of_fake_libraries(hwinquire, use_fake, behaviour, raw, public):
    use_fake(behaviour)
    for function, expected in ((hwinquire._hwinquire_parameter, raw), (hwinquire.hwinquire_parameter, public)):
        if isinstance(expected, type):
            with pytest.raises(expected) as error:
                function("arch: x", "channels")
            if expected is RuntimeError:
                assert str(error.value) == "Architecture query for channels failed"
        else:
            assert function("arch: x", "channels") == expected


def test_stand_in_library_answers(hwinquire):
    assert hwinquire.hwinquire_parameter("arch: vexa-pro\n", "channels") == "32"
    assert hwinquire._hwinquire_parameter(arch="channels: 8\n", param_name="channels") == "8"
    assert hwinquire.hwinquire_parameter(arch_val="channels: 8\n", param_name="channels") == "8"
    assert hwinquire._hwinquire_parameter("arch: nowhere\n", "channels") is None


def test_none_becomes_the_text_none(hwinquire, use_fake):
    use_fake("echo-name")
    assert hwinquire.hwinquire_parameter(None, None) == "None"
    use_fake("failure")
    with pytest.raises(RuntimeError, match="^Architecture query for None failed$"):
        hwinquire.hwinquire_parameter("arch: x", None)


class Text(str):
    pass


@pytest.mark.parametrize("value", [1, 2.5, b"channels", bytearray(b"x"), Text("x"), ["x"], object()])
@pytest.mark.parametrize(
    "function, names",
    [("hwinquire_parameter", ("arch_val", "param_name")), ("_hwinquire_parameter", ("arch", "param_name"))],
)
def test_wrong_argument_types_are_refused_before_the_library(hwinquire, monkeypatch, value, function, names):
    library = RecordingLibrary()
    monkeypatch.setattr(hwinquire, "_cpp_lib", library)
    call = getattr(hwinquire, function)
    expected = f"Argument '%s' has incorrect type (expected str, got {type(value).__name__})"
    with pytest.raises(TypeError) as error:
        call(value, "channels")
    assert str(error.value) == expected % names[0]
    with pytest.raises(TypeError) as error:
        call("arch: x", value)
    assert str(error.value) == expected % names[1]
    with pytest.raises(TypeError) as error:
        call(value, 3)  # the first argument is tested first
    assert str(error.value) == expected % names[0]
    assert library.calls == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "missing 2 required positional arguments: 'arch_val' and 'param_name'"),
        (("a",), {}, "missing 1 required positional argument: 'param_name'"),
        (("a", "b", "c"), {}, "takes 2 positional arguments but 3 were given"),
        (("a",), {"param_name": "b", "arch": "c"}, "got an unexpected keyword argument 'arch'"),
        (("a",), {"arch_val": "c"}, "got multiple values for argument 'arch_val'"),
    ],
)
def test_bad_calls_fail_like_python_functions(hwinquire, args, kwargs, message):
    with pytest.raises(TypeError) as error:
        hwinquire.hwinquire_parameter(*args, **kwargs)
    assert str(error.value) == "hwinquire_parameter() " + message


def test_raw_query_refuses_none(hwinquire):
    with pytest.raises(TypeError):
        hwinquire._hwinquire_parameter(None, "channels")


def test_unencodable_text_never_reaches_the_library(hwinquire, monkeypatch):
    library = RecordingLibrary()
    monkeypatch.setattr(hwinquire, "_cpp_lib", library)
    for args in (("\ud800", "channels"), ("arch: x", "\udcff")):
        with pytest.raises(UnicodeEncodeError):
            hwinquire.hwinquire_parameter(*args)
    assert library.calls == []


def test_replaced_library_object_is_called_like_ctypes_would(hwinquire, monkeypatch):
    library = RecordingLibrary(answer=b"42\0")
    monkeypatch.setattr(hwinquire, "_cpp_lib", library)
    assert hwinquire.hwinquire_parameter("arch: \u00e9", "channels") == "42"
    assert library.calls == [("arch: \u00e9".encode(), b"channels", 40)]
    library.status = 3
    assert hwinquire._hwinquire_parameter("a", "b") is None


@pytest.mark.parametrize(
    "entry, outcome",
    [
        (ctypes.CFUNCTYPE(ctypes.c_int)(), ValueError),  # no address: calling it would crash
        (ctypes.CFUNCTYPE(ctypes.c_int)(lambda: 0), ""),  # a callback into Python, called natively
        (lambda *args: 0, ""),
        (lambda *args: "0", None),  # any status other than 0 is a failure
        (None, TypeError),
    ],
)
def test_unusual_entry_points(hwinquire, monkeypatch, entry, outcome):
    monkeypatch.setattr(hwinquire, "_cpp_lib", types.SimpleNamespace(HwinquireParameter_Py=entry))
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            hwinquire._hwinquire_parameter("a", "b")
    else:
        assert hwinquire._hwinquire_parameter("a", "b") == outcome


def test_replaced_raw_query_is_used(hwinquire, monkeypatch):
    seen = []
    monkeypatch.setattr(hwinquire, "_hwinquire_parameter", lambda a, p: seen.append((a, p)) or "5")
    assert hwinquire.hwinquire_parameter(None, "channels") == "5"
    assert seen == [("None", "channels")]


def test_entry_point_declared_at_import(hwinquire):
    entry = hwinquire._cpp_lib.HwinquireParameter_Py
    assert entry.argtypes == (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t)
    assert entry.restype is ctypes.c_int
    names = [n for n in vars(hwinquire) if not n.startswith("__")]
    assert names == ["_cpp_lib", "ctypes", "RES_BUF_SIZE", "_hwinquire_parameter", "hwinquire_parameter"]


def test_result_buffer_size_is_a_module_constant(hwinquire):
    assert type(hwinquire.RES_BUF_SIZE) is int and hwinquire.RES_BUF_SIZE == 40


def test_library_gets_a_buffer_of_res_buf_size_bytes(hwinquire, monkeypatch):
    library = RecordingLibrary(answer=b"x" * hwinquire.RES_BUF_SIZE)
    monkeypatch.setattr(hwinquire, "_cpp_lib", library)
    # No zero byte in the whole buffer: the answer is all RES_BUF_SIZE bytes.
    assert hwinquire._hwinquire_parameter("a", "b") == "x" * 40
    assert library.calls == [(b"a", b"b", 40)]


def test_concurrent_queries_get_their_own_answers(hwinquire):
    failures = []

    def worker(n):
        for _ in range(200):
            if hwinquire.hwinquire_parameter(f"channels: {n}\n", "channels") != str(n):
                failures.append(n)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(1, 7)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
