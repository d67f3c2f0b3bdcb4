"""The command line's own error: a mistake the user can fix, shown as one line.

The library raises typed errors (`feltwise.errors`, `ParameterFileError`,
`PortMatchError`, ...); only the command line raises `UserError`, and
`main` turns both into one line on standard error and exit status 1.
"""


class UserError(Exception):
    """A mistake the user can fix (a missing file, a wrong argument, a port that
    cannot be opened): shown as one line, never as a traceback."""
