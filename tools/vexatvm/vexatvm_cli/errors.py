"""The one error type the command reports to its user as a single line."""

EXIT_USAGE_OR_INPUT = 2


class CliError(Exception):
    """A failure caused by the user's input (file, option, architecture):
    printed as one line, exit status 2."""
