"""Output files appear whole or not at all: each is written under a temporary
name in its own folder and renamed over the old one, so a reader (the web
view, a chromatography program) never sees half a file."""

import os
import tempfile


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def replace_atomically(path, write, mode="wb"):
    """Calls write(stream) on a temporary file, then renames it to path. The
    file gets the permissions a plain new file would get (a temporary file is
    private to its owner; the web view must read these). A failure names
    path, never the temporary file."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        handle, temporary = tempfile.mkstemp(prefix=".%s." % os.path.basename(path), dir=folder)
    except OSError as error:
        raise OSError(error.errno, error.strerror, path) from None
    try:
        with os.fdopen(handle, mode, **({} if "b" in mode else {"encoding": "utf-8"})) as stream:
            write(stream)
        os.chmod(temporary, 0o666 & ~current_umask())
        os.replace(temporary, path)
    except BaseException as error:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(error, OSError) and error.errno is not None:
            raise OSError(error.errno, error.strerror, path) from None
        raise


def write_text(path, text):
    replace_atomically(path, lambda stream: stream.write(text), mode="w")


def remove(paths):
    """Removes the files that exist; a file that cannot be removed is an
    output that cannot be written (OSError)."""
    for path in paths:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def discard(paths):
    """Removes what it can of a failed report's files (the failure itself
    is what gets said)."""
    for path in paths:
        try:
            os.unlink(path)
        except OSError:
            pass
