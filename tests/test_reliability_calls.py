"""Every function of the package's native modules binds its arguments as a
Python function does: a keyword it does not know, even one whose name has no
UTF-8 form, is the TypeError of a bad call."""

import types

import pytest
from conftest import requires_tvm


def native_functions():
    from vexa_host import _native
    from vexatvm_internal import _dynbind, graphmeld, hwinquire, patterns, release_tag

    functions = []
    for module in (_dynbind, hwinquire, release_tag, patterns, graphmeld, _native):
        for name, value in sorted(vars(module).items()):
            if isinstance(value, types.BuiltinFunctionType) and value.__module__ == module.__name__:
                functions.append(value)
    return functions


@requires_tvm
@pytest.mark.parametrize("keyword", ["\ud800", "bad\udcff", "zero\x00name", "unknown"])
def test_unknown_keywords_are_a_type_error_everywhere(keyword):
    functions = native_functions()
    assert len(functions) > 60
    for function in functions:
        with pytest.raises(TypeError, match="got an unexpected keyword argument") as info:
            function(**{keyword: 1})
        assert info.value.args[0].startswith(f"{function.__name__}() "), function
