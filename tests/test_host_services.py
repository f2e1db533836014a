"""The build configuration stand-in and the installation of the stand-ins."""

import subprocess
import sys
import textwrap
import threading

import pytest
from conftest import ROOT

import vexa_host
from vexa_host.build_module import BuildConfig


def test_current_is_read_on_the_class_and_nests():
    outer = BuildConfig(arch_config={"arch": "vexa-lite", "extra": 1})
    inner = BuildConfig.for_arch("vexa-pro", channels=24)
    default = BuildConfig.current
    with outer as entered:
        assert entered is outer and BuildConfig.current is outer
        with inner:
            assert BuildConfig.current.arch_config == {"arch": "vexa-pro", "channels": 24}
        assert BuildConfig.current is outer
    assert BuildConfig.current is default


def test_leaving_by_an_exception_restores_the_previous_configuration():
    outer = BuildConfig.for_arch("vexa-nano")
    with outer:
        with pytest.raises(ZeroDivisionError):
            with BuildConfig.for_arch("vexa-max"):
                1 / 0
        assert BuildConfig.current is outer


def test_without_activation_the_architecture_is_missing():
    with pytest.raises(KeyError, match="arch"):
        BuildConfig.current.arch_config["arch"]


def test_activation_is_per_thread():
    seen = []
    with BuildConfig.for_arch("vexa-lite"):
        worker = threading.Thread(target=lambda: seen.append(BuildConfig.current.arch_config))
        worker.start()
        worker.join()
    assert seen == [{}]


def test_blocks_left_out_of_order_are_refused():
    first, second = BuildConfig.for_arch("vexa-lite"), BuildConfig.for_arch("vexa-pro")
    first.__enter__()
    second.__enter__()
    with pytest.raises(RuntimeError):
        first.__exit__(None, None, None)
    second.__exit__(None, None, None)
    first.__exit__(None, None, None)


@pytest.mark.parametrize("arch", [None, 16, {"arch": "vexa-lite"}])
def test_preset_name_must_be_text(arch):
    with pytest.raises(TypeError):
        BuildConfig.for_arch(arch)


def test_installed_modules_are_the_stand_ins():
    import tvm.relay
    from tvm.relay.vexa import build_module, relay_traversal

    assert vexa_host.install() is True  # again: idempotent
    assert build_module.BuildConfig is BuildConfig
    assert relay_traversal is sys.modules["vexa_host.relay_traversal"]
    assert callable(tvm.relay.annotation.tuple_graphmeld)


def run_fresh(code):
    script = f"import sys; sys.path.insert(0, {str(ROOT / 'standin' / 'host')!r})\n" + textwrap.dedent(code)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


def test_real_host_modules_are_left_alone():
    out = run_fresh(
        """
        import types, tvm.relay, vexa_host
        host = types.ModuleType("tvm.relay.vexa")
        host.__path__ = []
        sys.modules["tvm.relay.vexa"] = host
        tvm.relay.annotation.tuple_graphmeld = marker = object()
        print(vexa_host.install(), vexa_host.install())
        print(sys.modules["tvm.relay.vexa"] is host, tvm.relay.annotation.tuple_graphmeld is marker)
        print("tvm.relay.vexa.relay_traversal" in sys.modules)
        """
    )
    assert out == ["False", "False", "True", "True", "False"]


def test_nothing_is_installed_before_the_call():
    out = run_fresh(
        """
        import tvm.relay, vexa_host
        print("tvm.relay.vexa" in sys.modules, hasattr(tvm.relay.annotation, "tuple_graphmeld"))
        """
    )
    assert out == ["False", "False"]
