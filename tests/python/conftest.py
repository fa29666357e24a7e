import os
import sys

import pytest


@pytest.fixture
def loop_port():
    """An open loopback port with a short read timeout; closed afterwards."""
    import corvalink

    port = corvalink.Serial("loop://", timeout=1)
    yield port
    port.close()
