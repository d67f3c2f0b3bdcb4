"""The one exception the command line turns into a line of text and an exit status."""


class UserError(Exception):
    """A mistake the user can fix (a missing file, a wrong argument, a port that
    cannot be opened): shown as one line, never as a traceback."""
