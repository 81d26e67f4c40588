"""Whether native code lets other Python threads run while it waits."""

import threading
import time


def ticks_while(call, seconds=0.3):
    """How often another Python thread got to run during `call()` (spinning for `seconds`), and
    the call's result."""
    ticks = []

    def spin():
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            ticks.append(1)

    worker = threading.Thread(target=spin)
    worker.start()
    result = call()
    worker.join()
    return len(ticks), result
