"""Runs a call that might block on a FIFO without letting the test hang."""
import os
import threading


def call_with_deadline(fn, fifo, timeout=10):
    """Runs fn in a thread and returns {"value": ...} or {"error": ...}. If the
    call is still blocked after `timeout` seconds, a writer is opened on the
    FIFO to release it and the test fails."""
    outcome = {}

    def run():
        try:
            outcome["value"] = fn()
        except BaseException as exc:  # noqa: BLE001 - handed to the test
            outcome["error"] = exc

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(timeout)
    blocked = thread.is_alive()
    if blocked:  # release the blocked open before failing
        os.close(os.open(fifo, os.O_RDWR))
        thread.join(timeout)
    assert not blocked, "the call blocked on a FIFO"
    return outcome
