"""Stand-in for the host compiler's build configuration (`BuildConfig`)."""

import threading


class _Active(threading.local):
    """The configurations activated on the current thread, innermost last."""

    def __init__(self):
        self.stack = []


class _CurrentDescriptor:
    """`BuildConfig.current`, read on the class: the active configuration."""

    def __get__(self, instance, owner):
        stack = owner._active.stack
        return stack[-1] if stack else owner._default


class BuildConfig:
    """A build configuration; `arch_config` describes the target architecture.

    `arch_config` is any object with item access (normally a dict) whose
    "arch" entry is either the name of an architecture (text), possibly with
    parameters beside it, or a mapping that describes the architecture.

    `BuildConfig.current`, read on the class, is the active configuration:
    the innermost one activated with `with` on the current thread.  Blocks
    nest, and leaving one (normally or by an exception) restores the
    configuration that was active before it::

        with BuildConfig(arch_config={"arch": "vexa-lite"}):
            ...                      # checks see vexa-lite
            with BuildConfig.for_arch("vexa-pro"):
                ...                  # checks see vexa-pro
            ...                      # vexa-lite again

    Outside every block, `current` is a default configuration whose
    `arch_config` is empty: a check that needs the architecture then fails
    with KeyError('arch') instead of guessing a target.  Activation is per
    thread, as the partitioner calls the checks on the thread that runs it.
    """

    current = _CurrentDescriptor()
    _active = _Active()

    def __init__(self, arch_config=None):
        self.arch_config = {} if arch_config is None else arch_config

    @classmethod
    def for_arch(cls, arch, **parameters):
        """A configuration for the architecture named `arch`.

        `arch` is the name of one of the native library's built-in
        architectures ("vexa-nano", "vexa-lite", "vexa-pro", "vexa-max" in
        its stand-in); `parameters` are entries that override the preset's
        values (`channels=24`).  Use it in a `with` block to activate it.
        """
        if not isinstance(arch, str):
            raise TypeError(f"for_arch expects the architecture name as str, got {type(arch).__name__}")
        return cls(arch_config={"arch": arch, **parameters})

    def __enter__(self):
        BuildConfig._active.stack.append(self)
        return self

    def __exit__(self, *exc_info):
        stack = BuildConfig._active.stack
        if not stack or stack[-1] is not self:
            raise RuntimeError("BuildConfig blocks must be left in the reverse order of entering them")
        stack.pop()
        return False

    def __repr__(self):
        return f"BuildConfig(arch_config={self.arch_config!r})"


BuildConfig._default = BuildConfig()
