import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STANDIN_DIR = ROOT / "standin" / "lib"
FAKES_DIR = STANDIN_DIR / "fakes"

HAVE_TVM = importlib.util.find_spec("tvm") is not None
requires_tvm = pytest.mark.skipif(
    not HAVE_TVM, reason="Apache TVM (tvm._ffi.libinfo) is not installed: the native library cannot be located"
)


def fake_library(behaviour):
    """Path of the fake native library with the given fixed behaviour."""
    path = FAKES_DIR / f"libfake-{behaviour}.so"
    assert path.exists(), f"{path} is built by the project's CMake build"
    return str(path)


def run_python(code, library_dir):
    """Runs `code` in a fresh interpreter whose TVM library path is `library_dir`."""
    env = dict(os.environ, TVM_LIBRARY_PATH=str(library_dir))
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)


# The host compiler's own services (tvm.relay.vexa.*, the tuple annotation)
# are provided by the stand-ins under standin/host/ in tests.
sys.path.insert(0, str(ROOT / "standin" / "host"))
import vexa_host  # noqa: E402

vexa_host.install()
