"""Process-wide interrupt state shared by every kolvane module that waits.

``request()`` ends every wait in every module (pacing, following a capture,
receiving a stream); ``clear()`` resets the flag; ``Guard`` turns signals
(SIGINT by default) into the flag for the duration of a ``with`` block and
chains to the handlers installed before it.
"""

from .interrupt import Guard, clear, interrupted, latency_ms, request, set_latency_ms

__all__ = ["Guard", "clear", "interrupted", "latency_ms", "request", "set_latency_ms"]
