"""Parameters bound natively give the module of TVM's bind_params_by_name
followed by type inference, typed without that inference where the values
have their parameters' types."""

import numpy as np
import pytest
from conftest import ROOT, requires_tvm

pytestmark = requires_tvm

import sys  # noqa: E402

sys.path.insert(0, str(ROOT / "tools" / "vexatvm"))
import tvm  # noqa: E402
from tvm import relay  # noqa: E402

from vexa_host import _native  # noqa: E402
from vexa_host.param_binding import bind_params  # noqa: E402
from vexatvm_cli.importers import read_model, to_relay  # noqa: E402


def _reference(mod, params):
    mod = tvm.IRModule.from_expr(relay.build_module.bind_params_by_name(mod["main"], params))
    return relay.transform.InferType()(mod)


@pytest.mark.parametrize("name", ["keras_mobilenet_v2.tflite", "qdq_cnn.onnx"])
def test_binding_gives_bind_params_by_name_result_typed(name):
    network = to_relay(read_model(ROOT / "tests" / "models" / name))
    mod = relay.transform.InferType()(network.mod)
    main = mod["main"]
    bound = bind_params(mod, network.params)
    assert _native.fully_typed(bound["main"])
    assert tvm.ir.structural_equal(bound["main"], _reference(mod, network.params)["main"], map_free_vars=True)
    assert mod["main"].same_as(main)  # the caller's module is left as it is


@pytest.mark.parametrize("typed_first", [False, True])
@pytest.mark.parametrize("value_dtype", ["float32", "float64"])
def test_values_of_another_type_or_untyped_networks_get_type_inference(typed_first, value_dtype):
    x = relay.var("x", shape=(2, 3))
    weight = relay.var("w", shape=(3,))
    mod = tvm.IRModule.from_expr(relay.Function([x, weight], relay.Tuple([x, relay.nn.relu(weight)])))
    if typed_first:
        mod = relay.transform.InferType()(mod)
    params = {"w": np.arange(3, dtype=value_dtype), "unused": np.zeros(2, "float32")}
    if typed_first and value_dtype == "float64":
        # The function's typed result says float32: the bound float64 value
        # contradicts it, as it does with bind_params_by_name.
        with pytest.raises(tvm.TVMError):
            _reference(mod, params)
        with pytest.raises(tvm.TVMError):
            bind_params(mod, params)
        return
    bound = bind_params(mod, params)
    assert _native.fully_typed(bound["main"])
    assert tvm.ir.structural_equal(bound["main"], _reference(mod, params)["main"], map_free_vars=True)


def test_a_value_for_a_name_several_parameters_share_is_refused():
    x, first, second = relay.var("x", shape=(3,)), relay.var("w", shape=(3,)), relay.var("w", shape=(3,))
    mod = tvm.IRModule.from_expr(relay.Function([x, first, second], relay.add(x, relay.add(first, second))))
    with pytest.raises(ValueError, match="several parameters of the network are named w"):
        bind_params(mod, {"w": np.zeros(3, "float32")})
    assert bind_params(mod, {"x": np.zeros(3, "float32")})["main"].params[0].name_hint == "w"
