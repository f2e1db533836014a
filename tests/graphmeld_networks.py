"""Relay networks for the fusion tests and benchmark."""

import random

import numpy as np
import tvm
from tvm import relay

SHAPE = (1, 4, 8, 8)
UNARY = (relay.nn.relu, relay.sigmoid, relay.tanh, relay.negative)
BINARY = (relay.add, relay.multiply, relay.subtract, relay.maximum)


def module(params, body):
    return tvm.IRModule.from_expr(relay.Function(params, body))


def chain(length, name="data"):
    """`length` operators in a row on one input: relu(relu(...relu(data)))."""
    data = relay.var(name, shape=SHAPE)
    x = data
    for _ in range(length):
        x = relay.nn.relu(x)
    return module([data], x)


def weighted_chain(length):
    """A chain alternating relu and an add of a weight (one weight variable per add)."""
    data = relay.var("data", shape=SHAPE)
    weights, x = [], data
    for i in range(length):
        if i % 2:
            weights.append(relay.var(f"w{i}", shape=SHAPE))
            x = relay.add(x, weights[-1])
        else:
            x = relay.nn.relu(x)
    params = {w.name_hint: np.zeros(SHAPE, "float32") for w in weights}
    return module([data] + weights, x), params


def quantize(x, scale):
    return relay.qnn.op.quantize(x, relay.const(scale), relay.const(0), out_dtype="uint8")


def dequantize(x, scale):
    return relay.qnn.op.dequantize(x, relay.const(scale), relay.const(0))


def random_network(rng: random.Random, size):
    """A random typed network of about `size` nodes over one or two inputs and a
    few weights: shared subexpressions, tuples and projections, lets, ifs,
    quantize / dequantize pairs.  Returns (module, params)."""
    inputs = [relay.var("data", shape=SHAPE)]
    if rng.random() < 0.3:
        inputs.append(relay.var("extra", shape=SHAPE))
    weights = [relay.var(f"w{i}", shape=SHAPE) for i in range(rng.randint(1, 3))]
    nodes = list(inputs) + list(weights)
    if rng.random() < 0.4:
        nodes.append(dequantize(quantize(inputs[0], 0.5), 0.5))
    lets = []
    for _ in range(size):
        kind = rng.random()
        if kind < 0.3:
            x = rng.choice(UNARY)(rng.choice(nodes))
        elif kind < 0.65:
            x = rng.choice(BINARY)(rng.choice(nodes), rng.choice(nodes))
        elif kind < 0.75:
            tup = relay.Tuple([rng.choice(nodes), rng.choice(nodes)])
            x = relay.TupleGetItem(tup, rng.randint(0, 1))
        elif kind < 0.82:
            parts = relay.split(relay.concatenate([rng.choice(nodes), rng.choice(nodes)], axis=1), 2, axis=1)
            x = parts[rng.randint(0, 1)]
        elif kind < 0.88:
            x = relay.If(relay.const(rng.random() < 0.5), rng.choice(nodes), rng.choice(nodes))
        elif kind < 0.94:
            bound = relay.var(f"t{len(lets)}", shape=SHAPE)
            lets.append((bound, rng.choice(nodes)))
            x = bound
        else:
            x = dequantize(quantize(rng.choice(nodes), 0.25), 0.25)
        nodes.append(x)
    body = relay.Tuple(nodes[-rng.randint(1, 3) :]) if rng.random() < 0.3 else nodes[-1]
    for bound, value in reversed(lets):
        body = relay.Let(bound, value, body)
    params = {w.name_hint: np.full(SHAPE, i, "float32") for i, w in enumerate(weights)}
    return module(relay.analysis.free_vars(body), body), params
