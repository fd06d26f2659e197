"""What the bench driver's tests share: the driver's package on the path, and the recorded
samples of each tool's output (samples/, captured from the real tools on loopback)."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "bench"))


def sample(name, newline=None):
    with open(os.path.join(HERE, "samples", name), errors="replace", newline=newline) as f:
        return f.read()
