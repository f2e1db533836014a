"""Stand-ins for the host compiler's own services, for running the package
outside the host compiler (tests, benchmarks, the command-line tool).

The host compiler adds modules of its own to TVM's Relay namespace
(`tvm.relay.vexa.build_module`, `tvm.relay.vexa.relay_traversal`) and a tuple
annotation to `tvm.relay.annotation`.  `install()` makes this package's
stand-ins importable under those names in the running interpreter, without
touching any file of the installed TVM; where the real host modules exist, it
leaves them alone.  The package itself never imports these stand-ins.

Beside them: the partition driver (`vexa_host.partition`) that the traversal
services answer for, and `partition_for_vexa` (`vexa_host.flow`).
"""

import importlib
import importlib.util
import sys
import types

_PACKAGE = "tvm.relay.vexa"
_HOST_MODULES = ("build_module", "relay_traversal")


def _host_package_exists():
    """Whether the host compiler's own `tvm.relay.vexa` is importable."""
    if _PACKAGE in sys.modules:
        return not getattr(sys.modules[_PACKAGE], "__vexa_standin__", False)
    return importlib.util.find_spec(_PACKAGE) is not None


def _install_namespace():
    import tvm.relay

    if _PACKAGE in sys.modules:
        return
    package = types.ModuleType(_PACKAGE, "Stand-ins for the host compiler's Relay modules (vexa_host).")
    package.__path__ = []
    package.__vexa_standin__ = True
    for name in _HOST_MODULES:
        module = importlib.import_module(f"vexa_host.{name}")
        sys.modules[f"{_PACKAGE}.{name}"] = module
        setattr(package, name, module)
    # Published last, so that a failure above leaves nothing half installed.
    sys.modules[_PACKAGE] = package
    tvm.relay.vexa = package


def _install_annotation():
    import tvm.relay

    annotation = tvm.relay.annotation
    if not hasattr(annotation, "tuple_graphmeld"):
        from vexa_host.annotation_standin import tuple_graphmeld

        annotation.tuple_graphmeld = tuple_graphmeld


def install():
    """Makes the stand-ins importable as the host compiler's services.

    Call it once before importing `vexatvm_internal.patterns` or
    `vexatvm_internal.graphmeld`; calling it again changes nothing.  Each
    service is installed only where the host's own is missing: a real
    `tvm.relay.vexa` package and a real `tuple_graphmeld` are left in place.
    Nothing is written to disk: the stand-ins live in `sys.modules` and as
    attributes of the imported TVM modules.

    Returns True when the traversal and build-configuration stand-ins are in
    use, False when the host compiler's own modules are.
    """
    real_host = _host_package_exists()
    if not real_host:
        _install_namespace()
    _install_annotation()
    return not real_host
