"""Quantized convolution patterns and the grouped-convolution check."""

import ops_networks as nets
import pytest
from ops_networks import Proxy, call_of, typed_var
from tvm import relay
from tvm.relay.dataflow_pattern import is_op, wildcard
from tvm.relay.vexa.build_module import BuildConfig

from vexatvm_internal import patterns


def x_nhwc(channels=16, name="x"):
    return relay.var(name, shape=(1, 8, 8, channels), dtype="uint8")


def entry(name):
    makers = {
        "vexa.qnn_conv": (patterns.make_qnn_conv_pattern, patterns.check_qnn_conv_pattern),
        "vexa.qnn_conv_hswish_requant": (patterns.make_qnn_conv_hswish_pattern, None),
        "vexa.qnn_tflite_qconv": (patterns.make_qnn_tflite_conv_pattern, None),
    }
    maker, check = makers[name]
    return (name, maker(), check) if check else (name, maker())


# --- patterns ---------------------------------------------------------------


@pytest.mark.parametrize("bias", ["bias_add", "nhwc_add", "expand", None])
@pytest.mark.parametrize("padded", [True, False])
@pytest.mark.parametrize("tail", [("clip", "cast"), ("clip", "cast", "clip")])
def test_conv_chain_forms_one_composite(bias, padded, tail):
    out = nets.conv_chain(x_nhwc(), 16, 16, bias=bias, padded=padded, tail=tail)
    formed, outside = nets.partition_with(out, [entry("vexa.qnn_conv")])
    assert formed == ["vexa.qnn_conv"]
    assert outside == []  # the quantized weight and bias belong to the composite


def test_weight_may_be_layout_transformed_but_must_be_quantized():
    x = x_nhwc()
    quantized = nets.quantize(nets.param((16, 16, 3, 3)), "int8")
    transformed = relay.layout_transform(quantized, "OIHW", "HWIO")
    chain = nets.conv_chain(x, 16, 16, bias=None, padded=False, weight=transformed)
    assert nets.partition_with(chain, [entry("vexa.qnn_conv")])[0] == ["vexa.qnn_conv"]
    plain = nets.conv_chain(x, 16, 16, bias=None, padded=False, weight=nets.param((3, 3, 16, 16), "int8"))
    assert nets.partition_with(plain, [entry("vexa.qnn_conv")])[0] == []


@pytest.mark.parametrize("tail", [(), ("clip",)])
def test_conv_without_clip_and_cast_is_only_a_tflite_conv(tail):
    chain = nets.conv_chain(x_nhwc(), 16, 16, tail=tail)
    assert nets.partition_with(chain, [entry("vexa.qnn_conv")])[0] == []
    formed, outside = nets.partition_with(chain, [entry("vexa.qnn_tflite_qconv")])
    assert formed == ["vexa.qnn_tflite_qconv"]


def test_tflite_conv_takes_any_weight_but_only_bias_add():
    x = x_nhwc()
    assert nets.partition_with(nets.tflite_conv(x, 16, 16), [entry("vexa.qnn_tflite_qconv")]) == (
        ["vexa.qnn_tflite_qconv"],
        [],
    )
    added = nets.conv_chain(x, 16, 16, bias="nhwc_add", tail=())
    assert nets.partition_with(added, [entry("vexa.qnn_tflite_qconv")])[0] == []


def test_tflite_conv_pad_alternative_is_a_fresh_wildcard():
    # Unlike the qnn_conv input, the unpadded alternative is not the pad's
    # input object: the pattern still matches an unpadded convolution.
    pattern = patterns.make_qnn_tflite_conv_pattern()
    conv = nets.qnn_conv(x_nhwc(), 16, 16, weight=nets.param((3, 3, 16, 16), "int8"))
    assert pattern.match(nets.requantize(conv))


@pytest.mark.parametrize("same_conv", [True, False])
def test_hswish_requires_one_convolution_everywhere(same_conv):
    out = nets.conv_hswish(x_nhwc(), 16, same_conv=same_conv)
    formed, _ = nets.partition_with(out, [entry("vexa.qnn_conv_hswish_requant"), entry("vexa.qnn_conv")])
    if same_conv:
        assert formed == ["vexa.qnn_conv_hswish_requant"]
    else:
        assert "vexa.qnn_conv_hswish_requant" not in formed and formed.count("vexa.qnn_conv") == 2


def test_hswish_short_form_multiplies_the_convolution_by_its_clip():
    conv = nets.conv_chain(x_nhwc(), 16, 16)
    out = relay.clip(nets.qnn_mul(conv, relay.clip(conv, 0, 6)), 0, 255)
    assert patterns.make_qnn_conv_hswish_pattern().match(out)


