"""The quantized pattern tables and their registration."""

import subprocess
import sys

import pytest
from conftest import ROOT
from qnn_networks import composite_names
from tvm.relay.op.contrib import get_pattern_table

from vexatvm_internal import patterns

BASE = [
    ("vexa.qnn_conv_hswish_requant", "make_qnn_conv_hswish_pattern", None),
    ("vexa.qnn_conv", "make_qnn_conv_pattern", "check_qnn_conv_pattern"),
    ("vexa.qnn_tflite_qconv", "make_qnn_tflite_conv_pattern", None),
    ("vexa.qnn_add", "make_qnn_add_pattern", "check_qnn_add"),
    ("vexa.concat", "make_qnn_concat_with_req_pattern", "check_concat_pattern"),
    ("vexa.upsampling", "make_upsampling_pattern", None),
    ("vexa.upsampling_nearest", "make_upsampling_nearest_pattern", "check_upsampling_nearest"),
    ("vexa.maxpool2d", "make_max_pool2d_pattern", None),
    ("vexa.leaky_relu", "make_leaky_relu_pattern", None),
    ("vexa.tflite_silu", "make_tflite_silu_pattern", None),
    ("vexa.tflite_hswish", "make_tflite_hswish_pattern", None),
    ("vexa.avg_pooling2d", "make_avg_pooling_2d_pattern", None),
    ("vexa.mean", "make_mean_pattern", None),
]
EXTRA = {
    "pattern_table": None,
    "pattern_table_with_clip": ("vexa.clip", "make_clip_pattern", None),
    "pattern_table_with_fc": ("vexa.qnn_fc", "make_qnn_fc_pattern", None),
}
REGISTERED = {
    "vexa": "pattern_table",
    "vexa_with_clip": "pattern_table_with_clip",
    "vexa_with_fc": "pattern_table_with_fc",
}


def expected(table_function):
    return BASE + ([EXTRA[table_function]] if EXTRA[table_function] else [])


def shape_of(table):
    return [(e[0], len(e)) for e in table]


@pytest.mark.parametrize("table_function", EXTRA)
def test_entries_in_order_with_checks_where_due(table_function):
    table = getattr(patterns, table_function)()
    assert type(table) is list and all(type(e) is tuple for e in table)
    assert shape_of(table) == [(name, 2 if check is None else 3) for name, _, check in expected(table_function)]
    for entry, (_, _, check) in zip(table, expected(table_function)):
        if check:
            assert entry[2] is getattr(patterns, check)


@pytest.mark.parametrize("registry_name, table_function", REGISTERED.items())
def test_registered_under_their_names_at_import(registry_name, table_function):
    table = get_pattern_table(registry_name)
    assert shape_of(table) == shape_of(getattr(patterns, table_function)())


@pytest.mark.parametrize("table_function", EXTRA)
def test_every_call_builds_new_list_and_patterns(table_function):
    first, second = getattr(patterns, table_function)(), getattr(patterns, table_function)()
    assert first is not second
    assert all(not a[1].same_as(b[1]) for a, b in zip(first, second))
    first.append("x")
    assert len(second) == len(expected(table_function))


@pytest.mark.parametrize("table_function", EXTRA)
def test_makers_run_in_order_and_no_check_runs(table_function, monkeypatch):
    calls = []
    for _, maker, check in expected(table_function):
        monkeypatch.setattr(patterns, maker, lambda maker=maker: calls.append(maker) or maker)
        if check:
            monkeypatch.setattr(patterns, check, lambda extract: pytest.fail("a check ran"))
    table = getattr(patterns, table_function)()
    assert calls == [maker for _, maker, _ in expected(table_function)]
    assert [e[1] for e in table] == calls
    for entry, (_, _, check) in zip(table, expected(table_function)):
        if check:
            assert entry[2] is getattr(patterns, check)  # the binding of the moment


@pytest.mark.parametrize("table_function", ["pattern_table_with_clip", "pattern_table_with_fc"])
def test_derived_tables_extend_the_module_pattern_table(table_function, monkeypatch):
    base = [("mine",)]
    monkeypatch.setattr(patterns, "pattern_table", lambda: base)
    table = getattr(patterns, table_function)()
    assert table is base and table[0] == ("mine",) and table[1][0] == EXTRA[table_function][0]


def test_maker_error_propagates(monkeypatch):
    monkeypatch.setattr(patterns, "make_qnn_add_pattern", lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        patterns.pattern_table()


def test_registration_uses_the_decorator_form_in_order():
    code = """
import sys; sys.path.insert(0, 'tests'); import conftest
import tvm.relay.op.contrib.register as register
events = []
original = register.register_pattern_table
def recording(name, table=None):
    events.append(('decorator', name, table))
    inner = original(name)
    def apply(function):
        events.append(('apply', name, function.__name__))
        inner(function)
        wrapped = lambda: function()
        wrapped.original = function
        return wrapped
    return apply
register.register_pattern_table = recording
from vexatvm_internal import patterns
names = [e[1] for e in events]
quantized = [n for n in names if n != 'vexa_fp32']
assert quantized == ['vexa', 'vexa', 'vexa_with_clip', 'vexa_with_clip', 'vexa_with_fc', 'vexa_with_fc'], events
assert all(e[2] is None for e in events if e[0] == 'decorator'), events
assert patterns.pattern_table.original.__name__ == 'pattern_table'
assert len(patterns.pattern_table_with_fc()) == 14
print('ok')
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, cwd=str(ROOT))
    assert result.stdout.strip() == "ok", result.stderr[-3000:]


# ----------------------------------------------------------------------------- end to end


def residual_network():
    from qnn_networks import concat, qadd, qconv, qvar, requantize, typed_module
    from tvm import relay

    x = qvar("x")
    c1, c2 = qconv(x, 16, 16), qconv(x, 16, 16)
    joined = concat([requantize(qadd(c1, c2)), c1])
    pooled = relay.nn.max_pool2d(qconv(joined, 32, 16), pool_size=(2, 2), layout="NHWC")
    return typed_module(relay.clip(pooled, -10, 10))


BASE_COMPOSITES = ["vexa.concat", "vexa.maxpool2d", "vexa.qnn_add"] + ["vexa.qnn_conv"] * 3


@pytest.mark.parametrize(
    "registry_name, composites",
    [
        ("vexa", BASE_COMPOSITES),
        ("vexa_with_clip", sorted(BASE_COMPOSITES + ["vexa.clip"])),
        ("vexa_with_fc", BASE_COMPOSITES),
    ],
)
def test_registered_tables_partition_a_quantized_network(registry_name, composites):
    partition = pytest.importorskip("vexa_host.partition").partition
    assert composite_names(partition(residual_network(), get_pattern_table(registry_name))) == composites
