"""The errors quennel raises: one hierarchy rooted at QuennelError.

Each error is told in one line. ``status`` is the exit status the command line gives it.
The errors about given values are also ValueErrors, those about files also OSErrors, so
that callers (GNU Radio flowgraphs among them) can catch what they already expect.
"""


class QuennelError(Exception):
    """A failure of quennel, told in one line."""

    status = 1


class UsageError(QuennelError, ValueError):
    """A value given that cannot be used: an option, a name, a number out of range, an
    output that would replace a file without leave."""

    status = 2


class SceneError(QuennelError, ValueError):
    """A scene that cannot be read, composed or rendered as asked."""


class FramingError(SceneError):
    """Framing the scene library refuses; the message is the library's own."""

    status = 2


class ImpairmentError(SceneError):
    """A channel or front-end value the scene library refuses; the message is the library's own."""

    status = 2


class InputRefused(QuennelError):
    """Input that cannot be used as given (a damaged recipe, a scene a plan refuses)."""

    status = 2


class CaptureError(QuennelError, OSError):
    """A capture that cannot be opened, created, written or finished."""


def os_error_text(error: OSError) -> str:
    """An OSError in one line: the file it names, then what went wrong with it."""
    if error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return str(error)
