"""The documents every server serves, generated into the run's temporary directory."""

import hashlib
import os

MIB = 1024 * 1024

# name -> size. The content is deterministic text, so a probe can compare what came back byte
# for byte.
FILES = {"1k.htm": 1024, "100k.htm": 100 * 1024, "10m.htm": 10 * MIB}
STREAM_FILE, STREAM_SIZE = "1g.bin", 1024 * MIB


def make_docroot(tmp):
    root = os.path.join(tmp, "docroot")
    os.mkdir(root)
    with open(os.path.join(root, "index.htm"), "w") as f:
        f.write("<html><head><title>bench</title></head><body><p>bench docroot</p></body></html>\n")
    line = b"".join(hashlib.sha256(str(i).encode()).hexdigest().encode() for i in range(32))
    line = line[:1023] + b"\n"  # 1 KiB of text
    for name, size in FILES.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(line * (size // len(line)))
    # The streaming check's file: sparse, so it costs no disk and its pages cost no memory; what
    # the server holds while sending it is the server's own.
    with open(os.path.join(root, STREAM_FILE), "wb") as f:
        f.truncate(STREAM_SIZE)
    return root
