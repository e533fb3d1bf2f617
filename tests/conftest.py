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
