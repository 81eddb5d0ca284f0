"""Whether a native call lets other Python threads run while it works.

A call that holds the interpreter lock lets no other thread run between its
entry and its return; one that releases it lets a ticking thread record
times all through. The call is repeated until the calls together last long
enough to tell the two apart on a loaded machine, and only ticks recorded
strictly inside a call count."""
import threading
import time


def assert_releases_lock(call, *, seconds=0.3, max_calls=50):
    ticks, done = [], threading.Event()

    def counter():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=counter, daemon=True)
    thread.start()
    spans = []
    try:
        time.sleep(0.02)
        while sum(b - a for a, b in spans) < seconds and len(spans) < max_calls:
            start = time.perf_counter()
            call()
            spans.append((start, time.perf_counter()))
    finally:
        done.set()
        thread.join()
    busy = sum(b - a for a, b in spans)
    inside = sum(1 for t in ticks for a, b in spans if a < t < b)
    assert busy >= seconds, f"{len(spans)} calls lasted only {busy:.3f} s"
    # A thread switch just before a call's entry can let a tick or two in per
    # call even when the lock is held; a released lock lets in one tick per
    # couple of milliseconds.
    assert inside >= max(3 * len(spans), 0.1 * busy / 0.002), (inside, len(spans), busy)
