"""Stand-ins for the host compiler's own services, for running the package
outside the host compiler (tests, benchmarks, the command-line tool).

The host compiler adds modules of its own to TVM's Relay namespace
(`tvm.relay.vexa.build_module`, `tvm.relay.vexa.relay_traversal`) and a tuple
annotation to `tvm.relay.annotation`.  `install()` makes this package's
stand-ins importable under those names in the running interpreter, without
touching any file of the installed TVM; where the real host modules exist, it
leaves them alone.  The package itself never imports these stand-ins.
"""
import importlib
import sys
import types

_HOST_MODULES = ("build_module", "relay_traversal")


def _host_has_real_modules():
    try:
        importlib.import_module("tvm.relay.vexa.relay_traversal")
    except ImportError:
        return False
    return "vexa_host" not in getattr(sys.modules.get("tvm.relay.vexa"), "__file__", "") or False


def install():
    """Makes the stand-ins importable as the host compiler's modules.

    Idempotent.  Returns True when the stand-ins were installed (or already
    were), False when the host compiler's own modules are present and were
    left in place.
    """
    import tvm.relay

    if "tvm.relay.vexa" in sys.modules:
        return getattr(sys.modules["tvm.relay.vexa"], "__vexa_standin__", False)
    if _host_has_real_modules():
        return False
    package = types.ModuleType("tvm.relay.vexa")
    package.__path__ = []
    package.__vexa_standin__ = True
    sys.modules["tvm.relay.vexa"] = package
    tvm.relay.vexa = package
    for name in _HOST_MODULES:
        module = importlib.import_module(f"vexa_host.{name}")
        sys.modules[f"tvm.relay.vexa.{name}"] = module
        setattr(package, name, module)
    annotation = tvm.relay.annotation  # the relay.op.annotation package
    if not hasattr(annotation, "tuple_graphmeld"):
        from vexa_host.annotation_standin import tuple_graphmeld

        annotation.tuple_graphmeld = tuple_graphmeld
    return True
