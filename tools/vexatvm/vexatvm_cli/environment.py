"""Loads TVM, the host compiler's services and the package's pattern tables.

Outside the host compiler, the host's own modules (build configuration,
traversal services, partition flow) come from the stand-ins under
standin/host/ of the repository this tool lives in, and the native library
from standin/lib/ unless TVM_LIBRARY_PATH already names a directory.
"""

import os
import sys
from pathlib import Path

from vexatvm_cli.errors import CliError

REPO_ROOT = Path(__file__).resolve().parents[3]
STANDIN_LIBRARY_DIR = REPO_ROOT / "standin" / "lib"
STANDIN_HOST_DIR = REPO_ROOT / "standin" / "host"


def _point_tvm_at_native_library():
    # TVM reads TVM_LIBRARY_PATH whenever it lists its library directories,
    # which the package does while it is imported.
    if not os.environ.get("TVM_LIBRARY_PATH") and STANDIN_LIBRARY_DIR.is_dir():
        os.environ["TVM_LIBRARY_PATH"] = str(STANDIN_LIBRARY_DIR)


def load_host():
    """Makes the host compiler's modules importable; returns the `vexa_host`
    stand-in package (partition flow and services)."""
    _point_tvm_at_native_library()
    try:
        import tvm.relay  # noqa: F401
    except ImportError as error:
        raise CliError(f"Apache TVM with Relay cannot be imported: {error}") from error
    if str(STANDIN_HOST_DIR) not in sys.path:
        sys.path.insert(0, str(STANDIN_HOST_DIR))
    try:
        import vexa_host
    except ImportError as error:
        raise CliError(f"the host compiler stand-ins cannot be imported: {error}") from error
    vexa_host.install()
    return vexa_host


def load_tables():
    """Imports the package's pattern module, which registers its tables."""
    load_host()
    try:
        import vexatvm_internal.patterns  # noqa: F401
    except ImportError as error:
        raise CliError(f"the pattern tables cannot be loaded: {error}") from error
