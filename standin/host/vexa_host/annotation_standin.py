"""Stand-in for the host compiler's tuple annotation (placeholder)."""


def tuple_graphmeld(tup):
    return tup
