"""Helpers the Python tests share."""

from __future__ import annotations

import hashlib
import os
import time

import pytest


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    """Calls fn(*args, **kwargs) and checks that it raised exactly `exc_type`
    (not a subclass) with the single argument `message` (unless None), and an
    OSError without an errno, as the module raises them; returns the exception."""
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    if message is not None:
        assert info.value.args == (message,)
    if issubclass(exc_type, OSError):
        assert info.value.errno is None
    return info.value


# The module words an errno as the GNU C library does, on every C library
# (musl's strerror words some differently), so the texts expected of it are
# these, not os.strerror's: those of the errnos the fault shim injects.
GLIBC_ERRNO_TEXTS = {
    "EPERM": "Operation not permitted",
    "EINTR": "Interrupted system call",
    "EIO": "Input/output error",
    "EBADF": "Bad file descriptor",
    "EAGAIN": "Resource temporarily unavailable",
    "EXDEV": "Invalid cross-device link",
    "EINVAL": "Invalid argument",
    "ENOSPC": "No space left on device",
    "ENOSYS": "Function not implemented",
    "EOVERFLOW": "Value too large for defined data type",
    "EOPNOTSUPP": "Operation not supported",
    "EDQUOT": "Disk quota exceeded",
}


def os_error_text(errno_name: str) -> str:
    """The module's text of an OS error, by errno name ("eio")."""
    import errno
    name = errno_name.upper()
    return f"{GLIBC_ERRNO_TEXTS[name]} (os error {getattr(errno, name)})"


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def threads_now() -> int:
    return len(os.listdir("/proc/self/task"))


def settle_threads(baseline: int, timeout=10.0) -> int:
    """Pool threads of destroyed processors leave on their own; wait for them."""
    deadline = time.monotonic() + timeout
    while threads_now() > baseline and time.monotonic() < deadline:
        time.sleep(0.01)
    return threads_now()


# The reaping of a forked child in a child interpreter's script: its exit code
# or the negative signal number, or "stuck" (killed) after `timeout` seconds.
CHILD_WAIT_FOR = """
def wait_for(pid, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "stuck"
"""
