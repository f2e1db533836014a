"""Reading the constant operands of quantized operators."""

import numpy as np
from tvm import relay


def scalar(expr):
    """The one value of a constant with a single element, or None (also for
    anything that is not a constant)."""
    if not isinstance(expr, relay.Constant):
        return None
    value = expr.data.numpy()
    return value.item() if value.size == 1 else None


def same_scalars(a, b):
    """Whether two constants hold one and the same single value (bitwise
    equal float scales, equal zero points)."""
    left, right = scalar(a), scalar(b)
    return left is not None and right is not None and left == right


def dtype_range(dtype):
    """The lowest and highest value of an integer type."""
    info = np.iinfo(dtype)
    return int(info.min), int(info.max)
