"""Parameter values bound into a network as constants."""

import numpy as np
import tvm
from tvm import relay

from vexa_host import _native
from vexa_host.folding import typed


def bind_params(mod, params, name="main"):
    """The module with each value of `params` bound, as a constant, to the
    parameter of function `name` that has its name; what TVM's
    bind_params_by_name and InferType give, without inferring the types of
    the whole module again when the module was typed and every value has its
    parameter's type.  The caller's module is left as it is."""
    global_var = mod.get_global_var(name)
    function = mod[global_var]
    # As bind_params_by_name makes them.
    constants = [
        relay.const(tvm.nd.array(value) if isinstance(value, np.ndarray) else value) for value in params.values()
    ]
    bound, is_typed = _native.bind_params(function, list(params), constants)
    mod = _native.module_with(mod, [(global_var, bound)])
    return mod if is_typed else typed(mod)
