"""Why checks reject: the recording switch, one record per rejected match
with the values the deciding step read, nested checks, replaced module
checks and several threads."""

import contextlib
import threading

import pytest
from conftest import requires_tvm

pytestmark = requires_tvm

from qnn_networks import concat, qadd, qconv, qvar, typed  # noqa: E402
from tvm import relay  # noqa: E402
from tvm.relay.vexa.build_module import BuildConfig  # noqa: E402

from vexatvm_internal import patterns  # noqa: E402


@pytest.fixture
def recorded():
    """Turns recording on for the test; yields the function that takes the records."""
    previous = patterns._record_check_reasons(True)
    patterns._take_check_reasons()
    yield patterns._take_check_reasons
    patterns._record_check_reasons(previous)
    patterns._take_check_reasons()


def conv_of(groups, channels, in_channels):
    return typed(qconv(qvar("x", (1, 8, 8, in_channels)), in_channels, channels, groups))


def fvar(name, shape=(1, 8, 8, 16), dtype="float32"):
    return relay.var(name, shape=shape, dtype=dtype)


def test_recording_is_off_by_default_and_the_switch_returns_the_previous_setting():
    assert patterns._record_check_reasons(False) is False
    patterns._take_check_reasons()
    assert patterns.check_qnn_add(typed(qadd(qvar("a"), relay.const(1, "int8")))) is False
    assert patterns._take_check_reasons() == []
    assert patterns._record_check_reasons(True) is False
    assert patterns._record_check_reasons(False) is True


@pytest.mark.parametrize(
    "groups, channels, in_channels, width, reason",
    [
        (3, 6, 6, None, "groups 3, channels 6, input channels 6: groups is not a power of two"),
        (4, 8, 6, None, "groups 4, channels 8, input channels 6: input channels are not a multiple of groups"),
        (
            4,
            24,
            16,
            16,
            "groups 4, channels 24, input channels 16, target channel width 16: "
            "channels per group (6) do not divide the target's channel width",
        ),
        (
            4,
            16,
            16,
            2,
            "groups 4, channels 16, input channels 16, target channel width 2: "
            "input channels per group (4) do not divide the target's channel width",
        ),
        (
            2,
            32,
            32,
            64,
            "groups 2, channels 32, input channels 32, target channel width 64: "
            "input channels are below the target's channel width",
        ),
    ],
)
def test_convolution_reasons_name_the_counts_and_the_limit(recorded, groups, channels, in_channels, width, reason):
    extract = conv_of(groups, channels, in_channels)
    # Without a width the target must not be asked: no configuration is active.
    with BuildConfig(arch_config={"arch": {"channels": width}}) if width else contextlib.nullcontext():
        assert patterns.check_qnn_conv_pattern(extract) is False
    (record,) = recorded()
    assert record == {
        "check": "check_qnn_conv_pattern",
        "operator": "qnn.conv2d",
        "shape": [1, 8, 8, channels],
        "reason": reason,
    }


def test_accepted_matches_and_raising_checks_leave_no_record(recorded):
    with BuildConfig(arch_config={"arch": {"channels": 16}}):
        assert patterns.check_qnn_conv_pattern(conv_of(2, 32, 32)) is True
    with pytest.raises(ValueError):  # untyped: the check raises, it does not reject
        patterns.check_qnn_add(qadd(qvar("a"), qvar("b")))
    assert recorded() == []


def test_the_anchor_is_the_operator_the_deciding_step_looked_at(recorded):
    add = qadd(qvar("a"), qvar("b", (1, 1, 1, 16)))
    assert patterns.check_qnn_add(typed(relay.clip(add, -5, 5))) is False
    assert recorded() == [
        {
            "check": "check_qnn_add",
            "operator": "qnn.add",
            "shape": [1, 8, 8, 16],
            "reason": "operand shapes (1, 8, 8, 16) and (1, 1, 1, 16) differ",
        }
    ]


def test_a_check_called_inside_another_gives_the_outer_record_its_reason(recorded):
    relu = typed(relay.nn.relu(fvar("x", dtype="float16")))
    assert patterns.check_fp32_relu(relu) is False
    assert recorded() == [
        {
            "check": "check_fp32_relu",
            "operator": "nn.relu",
            "shape": [1, 8, 8, 16],
            "reason": "result dtype float16, not float32",
        }
    ]


def test_a_replaced_module_check_is_named_in_the_reason(recorded, monkeypatch):
    monkeypatch.setattr(patterns, "_check_qnn_add", lambda expr: False)
    assert patterns.check_qnn_add(typed(qadd(qvar("a"), qvar("b")))) is False
    (record,) = recorded()
    assert record["reason"] == "_check_qnn_add returned False"


@pytest.mark.parametrize(
    "check, build, reason",
    [
        (
            "check_fp32_bias_add",
            lambda: relay.add(fvar("x"), relay.const([1.0])),
            "bias of shape (1,) does not match the channels of NHWC data (1, 8, 8, 16)",
        ),
        (
            "check_fp32_bias_add",
            lambda: relay.add(fvar("x"), relay.const([1.0] * 16)),
            "input comes from Var, not from a composite region",
        ),
        ("check_fp32_res_add", lambda: relay.add(fvar("x"), relay.const(1.0)), "second operand is a constant"),
        ("check_fp32_hardtanh", lambda: relay.clip(fvar("x"), -1.0, 6.0), "lower bound -1.0 is not 0"),
        (
            "check_fp32_upsampling",
            lambda: relay.image.resize2d(fvar("x"), (16, 16), layout="NHWC", method="cubic"),
            "method 'cubic' is not supported",
        ),
        (
            "check_upsampling_nearest",
            lambda: relay.image.resize2d(qvar("x", dtype="int32"), (16, 16), layout="NHWC"),
            "input dtype int32 is not int8 or uint8",
        ),
        (
            "check_avg_pool2d",
            lambda: relay.nn.avg_pool2d(fvar("x"), (2, 2), (2, 2), layout="NHWC"),
            "output size 4x4 is not 1x1",
        ),
    ],
)
def test_reasons_carry_the_values_read(recorded, check, build, reason):
    assert getattr(patterns, check)(typed(build())) is False
    assert [r["reason"] for r in recorded()] == [reason]


def test_concatenation_reasons_look_inside_the_tuple(recorded):
    joined = typed(relay.concatenate([fvar("a"), relay.const([[[[1.0] * 16] * 8] * 8])], axis=3))
    assert patterns.check_fp32_concatenate(joined) is False
    assert [r["reason"] for r in recorded()] == ["an input is a constant"]


def test_records_from_several_threads_are_all_kept(recorded):
    extract = typed(qadd(qvar("a"), relay.const(1, "int8")))
    per_thread = 200

    def reject_many():
        for _ in range(per_thread):
            patterns.check_qnn_add(extract)

    threads = [threading.Thread(target=reject_many) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    records = recorded()
    assert len(records) == 4 * per_thread
    assert {r["reason"] for r in records} == {"second operand is a constant"}


def test_a_grouped_convolution_behind_a_consumer_is_named(recorded, monkeypatch):
    conv = typed(qconv(qvar("x", (1, 8, 8, 8)), 8, 8, 2))
    while conv.op.name != "qnn.conv2d":
        conv = conv.args[0]
    monkeypatch.setattr(patterns, "get_consumers_mc", lambda extract: [0])
    monkeypatch.setattr(patterns, "find_call_of_type", lambda consumer, name: [conv])
    assert patterns.check_concat_pattern(typed(concat([qvar("a"), qvar("b")]))) is False
    assert [r["reason"] for r in recorded()] == ["a consumer leads to a grouped convolution (groups 2)"]
