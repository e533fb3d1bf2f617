"""Process-wide interrupt state shared by every kolvane module that waits.

``interrupt()`` ends every wait in every module; ``resume()`` clears the flag;
``Guard`` turns signals (SIGINT by default) into the flag for the duration of a
``with`` block and chains to the handlers installed before it.
"""

from .interrupt import Guard, interrupt, interrupted, latency_ms, resume, set_latency_ms

__all__ = ["Guard", "interrupt", "interrupted", "latency_ms", "resume", "set_latency_ms"]
