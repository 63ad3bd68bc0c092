"""Failures of one input, and how any exception reads as one line of text naming the file."""

import errno


class InputProblem(Exception):
    """An input that cannot be processed, with a message for the person running the command."""


def one_line(exc: BaseException) -> str:
    """A one-line description of exc for an error line that already names the file."""
    if isinstance(exc, OSError) and exc.strerror:
        # The file name is already on the line; strerror is the part that explains.
        text = "no such file or folder" if exc.errno == errno.ENOENT else exc.strerror.lower()
    elif isinstance(exc, (InputProblem, SyntaxError)) or type(exc) is OSError and str(exc):
        # Our own messages, and those of Pillow's readers (which report broken files as OSError
        # or SyntaxError), say what is wrong without the class name.
        text = str(exc)
    elif isinstance(exc, MemoryError):
        text = "not enough memory to process this image"
    else:
        text = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
    return " ".join(text.split())


def error_line(path: str, message: str) -> str:
    """The line that reports a failed file; control characters in its name would break the line."""
    shown = path if path.isprintable() else ascii(path)[1:-1]
    return f"tarnwick: {shown}: {message}"
