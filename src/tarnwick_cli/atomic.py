"""Files that appear whole or not at all: written under a temporary name, then renamed."""

import contextlib
import errno
import os
import secrets
import stat
from collections.abc import Iterator


def _new_temporary(path: str) -> str:
    """Creates an empty, hidden file beside path and returns its name. Unlike mkstemp, it gets the
    mode an ordinary new file gets (the umask applies), which the renamed result then keeps."""
    folder, name = os.path.split(path)
    for _ in range(100):
        candidate = os.path.join(folder, f".{name}.{secrets.token_hex(6)}.tmp")
        try:
            os.close(os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return candidate
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name beside this file", path)


def _is_special(path: str) -> bool:
    """Whether path names something other than a regular file, such as /dev/null or a pipe."""
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return False


@contextlib.contextmanager
def replaced_path(path: str) -> Iterator[str]:
    """Yields a temporary path beside path; once the block ends normally the temporary file becomes
    path (replacing any file of that name), and if the block raises it is removed instead.

    A symbolic link is followed, so the file it points to is replaced and the link stays. A device
    or pipe (/dev/null, /dev/stdout, a FIFO) is yielded itself, to be written in place: renaming a
    file over it would replace the device node instead of writing to it.
    """
    if _is_special(path):
        yield path
        return
    path = os.path.realpath(path)
    temporary = _new_temporary(path)
    try:
        yield temporary
        # On disk before the rename, so that a crash cannot leave an empty file under the name.
        with open(temporary, "rb+") as written:
            os.fsync(written.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise

