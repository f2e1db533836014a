"""The one error type the command reports to its user as a single line."""

EXIT_USAGE_OR_INPUT = 2


class CliError(Exception):
    """A failure caused by the user's input (file, option, architecture):
    printed as one line, exit status 2."""


class OperatorImportError(Exception):
    """An importer failed on one operator of the model; the text names it."""


def failure_reason(error):
    """The last non-empty line of an error's text (TVM's errors end with
    the reason, after a traceback of its own)."""
    lines = [line.strip() for line in str(error).strip().splitlines() if line.strip()]
    return lines[-1] if lines else type(error).__name__
