"""A nearly full disk for host scripts (run by render_harness inside Blender)."""

import resource
import signal


def with_file_size_limit(limit, call):
    """`call` with every file of this process limited to `limit` bytes (no limit for None): a
    write past it fails with EFBIG, SIGXFSZ ignored, as on a full disk. Lifted afterwards."""
    if limit is None:
        return call()
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
    try:
        return call()
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
