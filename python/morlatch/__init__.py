"""Exact and typo-tolerant lookup over a static trie.

``build`` lays keys out as a trie and returns a ``PrefixSearch`` of the native
``_morlatch`` module; ``save`` and ``load`` keep one in a file.
"""

from __future__ import annotations

from pkgutil import extend_path

# The package's native helper module (_engine) is installed beside these
# files; in a development build it sits in <build dir>/morlatch instead, which
# this finds when the build directory is on sys.path.
__path__ = extend_path(__path__, __name__)

from _morlatch import PrefixSearch, from_bytes, from_internal_data

from .builder import MAX_PAYLOAD, Keys, TrieArrays, build, layout
from .catalog import Catalog, Hit
from .errormodel import ErrorModel
from .fold import fold_text
from .index import Index, Match, auto_distance, layout_info
from .panic import is_panic
from .speller import Misspelling, Speller, Suggestion
from .storage import StrPath, load, save
from .wordlist import WordListError, default_search, default_words, parse_word_list

__all__ = [
    "MAX_PAYLOAD",
    "Catalog",
    "Hit",
    "ErrorModel",
    "Index",
    "Keys",
    "Match",
    "Misspelling",
    "PrefixSearch",
    "Speller",
    "StrPath",
    "Suggestion",
    "TrieArrays",
    "WordListError",
    "auto_distance",
    "build",
    "default_search",
    "default_words",
    "from_bytes",
    "fold_text",
    "from_internal_data",
    "is_panic",
    "layout",
    "layout_info",
    "load",
    "parse_word_list",
    "save",
]


def __getattr__(name: str) -> str:
    # The version is written once, in the package metadata; read it only when
    # asked, since importing importlib.metadata is slow.
    if name == "__version__":
        from importlib.metadata import version

        return version(__name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