def test_layout_transform_bias_reshapes_the_given_pattern():
    bias = is_op("qnn.quantize")(wildcard(), wildcard(), wildcard())
    pattern = patterns.layout_transform_bias(bias)
    b = nets.quantize(relay.var("b", shape=(16,)), "int32")
    normal = relay.layout_transform(relay.expand_dims(relay.expand_dims(b, 1, 2), 0), "NCHW", "NHWC")
    assert pattern.match(normal) and pattern.match(relay.expand_dims(b, 0))
    assert not pattern.match(relay.expand_dims(relay.expand_dims(b, 1, 2), 0))
    assert pattern.left.args[0].args[0].args[0].same_as(bias) and pattern.right.args[0].same_as(bias)


@pytest.mark.parametrize(
    "maker",
    [patterns.make_qnn_conv_pattern, patterns.make_qnn_conv_hswish_pattern, patterns.make_qnn_tflite_conv_pattern],
)
def test_makers_build_new_patterns_each_call(maker):
    assert not maker().same_as(maker())


def test_hswish_uses_one_convolution_pattern_three_times(monkeypatch):
    seen = []
    original = patterns.make_requantize_pattern
    monkeypatch.setattr(patterns, "make_requantize_pattern", lambda x: seen.append(x) or original(x))
    mul = patterns.make_qnn_conv_hswish_pattern().left  # the multiply, without its optional clip
    # the convolution's own requantize, then the one of the whole convolution pattern
    conv = seen[1]
    assert len(seen) == 2 and mul.args[0].same_as(conv) and mul.args[1].args[0].left.same_as(conv)


# --- the check ----------------------------------------------------------------


def typed_conv(groups, ich, och, final_clip=False):
    tail = ("clip", "cast", "clip") if final_clip else ("clip", "cast")
    return nets.infer(nets.conv_chain(x_nhwc(ich), ich, och, groups=groups, padded=False, tail=tail))


@pytest.fixture
def queries(monkeypatch):
    """Counts the target queries, passing them on to the real one."""
    calls = []
    real = patterns.hwinquire_parameter

    def counting(arch, name):
        calls.append((arch, name))
        return real(arch, name)

    monkeypatch.setattr(patterns, "hwinquire_parameter", counting)
    return calls


GROUPED_CASES = [
    # groups, input channels, output channels, target width, verdict, target asked
    (1, 16, 32, 16, True, False),
    (1, 3, 5, 16, True, False),
    (32, 32, 32, 16, True, False),  # depthwise
    (32, 32, 64, 16, True, True),
    (32, 32, 64, 64, False, True),
    (3, 6, 6, 16, False, False),  # not a power of two
    (4, 6, 8, 16, False, False),  # input channels not divisible
    (4, 16, 6, 16, False, False),  # output channels not divisible
    (2, 32, 32, 16, True, True),
    (2, 32, 32, 64, False, True),  # narrower input than the target
    (4, 16, 24, 16, False, True),  # 16 is no multiple of 6 channels a group
    (2, 64, 64, 64, True, True),
]


@pytest.mark.parametrize("groups, ich, och, width, verdict, asked", GROUPED_CASES)
@pytest.mark.parametrize("final_clip", [False, True])
def test_grouped_convolutions(queries, groups, ich, och, width, verdict, asked, final_clip):
    root = typed_conv(groups, ich, och, final_clip)
    arch = {16: "vexa-lite", 64: "vexa-max"}[width]
    conv = root
    while conv.op.name != "qnn.conv2d":
        conv = conv.args[0]
    with BuildConfig(arch_config={"arch": arch}):
        assert patterns.check_qnn_conv_pattern(root) is verdict
        assert patterns.check_qnn_conv_pattern(Proxy(root)) is verdict
        assert patterns._check_conv(conv) is verdict
    assert queries == ([("arch: " + arch + "\n", "channels")] * 3 if asked else [])


def test_target_is_asked_anew_on_every_call(queries):
    root = typed_conv(2, 32, 32)
    verdicts = []
    for arch in ["vexa-lite", "vexa-max", "vexa-pro", "vexa-lite"]:
        with BuildConfig(arch_config={"arch": arch}):
            verdicts.append(patterns.check_qnn_conv_pattern(root))
    assert verdicts == [True, False, True, True] and len(queries) == 4
    with BuildConfig(arch_config={"arch": {"channels": 16}, "other": 1}):
        assert patterns.check_qnn_conv_pattern(root) is True
    assert queries[-1] == ("channels: 16\n", "channels")


