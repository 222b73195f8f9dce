"""Native helpers of the morlatch package; not a public interface."""

from typing_extensions import Buffer

def check_bytes(data: Buffer) -> str | None:
    """None when ``data`` starts with a complete trie image (as ``from_bytes``
    reads it), else a one-line description of what is wrong and at which
    byte offset, e.g. ``"UnexpectedEnd { additional: 3 } at byte 12"``."""
