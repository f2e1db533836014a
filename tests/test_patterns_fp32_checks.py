"""Float32 check predicates: verdicts on typed Relay calls, the same verdicts
through Python-level reads (proxies, replaced class bindings), and odd inputs
that must raise the errors a plain Python rendition raises."""

import sys
import types
from unittest import mock

import numpy as np
import pytest
import tvm
from tvm import relay
from tvm.relay.vexa.build_module import BuildConfig

from vexatvm_internal import patterns as P

F32 = "float32"


# --- A plain Python rendition of the checks, run against the module's own
# --- current bindings, for differential tests.


class Reference:
    @staticmethod
    def check_fp32(extract):
        return extract.checked_type.dtype == "float32"

    @staticmethod
    def is_captured(extract):
        return isinstance(extract, P.Call) and isinstance(extract.op, P.Function)

    @staticmethod
    def check_fp32_bias_add(extract):
        bias_type = extract.args[1].checked_type.shape
        data_type = extract.args[0].checked_type.shape
        if len(data_type) != 4 or len(bias_type) != 1 or data_type[3] != bias_type[0]:
            return False
        if not Reference.is_captured(extract.args[0]):
            return False
        return Reference.check_fp32(extract)

    @staticmethod
    def check_fp32_relu(extract):
        if not Reference.check_fp32(extract):
            return False
        return Reference.is_captured(extract.args[0])

    @staticmethod
    def check_fp32_res_add(expr):
        if isinstance(expr.args[0], P.Constant) or isinstance(expr.args[1], P.Constant):
            return False
        left_type, right_type = expr.args[0].checked_type, expr.args[1].checked_type
        if list(left_type.shape) != list(right_type.shape):
            return False
        if len(left_type.shape) != 4 or len(right_type.shape) != 4:
            return False
        return Reference.check_fp32(expr)

    @staticmethod
    def check_fp32_concatenate(extract):
        for arg in extract.args:
            fields = list(arg.fields) if isinstance(arg, P.Tuple) else []
            if any(isinstance(value, P.Constant) for value in [arg] + fields):
                return False
        cat_consumers = P.get_consumers_mc(extract)
        for cmer in cat_consumers:
            if cmer == extract or isinstance(cmer.op, P.Op):
                return False
        for cmer in cat_consumers:
            convs = P.find_call_of_type(cmer, "nn.conv2d")
            assert len(convs) <= 1
            if len(convs) == 0:
                continue
            if convs[0].attrs.get_int("groups") > 1:
                return False
        return Reference.check_fp32(extract)

    @staticmethod
    def check_fp32_upsampling(extract):
        args, attrs = extract.args, extract.attrs
        if isinstance(args[0], P.Constant):
            return False
        if attrs.get_str("method") not in ["nearest_neighbor", "bilinear", "linear"]:
            return False
        if attrs.get_str("rounding_method") not in ["", "round"]:
            return False
        return Reference.check_fp32(extract)

    @staticmethod
    def check_avg_pool2d(extract):
        i_shape = extract.args[0].checked_type.shape
        o_shape = extract.checked_type.shape
        if o_shape[1] != 1 or o_shape[2] != 1:
            return False
        arch_channels = int(P.hwinquire_parameter(P.get_current_arch_value(), "channels"))
        if i_shape[1] > arch_channels or i_shape[2] > arch_channels:
            return False
        return Reference.check_fp32(extract)

    @staticmethod
    def check_fp32_hardtanh(extract):
        if extract.attrs.get_int("a_min") != 0.0:
            return False
        return Reference.check_fp32(extract)


CHECKS = [
    "check_fp32",
    "is_captured",
    "check_fp32_bias_add",
    "check_fp32_relu",
    "check_fp32_res_add",
    "check_fp32_concatenate",
    "check_fp32_upsampling",
    "check_avg_pool2d",
    "check_fp32_hardtanh",
]


