"""The target architecture given by --arch: a preset name of the native
library or a YAML file describing the architecture."""

import contextlib
from dataclasses import dataclass
from pathlib import Path

import yaml

from vexatvm_cli.errors import CliError

DEFAULT_PRESET = "vexa-lite"
# The native library's built-in architectures.  Checked here so that a
# mistyped name fails at once, before TVM is loaded, and says what would do.
PRESETS = ("vexa-nano", "vexa-lite", "vexa-pro", "vexa-max")


@dataclass
class Architecture:
    label: str  # what the user gave: the preset name or the file path
    arch_config: dict  # the build configuration's architecture setting

    @contextlib.contextmanager
    def active(self):
        """Activates the architecture in the host's build configuration."""
        from tvm.relay.vexa.build_module import BuildConfig

        with BuildConfig(arch_config=self.arch_config):
            yield


def _looks_like_file(value):
    return value.endswith((".yaml", ".yml")) or "/" in value or Path(value).is_file()


def _read_arch_file(path):
    try:
        text = Path(path).read_text()
    except OSError as error:
        raise CliError(f"{path}: cannot read the architecture file: {error.strerror or error}") from error
    try:
        description = yaml.safe_load(text)
    except yaml.YAMLError as error:
        problem = getattr(error, "problem", None) or str(error).splitlines()[0]
        mark = getattr(error, "problem_mark", None)
        where = f" (line {mark.line + 1})" if mark is not None else ""
        raise CliError(f"{path}: malformed architecture file: {problem}{where}") from error
    if not isinstance(description, dict) or not description:
        raise CliError(
            f"{path}: malformed architecture file: expected a mapping such as 'arch: vexa-lite' or 'channels: 16'"
        )
    if "channels" in description and not _is_positive_integer(description["channels"]):
        raise CliError(f"{path}: channel width {description['channels']!r} is not a positive integer")
    return description


def _is_positive_integer(value):
    return isinstance(value, int) and not isinstance(value, bool) and value > 0


def resolve(value):
    """The architecture named by the --arch value (default: the lite preset).

    A file's mapping is handed to the native library as it stands (the
    build configuration holds it under "arch"), so it may name a preset
    (`arch: vexa-pro`), give parameters directly (`channels: 24`), or both.
    """
    if value is None:
        value = DEFAULT_PRESET
    if _looks_like_file(value):
        return Architecture(label=value, arch_config={"arch": _read_arch_file(value)})
    if value not in PRESETS:
        raise CliError(f"unknown architecture preset '{value}' (choose from {', '.join(PRESETS)}, or give a YAML file)")
    return Architecture(label=value, arch_config={"arch": value})


def query(architecture, param_name):
    """The native library's answer for one parameter of the architecture,
    obtained as the pattern checks obtain it: from the active build
    configuration's architecture text."""
    from vexatvm_internal import patterns
    from vexatvm_internal.hwinquire import hwinquire_parameter

    with architecture.active():
        arch_text = patterns.get_current_arch_value()
        try:
            return hwinquire_parameter(arch_text, param_name)
        except RuntimeError as error:
            raise CliError(
                f"architecture {architecture.label}: the native library has no answer for '{param_name}' ({error})"
            ) from error


def validate(architecture):
    """Fails with a one-line error unless the native library reports a
    positive integer channel width for the architecture, which the checks
    need (a width of 0 or below would make them judge nonsense)."""
    answer = query(architecture, "channels")
    try:
        width = int(answer)
    except ValueError as error:
        raise CliError(f"architecture {architecture.label}: channel width '{answer}' is not an integer") from error
    if width <= 0:
        raise CliError(f"architecture {architecture.label}: channel width {width} is not a positive integer")
    return width
