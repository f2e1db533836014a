"""TVM's passes recurse once per nesting level of a network (about 1.3 kB of
stack a level in type inference), so a network a few thousand `if`s or
tuples deep overflows an ordinary thread's stack and kills the process.
The flow's steps run on a thread whose stack holds the network's depth
(`_native.run_on_big_stack`); a network deeper than the largest such stack
is refused with ValueError before TVM sees it."""

import functools
import inspect

from vexa_host import _native
from vexa_host.build_module import BuildConfig


def run_on_big_stack(network, function, *args, **kwargs):
    """function(*args, **kwargs) on a thread whose stack holds the nesting
    depth of `network` (a module or an expression); ValueError, before
    anything runs, when `network` is deeper than any such stack.

    The caller's build configuration, TVM pass context and target stay
    active there; called from such a thread, `function` runs on it."""
    config = BuildConfig.current  # kept per thread

    def work():
        with config:
            return function(*args, **kwargs)

    return _native.run_on_big_stack(network, work)


def on_big_stack(network_parameter):
    """Decorator: the function runs through `run_on_big_stack`, sized by its
    argument named `network_parameter`."""

    def decorate(function):
        signature = inspect.signature(function)

        @functools.wraps(function)
        def run(*args, **kwargs):
            network = signature.bind(*args, **kwargs).arguments.get(network_parameter)
            return run_on_big_stack(network, function, *args, **kwargs)

        return run

    return decorate