class Proxy:
    """Forwards every read to a TVM object and wraps what comes back, so that
    the checks see the same values through objects that are not TVM's."""

    __slots__ = ("_target",)

    def __init__(self, target):
        object.__setattr__(self, "_target", target)

    @property
    def __class__(self):  # isinstance answers as for the target
        return type(self._target)

    def __getattr__(self, name):
        return wrap(getattr(self._target, name))

    def __getitem__(self, index):
        return wrap(self._target[index])

    def __len__(self):
        return len(self._target)

    def __iter__(self):
        return (wrap(value) for value in self._target)

    def __eq__(self, other):
        return self._target == unwrap(other)

    def __ne__(self, other):
        return self._target != unwrap(other)

    def __gt__(self, other):
        return self._target > unwrap(other)

    def __bool__(self):
        return bool(self._target)

    __hash__ = None


def wrap(value):
    return Proxy(value) if isinstance(value, tvm.runtime.Object) else value


def unwrap(value):
    return object.__getattribute__(value, "_target") if type(value) is Proxy else value


def outcome(function, argument):
    try:
        result = function(argument)
    except Exception as error:  # noqa: BLE001 - the error type is the outcome
        return ("raises", type(error))
    return ("returns", type(result), result if isinstance(result, (bool, str, int)) else None)


# --- Graph builders: typed calls, NHWC float32 unless given otherwise.


def typed(expr):
    mod = tvm.IRModule.from_expr(expr)
    return relay.transform.InferType()(mod)["main"].body


def var(shape, dtype=F32, name="x"):
    return relay.var(name, shape=shape, dtype=dtype)


def composite(data, channels=16, dtype=F32):
    """A call of a composite function (a convolution region)."""
    param = relay.var("p", shape=data.type_annotation.shape, dtype=dtype)
    weight = relay.const(np.zeros((1, 1, int(data.type_annotation.shape[3]), channels), dtype))
    body = relay.nn.conv2d(param, weight, data_layout="NHWC", kernel_layout="HWIO")
    fn = relay.Function([param], body).with_attr("Composite", "vexa_fp32.conv2d")
    return relay.Call(fn, [data])


def bias_add(data_shape=(1, 8, 8, 16), bias_len=16, captured=True, op="add", axis=3):
    data = var(data_shape)
    data = composite(data, channels=data_shape[3]) if captured else relay.nn.relu(data)
    bias = relay.const(np.zeros((bias_len,), F32))
    return typed(relay.add(data, bias) if op == "add" else relay.nn.bias_add(data, bias, axis=axis))


def relu_after(captured=True, dtype=F32):
    data = var((1, 8, 8, 16), dtype)
    data = composite(data, dtype=dtype) if captured else relay.nn.relu(data)
    return typed(relay.nn.relu(data))


def res_add(left=(1, 8, 8, 16), right=(1, 8, 8, 16), constant=None):
    a = relay.nn.relu(var(left, name="a"))
    b = relay.nn.relu(var(right, name="b"))
    if constant == "left":
        a = relay.const(np.zeros(left, F32))
    if constant == "right":
        b = relay.const(np.zeros(right, F32))
    return typed(relay.add(a, b))


def resize(method="linear", rounding="round", constant_input=False):
    data = relay.const(np.zeros((1, 4, 4, 8), F32)) if constant_input else relay.nn.relu(var((1, 4, 4, 8)))
    return typed(relay.image.resize2d(data, (8, 8), layout="NHWC", method=method, rounding_method=rounding))


def clip(a_min=0.0, a_max=6.0, dtype=F32):
    return typed(relay.clip(relay.nn.relu(var((1, 4, 4, 8), dtype)), a_min, a_max))


