"""Stand-in for the host compiler's build configuration (`BuildConfig`)."""


class _CurrentDescriptor:
    """`BuildConfig.current`, read on the class: the active configuration."""

    def __get__(self, instance, owner):
        return owner._stack[-1] if owner._stack else None


class BuildConfig:
    """A build configuration; `arch_config` holds the target architecture.

    `BuildConfig.current` is the innermost active configuration (None when
    none is active).  Activate one for a block of code with `with`; blocks
    nest, and leaving one restores the previous configuration::

        with BuildConfig(arch_config={"arch": "vexa-lite"}):
            ...
    """

    current = _CurrentDescriptor()
    _stack = []

    def __init__(self, arch_config=None):
        self.arch_config = {} if arch_config is None else arch_config

    def __enter__(self):
        BuildConfig._stack.append(self)
        return self

    def __exit__(self, *exc_info):
        BuildConfig._stack.remove(self)
        return False
