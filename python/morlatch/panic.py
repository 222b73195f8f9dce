"""Recognising the exception that the native module raises for internal faults."""

from __future__ import annotations

__all__ = ["is_panic"]

# The class is private to the native module and not one of its attributes, so
# it is recognised by its qualified name. This is the package's only copy of a
# text that the native module fixes (src/texts.hpp): do not reword it.
_PANIC_MODULE = "fennic_runtime"
_PANIC_NAME = "PanicException"


def is_panic(error: BaseException) -> bool:
    """Tell whether ``error`` is the native module's fault exception.

    ``_morlatch`` raises it for internal faults (for example a node id past
    the end, or inconsistent trie arrays) and for byte strings that are not a
    trie image. It derives from BaseException, so ``except Exception`` does
    not catch it; catch BaseException and test it with this function::

        try:
            search.get_payload(node_id)
        except BaseException as error:
            if not morlatch.is_panic(error):
                raise
            ...
    """
    kind = type(error)
    return (
        kind.__module__ == _PANIC_MODULE
        and kind.__qualname__ == _PANIC_NAME
        and not issubclass(kind, Exception)
    )