def avg_pool(kind="global", size=7, out=1):
    data = relay.nn.relu(var((1, size, size, 64)))
    if kind == "global":
        return typed(relay.nn.global_avg_pool2d(data, layout="NHWC"))
    if kind == "adaptive":
        return typed(relay.nn.adaptive_avg_pool2d(data, (out, out), layout="NHWC"))
    return typed(relay.nn.avg_pool2d(data, (size // out, size // out), (size // out, size // out), layout="NHWC"))


@pytest.fixture(autouse=True)
def target_channels():
    """The active target reports 7 channels unless a test says otherwise."""
    with BuildConfig(arch_config={"arch": {"channels": 7}}):
        yield


VERDICTS = [
    ("check_fp32", lambda: relu_after(), True),
    ("check_fp32", lambda: relu_after(dtype="float16"), False),
    ("is_captured", lambda: relu_after().args[0], True),
    ("is_captured", lambda: relu_after(captured=False).args[0], False),
    ("is_captured", lambda: var((1,)), False),
    ("is_captured", lambda: relay.Tuple([var((1,))]), False),
    ("check_fp32_relu", lambda: relu_after(), True),
    ("check_fp32_relu", lambda: relu_after(captured=False), False),
    ("check_fp32_relu", lambda: relu_after(dtype="float16"), False),
    ("check_fp32_bias_add", lambda: bias_add(), True),
    ("check_fp32_bias_add", lambda: bias_add(op="bias_add"), True),
    ("check_fp32_bias_add", lambda: bias_add(bias_len=8, op="bias_add", axis=1), False),
    ("check_fp32_bias_add", lambda: bias_add(bias_len=1), False),
    ("check_fp32_bias_add", lambda: bias_add(data_shape=(1, 16, 8, 8), op="bias_add", axis=1), False),
    ("check_fp32_bias_add", lambda: bias_add(captured=False), False),
    ("check_fp32_res_add", lambda: res_add(), True),
    ("check_fp32_res_add", lambda: res_add(right=(1, 1, 1, 16)), False),
    ("check_fp32_res_add", lambda: res_add(left=(8, 16), right=(8, 16)), False),
    ("check_fp32_res_add", lambda: res_add(constant="left"), False),
    ("check_fp32_res_add", lambda: res_add(constant="right"), False),
    ("check_fp32_upsampling", lambda: resize(), True),
    ("check_fp32_upsampling", lambda: resize("nearest_neighbor", ""), True),
    ("check_fp32_upsampling", lambda: resize(rounding="round_prefer_ceil"), False),
    ("check_fp32_upsampling", lambda: resize(method="cubic"), False),
    ("check_fp32_upsampling", lambda: resize(constant_input=True), False),
    ("check_fp32_hardtanh", lambda: clip(), True),
    ("check_fp32_hardtanh", lambda: clip(a_max=1e9), True),
    ("check_fp32_hardtanh", lambda: clip(a_min=-1.0), False),
    ("check_fp32_hardtanh", lambda: clip(dtype="float16"), False),
    ("check_avg_pool2d", lambda: avg_pool("global", 7), True),
    ("check_avg_pool2d", lambda: avg_pool("adaptive", 7), True),
    ("check_avg_pool2d", lambda: avg_pool("plain", 7), True),
    ("check_avg_pool2d", lambda: avg_pool("global", 8), False),
    ("check_avg_pool2d", lambda: avg_pool("adaptive", 8, out=2), False),
]


@pytest.mark.parametrize("name,build,expected", VERDICTS)
def test_verdicts_native_proxy_and_reference_agree(name, build, expected):
    expr = build()
    check = getattr(P, name)
    assert check(expr) is expected
    assert check(Proxy(expr)) is expected or name == "is_captured"
    assert getattr(Reference, name)(expr) == expected


@pytest.mark.parametrize("name,build,expected", [v for v in VERDICTS if v[0] != "is_captured"])
def test_replaced_class_bindings_give_the_python_answer(monkeypatch, name, build, expected):
    """Replaced `Call`/`Constant`/`Function`/`Op` bindings are honoured."""
    expr = build()

    class Nothing:
        pass

    for cls in ("Call", "Constant", "Function", "Op", "Tuple"):
        monkeypatch.setattr(P, cls, Nothing)
        assert outcome(getattr(P, name), expr) == outcome(getattr(Reference, name), expr), cls
        monkeypatch.undo()


def test_average_pooling_queries_target_anew_and_only_for_1x1_outputs(monkeypatch):
    queries = []
    real_query = P.hwinquire_parameter
    monkeypatch.setattr(P, "hwinquire_parameter", lambda arch, name: queries.append(name) or real_query(arch, name))
    assert P.check_avg_pool2d(avg_pool("adaptive", 8, out=2)) is False
    assert queries == []
    assert P.check_avg_pool2d(avg_pool("global", 7)) is True
    with BuildConfig(arch_config={"arch": {"channels": 6}}):
        assert P.check_avg_pool2d(avg_pool("global", 7)) is False
    with BuildConfig(arch_config={"arch": "vexa-nano"}):
        assert P.check_avg_pool2d(avg_pool("global", 8)) is True
    assert queries == ["channels"] * 3


@pytest.mark.parametrize(
    "answer,error", [("abc", ValueError), ("", ValueError), (None, TypeError), ("  12 ", None), (2**80, None)]
)
def test_average_pooling_takes_int_of_the_answer(monkeypatch, answer, error):
    monkeypatch.setattr(P, "hwinquire_parameter", lambda arch, name: answer)
    expr = avg_pool("global", 7)
    assert outcome(P.check_avg_pool2d, expr) == outcome(Reference.check_avg_pool2d, expr)
    if error is not None:
        assert outcome(P.check_avg_pool2d, expr) == ("raises", error)


def test_inner_checks_are_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(P, "check_fp32", lambda e: "float32!")
    assert P.check_fp32_res_add(res_add()) == "float32!"
    assert P.check_fp32_relu(relu_after()) is True
    monkeypatch.setattr(P, "is_captured", lambda e: "captured")
    assert P.check_fp32_relu(relu_after(captured=False)) == "captured"
    assert P.check_fp32_bias_add(bias_add(captured=False)) == "float32!"
    monkeypatch.delattr(P, "check_fp32")
    with pytest.raises(NameError, match="check_fp32"):
        P.check_fp32_hardtanh(clip())
    assert P.check_fp32_hardtanh(clip(a_min=-1.0)) is False


# --- Concatenation: consumers and convolutions come from the host services.


def concat(n=2, constant=False, dtype=F32):
    fields = [relay.nn.relu(var((1, 4, 4, 8), dtype, f"x{i}")) for i in range(n)]
    if constant:
        fields[-1] = relay.const(np.zeros((1, 4, 4, 8), dtype))
    return typed(relay.concatenate(fields, axis=3))


def conv_call(groups):
    data = var((1, 4, 4, 8))
    weight = relay.const(np.zeros((1, 1, 8 // groups, 8), F32))
    return typed(relay.nn.conv2d(data, weight, groups=groups, data_layout="NHWC", kernel_layout="HWIO"))


@pytest.fixture
def services(monkeypatch):
    """Sets what get_consumers_mc and find_call_of_type answer."""
    state = types.SimpleNamespace(consumers=[], convs={}, seen=[])

    def find(expr, op_name):
        state.seen.append(op_name)
        return state.convs.get(id(unwrap(expr)), [])

    monkeypatch.setattr(P, "get_consumers_mc", lambda expr: state.consumers)
    monkeypatch.setattr(P, "find_call_of_type", find)
    return state


@pytest.mark.parametrize("wrapped", [False, True])
@pytest.mark.parametrize(
    "consumers,groups,expected",
    [
        ([], [], True),
        (["op"], [], False),
        (["self"], [], False),
        (["composite"], [], True),
        (["composite", "composite"], [None, 1], True),
        (["composite", "composite"], [1, 2], False),
        (["composite"], [[1, 1]], AssertionError),
    ],
)
def test_concatenation_consumers(services, wrapped, consumers, groups, expected):
    extract = concat()
    made = {"op": lambda: relay_call_of_op(extract), "self": lambda: extract, "composite": composite_call}
    services.consumers = [made[kind]() for kind in consumers]
    for consumer, group in zip(services.consumers, groups):
        if group is not None:
            group = group if isinstance(group, list) else [group]
            services.convs[id(consumer)] = [conv_call(g) for g in group]
    if wrapped:
        services.consumers = [Proxy(c) for c in services.consumers]
        extract = Proxy(extract)
    if expected is AssertionError:
        with pytest.raises(AssertionError) as info:
            P.check_fp32_concatenate(extract)
        assert info.value.args == ()
    else:
        assert P.check_fp32_concatenate(extract) is expected
        assert Reference.check_fp32_concatenate(extract) is expected


def composite_call():
    return relu_after().args[0]


def relay_call_of_op(data):
    return typed(relay.nn.relu(data))


def test_concatenation_assertion_skipped_under_optimize(services, monkeypatch):
    consumer = composite_call()
    services.consumers = [consumer]
    services.convs[id(consumer)] = [conv_call(2), conv_call(1)]
    monkeypatch.setattr(sys, "flags", types.SimpleNamespace(optimize=1))
    assert P.check_fp32_concatenate(concat()) is False
    services.convs[id(consumer)] = [conv_call(1), conv_call(2)]
    assert P.check_fp32_concatenate(concat()) is True


def test_concatenation_iterates_consumers_twice_and_rejects_constants(services):
    consumer = composite_call()
    services.consumers = (c for c in [consumer])  # a one-shot iterator: the second pass sees nothing
    services.convs[id(consumer)] = [conv_call(2)]
    assert P.check_fp32_concatenate(concat()) is True
    assert services.seen == []
    services.consumers = [consumer]
    assert P.check_fp32_concatenate(concat()) is False
    assert services.seen == ["nn.conv2d"]
    services.consumers = []
    assert P.check_fp32_concatenate(concat(dtype="float16")) is False


@pytest.mark.parametrize("wrapped", [False, True])
def test_concatenation_of_a_constant_input_is_rejected(services, wrapped):
    """The inputs are the fields of the call's one tuple argument."""
    extract = concat(3, constant=True)
    assert P.check_fp32_concatenate(Proxy(extract) if wrapped else extract) is False
    assert P.check_fp32_concatenate(concat(3)) is True


@pytest.mark.parametrize("consumer", [None, 3, "text", relay.var("v", shape=(1,))])
def test_concatenation_consumer_that_is_no_call_raises(services, consumer):
    services.consumers = [consumer]
    extract = concat()
    assert outcome(P.check_fp32_concatenate, extract) == outcome(Reference.check_fp32_concatenate, extract)
    assert outcome(P.check_fp32_concatenate, extract)[0] == "raises"


# --- Odd inputs: the error a Python rendition raises, never a crash.


def symbolic_relu():
    return typed(relay.nn.relu(relay.var("s", shape=(1, relay.Any(), relay.Any(), 16))))


def symbolic_pool():
    data = relay.nn.relu(relay.var("s", shape=(1, relay.Any(), relay.Any(), 16)))
    return typed(relay.nn.global_avg_pool2d(data, layout="NHWC"))


def symbolic_add():
    a = relay.nn.relu(relay.var("a", shape=(1, relay.Any(), 4, 16)))
    b = relay.nn.relu(relay.var("b", shape=(1, relay.Any(), 4, 16)))
    return typed(relay.add(a, b))


ODD_INPUTS = {
    "none": lambda: None,
    "int": lambda: 7,
    "text": lambda: "nn.relu",
    "mock": mock.Mock,
    "untyped var": lambda: relay.var("v", shape=(1, 2)),
    "constant": lambda: relay.const(1.0),
    "untyped call": lambda: relay.nn.relu(relay.var("v", shape=(1, 2))),
    "call without args": lambda: relay.Call(tvm.ir.Op.get("nn.relu"), []),
    "call of None args": lambda: relay.Call(tvm.ir.Op.get("add"), [None, None]),
    "tuple-typed call": lambda: typed(relay.split(var((1, 4, 4, 8)), 2, axis=3).astuple()),
    "typed tuple": lambda: typed(relay.Tuple([var((1,)), var((2,), name="y")])),
    "operator": lambda: tvm.ir.Op.get("add"),
    "function": lambda: relay.Function([], relay.const(1.0)),
    "symbolic relu": symbolic_relu,
    "symbolic pool": symbolic_pool,
    "symbolic add": symbolic_add,
    "typed var arg call": lambda: typed(relay.nn.relu(var((2, 3)))),
}


@pytest.mark.parametrize("kind", list(ODD_INPUTS))
@pytest.mark.parametrize("name", CHECKS)
def test_odd_inputs_raise_as_python_would(services, name, kind):
    value = ODD_INPUTS[kind]()
    expected = outcome(getattr(Reference, name), value)
    assert outcome(getattr(P, name), value) == expected
    if isinstance(value, tvm.runtime.Object):
        assert outcome(getattr(P, name), Proxy(value)) == outcome(getattr(Reference, name), Proxy(value))


@pytest.mark.parametrize("name", CHECKS)
def test_python_calling_convention(services, name):
    check = getattr(P, name)
    parameter = "expr" if name == "check_fp32_res_add" else "extract"
    assert list(__import__("inspect").signature(check).parameters) == [parameter]
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        check()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        check(1, 2)
    value = next((build for n, build, _ in VERDICTS if n == name), concat)()
    assert check(**{parameter: value}) is True
