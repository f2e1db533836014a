import os
import platform

import pytest
from conftest import STANDIN_DIR, fake_library, requires_tvm, run_python

pytestmark = requires_tvm

X86 = ["libvexakdr-full.x86.so", "libvexakdr-host-only.x86.so", "libvexakdr-runtime.x86.so"]
ARM = ["libvexakdr-full.aarch64.so", "libvexakdr-host-only.aarch64.so", "libvexakdr-runtime.aarch64.so"]
HEADER = "Could not find internal vexa lib. List of candidates:\n"


@pytest.fixture
def dynbind():
    from vexatvm_internal import _dynbind

    return _dynbind


@pytest.fixture
def search(dynbind, monkeypatch):
    """Runs _find_lib over the given directories on a host with the given processor and machine names."""

    def run(directories, processor="x86_64", machine="x86_64"):
        monkeypatch.setattr(dynbind, "get_dll_directories", lambda: list(directories))
        monkeypatch.setattr(platform, "processor", lambda: processor)
        monkeypatch.setattr(platform, "machine", lambda: machine)
        return dynbind._find_lib()

    return run


def lay_out(directory, names):
    directory.mkdir(parents=True, exist_ok=True)
    for name in names:
        (directory / name).write_bytes(b"")
    return str(directory)


def candidates_in(message):
    assert message.startswith(HEADER)
    rest = message[len(HEADER) :]
    return rest.split("\n * ") if rest else []


@pytest.mark.parametrize(
    "processor, machine, names",
    [
        ("AMD64", "aarch64", X86),
        ("x86_64", "", X86),
        ("i386", "", X86),
        ("x86", "", X86),
        ("amd64", "x86_64", ARM),  # a non-empty processor name decides, case-sensitively
        ("aarch64", "x86_64", ARM),
        ("", "x86_64", X86),  # Debian's x86_64: empty processor name, the machine name decides
        ("", "i686", X86),
        ("", "AMD64", X86),
        ("", "aarch64", ARM),
        ("", "", ARM),
    ],
)
def test_host_arch_selects_file_names(search, tmp_path, processor, machine, names):
    with pytest.raises(RuntimeError) as error:
        search([str(tmp_path)], processor, machine)
    assert candidates_in(str(error.value)) == [os.path.join(str(tmp_path), n) for n in names]


@pytest.mark.parametrize(
    "layout, expected",
    [
        ({"a": X86[2:], "b": X86[:1]}, ("a", X86[2])),  # directory order outranks variant order
        ({"a": X86}, ("a", X86[0])),
        ({"a": X86[1:]}, ("a", X86[1])),
        ({"a": ARM, "b": X86[2:]}, ("b", X86[2])),  # files of the other family are ignored
    ],
)
def test_search_order(search, tmp_path, layout, expected):
    directories = [lay_out(tmp_path / name, files) for name, files in layout.items()]
    assert search(directories) == os.path.join(str(tmp_path / expected[0]), expected[1])


def test_directory_entries_are_used_as_given(search, tmp_path):
    directory = str(tmp_path)
    with pytest.raises(RuntimeError) as error:
        search([directory + "/", directory, "", directory])
    paths = candidates_in(str(error.value))
    assert len(paths) == 12
    assert paths[:3] == [directory + "/" + n for n in X86]
    assert paths[6:9] == X86  # an empty entry gives the bare file names
    assert paths[3:6] == paths[9:12]


@pytest.mark.parametrize("count", [0, 1, 2])
def test_message_lists_every_candidate(search, tmp_path, count):
    directories = [str(tmp_path / f"d{i}") for i in range(count)]
    with pytest.raises(RuntimeError) as error:
        search(directories)
    message = str(error.value)
    assert message.count("\n * ") == max(0, 3 * count - 1)
    assert len(candidates_in(message)) == 3 * count
    if count == 0:
        assert message == HEADER


def test_existing_directory_or_link_counts_as_found(search, tmp_path):
    (tmp_path / "d" / X86[0]).mkdir(parents=True)
    assert search([str(tmp_path / "d")]).endswith(X86[0])
    os.symlink(tmp_path / "missing", tmp_path / X86[0])  # a broken link counts as absent
    with pytest.raises(RuntimeError):
        search([str(tmp_path)])


def test_find_lib_after_import_leaves_library_alone(dynbind, search, tmp_path):
    loaded = dynbind._cpp_lib
    assert search([lay_out(tmp_path, X86[:1])]).endswith(X86[0])
    assert dynbind._cpp_lib is loaded


def test_module_names_in_binding_order(dynbind):
    names = [n for n in vars(dynbind) if not n.startswith("__")]
    assert names == ["os", "cdll", "get_dll_directories", "_find_lib", "_cpp_lib"]
    assert dynbind._cpp_lib._name == str(next(STANDIN_DIR.glob("libvexakdr-full.*.so")))


@pytest.mark.parametrize(
    "module, files, error",
    [
        ("_dynbind", {}, "RuntimeError: Could not find internal vexa lib"),
        ("hwinquire", {}, "RuntimeError: Could not find internal vexa lib"),
        ("_dynbind", {"text": b"not a library"}, "OSError"),
        ("_dynbind", {"dir": None}, "OSError"),
        ("hwinquire", {"lib": "no-entry"}, "AttributeError"),
    ],
)
def test_import_failures_are_not_wrapped(tmp_path, module, files, error):
    target = tmp_path / X86[0] if platform.machine() in ("x86_64", "i686") else tmp_path / ARM[0]
    for kind, content in files.items():
        if kind == "text":
            target.write_bytes(content)
        elif kind == "dir":
            target.mkdir()
        else:
            target.symlink_to(fake_library(content))
    code = f"""
try:
    import vexatvm_internal.{module}
except BaseException as e:
    print(f"{{type(e).__name__}}: {{e}}")
"""
    result = run_python(code, tmp_path)
    assert result.stdout.startswith(error), result.stdout + result.stderr
