import os

import pytest


@pytest.fixture(scope="session")
def m():
    import tavolin_native_backend

    return tavolin_native_backend


def open_fds() -> set[str]:
    return set(os.listdir("/proc/self/fd"))


@pytest.fixture
def no_fd_leak():
    """Fails the test if it leaves a descriptor open."""
    before = open_fds()
    yield
    leaked = open_fds() - before
    # The listing itself briefly holds a descriptor; ignore vanished entries.
    leaked = {fd for fd in leaked if os.path.exists(f"/proc/self/fd/{fd}")}
    assert not leaked, f"descriptors left open: {sorted(leaked)}"
