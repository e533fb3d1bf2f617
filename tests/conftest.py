import os
import sys

import pytest

# Tests import the installed package; a developer build placed in src/ (PYTHONPATH=src) works too.
sys.path.insert(0, os.path.dirname(__file__))

UNDER_SANITIZER = bool(os.environ.get("KOLVANE_UNDER_SANITIZER"))


@pytest.fixture
def rng():
    import numpy as np

    return np.random.default_rng(12345)


@pytest.fixture
def clean_interrupt():
    """The process-wide interrupt flag clear and the latency at its default, before and after."""
    from kolvane import interrupt

    interrupt.clear()
    interrupt.set_latency_ms(0)
    yield
    interrupt.clear()
    interrupt.set_latency_ms(0)