def test_partition_rejects_a_grouped_convolution_the_target_cannot_run():
    out = nets.conv_chain(x_nhwc(32), 32, 32, groups=2)
    with BuildConfig(arch_config={"arch": "vexa-max"}):
        assert nets.partition_with(out, [entry("vexa.qnn_conv")])[0] == []
    with BuildConfig(arch_config={"arch": "vexa-lite"}):
        assert nets.partition_with(out, [entry("vexa.qnn_conv")])[0] == ["vexa.qnn_conv"]


@pytest.mark.parametrize(
    "answer, error", [(lambda a, n: "16.5", ValueError), (lambda a, n: None, TypeError), ("raise", RuntimeError)]
)
def test_target_failures_reach_the_caller(monkeypatch, answer, error):
    if answer == "raise":
        answer = lambda a, n: (_ for _ in ()).throw(RuntimeError("no answer"))  # noqa: E731
    monkeypatch.setattr(patterns, "hwinquire_parameter", answer)
    with BuildConfig(arch_config={"arch": "vexa-lite"}), pytest.raises(error):
        patterns.check_qnn_conv_pattern(typed_conv(2, 32, 32))


def test_missing_build_configuration_is_an_error_only_when_the_target_is_needed():
    assert patterns.check_qnn_conv_pattern(typed_conv(1, 16, 16)) is True
    with pytest.raises((AttributeError, KeyError)):  # no configuration, or one without "arch"
        patterns.check_qnn_conv_pattern(typed_conv(2, 32, 32))


def test_replaced_conv_decision_is_used(monkeypatch):
    seen = []
    monkeypatch.setattr(patterns, "_check_conv", lambda call: seen.append(call) or "verdict")
    root = typed_conv(1, 16, 16)
    assert patterns.check_qnn_conv_pattern(root) == "verdict"
    assert patterns.check_qnn_conv_pattern(Proxy(root)) == "verdict"
    assert all(call.op.name == "qnn.conv2d" for call in seen) and len(seen) == 2


def test_python_number_semantics_for_huge_answers(monkeypatch):
    monkeypatch.setattr(patterns, "hwinquire_parameter", lambda a, n: "1" * 400)
    with BuildConfig(arch_config={"arch": "vexa-lite"}), pytest.raises(OverflowError):
        patterns.check_qnn_conv_pattern(typed_conv(2, 32, 32))


CONV_ATTRS = nets.qnn_conv(x_nhwc(), 16, 16).attrs


@pytest.mark.parametrize(
    "value, pattern_error, conv_error",
    [
        (None, AttributeError, AttributeError),
        (relay.var("v"), AttributeError, AttributeError),
        (relay.const(1), AttributeError, AttributeError),
        (object(), AttributeError, AttributeError),
        (nets.conv_chain(x_nhwc(), 16, 16), ValueError, AttributeError),  # untyped; a cast has no groups
        (call_of("qnn.conv2d", x_nhwc(), attrs=CONV_ATTRS), ValueError, ValueError),  # untyped input
        (call_of("clip"), IndexError, AttributeError),  # no first argument to walk to, no attributes
        (call_of("clip", None), AttributeError, AttributeError),  # a null argument
        (call_of("qnn.conv2d", None, attrs=CONV_ATTRS), AttributeError, AttributeError),
        (call_of("qnn.conv2d", typed_var((1, 8, 8))), AttributeError, AttributeError),  # no attributes
        (call_of("qnn.conv2d", typed_var((1, 8, 16)), attrs=CONV_ATTRS), IndexError, IndexError),
        (call_of("qnn.conv2d", typed_var((1, 8, 8, relay.Any())), attrs=CONV_ATTRS), TypeError, TypeError),
        (relay.Call(relay.Function([], relay.const(1)), []), AttributeError, AttributeError),  # not an operator
    ],
)
def test_odd_inputs_raise_python_errors(value, pattern_error, conv_error):
    with pytest.raises(pattern_error):
        patterns.check_qnn_conv_pattern(value)
    with pytest.raises(conv_error):
        patterns._check_conv(value)


def test_mock_calls_are_read_through_python():
    from unittest import mock

    assert patterns._check_conv(mock.MagicMock()) is True  # int() of a MagicMock is 1: one group
    # A mock with a spec passes isinstance for TVM's classes, but its handle
    # is no object address; the mock carries none of TVM's fields.
    with pytest.raises(AttributeError):
        patterns._check_conv(mock.MagicMock(spec=relay.Call))
