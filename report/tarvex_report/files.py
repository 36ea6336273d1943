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
    private to its owner; the web view must read these)."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".%s." % os.path.basename(path), dir=folder)
    try:
        with os.fdopen(handle, mode) as stream:
            write(stream)
        os.chmod(temporary, 0o666 & ~current_umask())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def write_text(path, text):
    replace_atomically(path, lambda stream: stream.write(text), mode="w")
