import functools
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STANDIN_DIR = ROOT / "standin" / "lib"
FAKES_DIR = STANDIN_DIR / "fakes"


@functools.cache
def tvm_problem():
    """None when TVM with Relay imports; otherwise why it does not."""
    try:
        import tvm.relay  # noqa: F401
    except Exception as error:  # ImportError, or anything a broken install raises
        return f"{type(error).__name__}: {error}"
    return None


@pytest.fixture
def tvm_required():
    """Fails (never skips) the test when TVM with Relay cannot be imported: a run
    in which TVM went missing must not pass."""
    problem = tvm_problem()
    if problem is not None:
        pytest.fail(
            f"TVM with Relay is required but cannot be imported ({problem}); run ./scripts/setup.sh, which installs it",
            pytrace=False,
        )


# Marks a test (or, as `pytestmark`, a whole module) as needing TVM with Relay.
requires_tvm = pytest.mark.usefixtures("tvm_required")


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
