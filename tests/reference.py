"""Obviously-correct reference implementations that the tests, the fuzz
harness and the benchmarks compare the native code against: the Levenshtein
and OSA distances, brute-force hits, two trie builders, a reader of the trie
arrays, a model of the walk, the one way to catch the module's fault
exception, the seeded typo generator for queries and a model of the byte
format.

The Python tests import it directly (tests/ is pytest's root); the fuzz
harness and the benchmarks put tests/ on sys.path first."""

from __future__ import annotations

import functools
import itertools
import math
import operator
import random
import re
import string
from array import array
from collections.abc import Callable, Iterable, Mapping, Sequence
from itertools import accumulate, chain, compress, groupby, repeat
from typing import Any

import _morlatch

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


def index_out_of_bounds(length: int, index: int) -> str:
    return f"index out of bounds: the len is {length} but the index is {index}"


def cycle(node: int, depth: int, node_count: int) -> str:
    """The fault of a walk whose path has more nodes than the trie."""
    return (
        f"the trie arrays contain a cycle: node {node} was reached {depth} edges below the "
        f"root, but the trie has only {node_count} nodes"
    )


def levenshtein(a: str, b: str) -> int:
    """Plain two-row Levenshtein distance: unit insert, delete, substitute."""
    previous = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        current = [i]
        for j, cb in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (ca != cb)))
        previous = current
    return previous[-1]


def fuzzy_hits(
    keys: Mapping[str, int | None], query: str, max_dist: int
) -> set[tuple[str, int, int]]:
    """What fuzzy_match must find, by brute force: every non-empty key with
    a payload within max_dist of query, as (key, payload, distance)."""
    hits = set()
    for key, payload in keys.items():
        if key and payload is not None:
            distance = levenshtein(key, query)
            if distance <= max_dist:
                hits.add((key, payload, distance))
    return hits


# ---------------------------------------------------------------- trie builder

Arrays = tuple[list[int], list[str], list[Any], list[int]]

# An unsigned array type of exactly 32 bits, as morlatch.layout's node_shifts.
U32 = next(code for code in "IL" if array(code).itemsize == 4)


def trie_arrays(
    keys: Mapping[str, int | None] | Iterable[str],
    order: Callable[[dict[str, Any]], list[str]] = sorted,
    breadth_first: bool = True,
) -> Arrays:
    """Lays out {key: payload or None} (or keys, payload = position) as the
    four arrays of a trie.

    `order` arranges each node's child characters; ids are numbered breadth
    first (children consecutive, as the package's builder does) or depth
    first. The empty key puts its payload on the root.
    """
    table = keys if isinstance(keys, Mapping) else {key: i for i, key in enumerate(keys)}
    tree: dict[str, Any] = {"kids": {}, "payload": None}
    for key, payload in table.items():
        node = tree
        for ch in key:
            node = node["kids"].setdefault(ch, {"kids": {}, "payload": None})
        node["payload"] = payload

    numbered: list[tuple[dict[str, Any], str]] = []  # (node, char) in id order

    def visit_depth_first(node: dict[str, Any], ch: str) -> None:
        numbered.append((node, ch))
        for c in order(node["kids"]):
            visit_depth_first(node["kids"][c], c)

    if breadth_first:
        level = [(tree, "")]
        while level:
            numbered.extend(level)
            level = [(n["kids"][c], c) for n, _ in level for c in order(n["kids"])]
    else:
        visit_depth_first(tree, "")
    ids = {id(node): i for i, (node, _) in enumerate(numbered)}
    shifts: list[int] = []
    strings: list[str] = []
    payloads: list[Any] = []
    child_indices: list[int] = []
    for node, ch in numbered:
        shifts.append(len(child_indices))
        strings.append(ch)
        payloads.append(node["payload"])
        child_indices.extend(ids[id(node["kids"][c])] for c in order(node["kids"]))
    return shifts, strings, payloads, child_indices


def level_order_arrays(
    table: dict[str, int], progress: Callable[[int, int], None] | None = None
) -> tuple[array[int], list[str], list[int | None], range]:
    """The package's builder as it was written in Python, kept as the oracle
    of the native one: the four arrays of ``table`` in level order, of the
    types ``morlatch.layout`` returns (node_shifts an unsigned 32-bit
    array, child_indices a range), calling ``progress(placed, total)`` after
    each depth where keys end."""
    # Work top down, one depth at a time, over the keys in sorted order. Each
    # key still longer than the depth has reached one node; the pairs (that
    # node, the key's next character) in key order are grouped runs, and each
    # run is one node of the next level. Sorted keys keep the parents in
    # level order and each parent's characters in code-point order, so the
    # runs come out exactly in breadth-first order with children in
    # code-point order. The work grows with the keys' total length and needs
    # no prefix strings, so a very long key costs no more than its length;
    # and once a single key is left, its remaining characters form a chain
    # that is laid out at once. No recursion, whatever the depth.
    keys = sorted(table)
    node_strings: list[str] = [""]
    node_payloads: list[int | None] = [None]
    child_counts: list[int] = [0]
    active = keys  # keys longer than depth, sorted
    reached = [0] * len(keys)  # the node each active key has reached
    depth = 0
    placed = 0
    while len(active) > 1:
        chars = list(map(operator.itemgetter(depth), active))
        # A run starts where the parent or the character changes.
        starts = list(
            map(
                operator.or_,
                map(operator.ne, reached, chain([-1], reached)),
                map(operator.ne, chars, chain([""], chars)),
            )
        )
        first = len(node_strings) - 1
        ids = list(accumulate(starts, initial=first))
        del ids[0]
        level = len(node_strings)
        node_strings.extend(compress(chars, starts))
        level = len(node_strings) - level
        node_payloads.extend(repeat(None, level))
        for parent, children in groupby(compress(reached, starts)):
            child_counts[parent] = sum(1 for _ in children)
        child_counts.extend(repeat(0, level))
        depth += 1
        ends = list(map(operator.eq, map(len, active), repeat(depth)))
        for key, node in compress(zip(active, ids, strict=True), ends):
            node_payloads[node] = table[key]
        if any(ends):
            keep = list(map(operator.not_, ends))
            active = list(compress(active, keep))
            reached = list(compress(ids, keep))
            placed += len(ends) - len(active)
            if progress is not None:
                progress(placed, len(table))
        else:
            reached = ids
    if active:
        # One key left: the rest of it is a chain below the node it reached.
        key = active[0]
        tail = len(key) - depth
        child_counts[reached[0]] = 1
        node_strings.extend(key[depth:])
        node_payloads.extend(repeat(None, tail - 1))
        node_payloads.append(table[key])
        child_counts.extend(repeat(1, tail - 1))
        child_counts.append(0)
        if progress is not None:
            progress(placed + 1, len(table))
    del active, reached

    # In level order the children of node n start right after the children
    # of nodes 0..n-1, and child_indices is simply 1, 2, ..., nodes - 1.
    node_shifts = array(U32, accumulate(child_counts, initial=0))
    node_shifts.pop()
    return node_shifts, node_strings, node_payloads, range(1, len(node_strings))


# ---------------------------------------------------------------- the walk


class Fault(Exception):
    """A fault of the models, with the text the module's fault would carry."""


def children(arrays: Arrays, node: int) -> list[tuple[str, int]]:
    """get_children on plain lists, with the module's faults."""
    shifts, strings, _, child_indices = arrays
    if node >= len(shifts):
        raise Fault(index_out_of_bounds(len(shifts), node))
    start = shifts[node]
    after = (node + 1) & 0xFFFFFFFF  # ids are 32-bit
    end = len(child_indices) if after >= len(shifts) else shifts[after]
    out = []
    for i in range(start, end):
        if i >= len(child_indices):
            raise Fault(index_out_of_bounds(len(child_indices), i))
        child = child_indices[i]
        if child >= len(strings):
            raise Fault(index_out_of_bounds(len(strings), child))
        if not strings[child]:
            raise Fault(UNWRAP_NONE)
        out.append((strings[child][0], child))
    return out


def proper_keys(arrays: Arrays) -> dict[str, int] | None:
    """Every key below the root with its payload, when the arrays form a
    proper trie (every child list readable without a fault, every node
    reached once, siblings with distinct characters); None otherwise."""
    payloads = arrays[2]
    if not payloads:
        return None
    keys: dict[str, int] = {}
    seen = {0}
    todo = [(0, "")]
    while todo:
        node, text = todo.pop()
        if text and payloads[node] is not None:
            keys[text] = payloads[node]
        try:
            kids = children(arrays, node)
        except Fault:
            return None
        if len({ch for ch, _ in kids}) != len(kids):
            return None
        for ch, child in kids:
            if child in seen or child >= len(payloads):
                return None
            seen.add(child)
            todo.append((child, text + ch))
    return keys


def walk(
    arrays: Arrays,
    query: str,
    max_dist: int,
    limit: int | None = None,
    on_visit: Callable[[int], object] | None = None,
) -> list[tuple[str, int, int]]:
    """fuzzy_match as this system defines it, step by step, on plain lists.

    Depth first; each node gets a Levenshtein row from its parent's; a node
    with a payload whose last cell is within max_dist is a hit; a node whose
    row minimum exceeds max_dist, or any node once `limit` hits are found,
    enters no children; the child on the query's next character goes first
    (of several, the last), the others follow in array order. Raises Fault
    with the module's message where the module faults. on_visit is called
    with every node taken off the stack.
    """
    payloads = arrays[2]
    n = len(query)
    found: list[tuple[str, int, int]] = []
    stack: list[tuple[int, int, str, list[int]]] = [(0, 0, "", [])]
    while stack:
        node, depth, prefix, prev = stack.pop()
        if on_visit is not None:
            on_visit(node)
        if node >= len(payloads):
            raise Fault(index_out_of_bounds(len(payloads), node))
        if depth >= len(payloads):
            raise Fault(cycle(node, depth, len(payloads)))
        full = limit is not None and len(found) >= limit
        if not prefix:
            row = list(range(n + 1))
        else:
            c = prefix[-1]
            row = [prev[0] + 1]
            for i in range(1, n + 1):
                row.append(min(prev[i] + 1, row[i - 1] + 1, prev[i - 1] + (c != query[i - 1])))
            if payloads[node] is not None and row[n] <= max_dist and not full:
                found.append((prefix, payloads[node], row[n]))
        below = children(arrays, node)
        if (limit is not None and len(found) >= limit) or min(row) > max_dist:
            continue
        promoted = None
        rest = []
        for ch, child in below:
            if depth < n and ch == query[depth]:
                promoted = (ch, child)  # a later one replaces an earlier one
            else:
                rest.append((ch, child))
        chosen = ([promoted] if promoted else []) + rest
        for ch, child in reversed(chosen):
            stack.append((child, depth + 1, prefix + ch, row))
    return found


# ---------------------------------------------------------------- faults


def is_fault(error: BaseException) -> bool:
    """The module's fault exception: fennic_runtime.PanicException, derived
    from BaseException and not from Exception."""
    kind = type(error)
    return (kind.__module__, kind.__qualname__) == (
        "fennic_runtime",
        "PanicException",
    ) and not issubclass(kind, Exception)


def fault_class() -> type[BaseException]:
    """The class of the module's fault exception (a trie with no nodes has no root)."""
    try:
        _morlatch.from_internal_data([], [], [], []).get_payload(0)
    except BaseException as error:  # noqa: B036 - the class is what we are after
        assert is_fault(error), repr(error)
        return type(error)
    raise AssertionError("no fault was raised")


def outcome(call: Callable[[], Any]) -> tuple[str, Any]:
    """("ok", result), or ("fault", message) when call() raises the module's
    fault exception or a model's Fault. Anything else propagates."""
    try:
        return ("ok", call())
    except Fault as error:
        return ("fault", str(error))
    except BaseException as error:
        if not is_fault(error):
            raise
        assert len(error.args) == 1
        return ("fault", error.args[0])


def fault_message(call: Callable[[], Any]) -> str:
    """The message of the module's fault that call() raises; fails otherwise."""
    kind, value = outcome(call)
    assert kind == "fault", f"no fault, returned {value!r}"
    return value


def osa(a: str, b: str) -> int:
    """Optimal string alignment distance: Levenshtein plus the swap of two
    adjacent characters as one edit (no substring edited twice)."""
    rows = [list(range(len(b) + 1))]
    for i, ca in enumerate(a, 1):
        row = [i]
        for j, cb in enumerate(b, 1):
            best = min(rows[i - 1][j] + 1, row[j - 1] + 1, rows[i - 1][j - 1] + (ca != cb))
            if i > 1 and j > 1 and ca == b[j - 2] and a[i - 2] == cb:
                best = min(best, rows[i - 2][j - 2] + 1)
            row.append(best)
        rows.append(row)
    return rows[-1][-1]


def completion_distance(key: str, prefix: str, transpositions: bool = False) -> int:
    """The smallest distance between ``prefix`` and a beginning of ``key``."""
    distance = osa if transpositions else levenshtein
    return min(distance(key[:i], prefix) for i in range(len(key) + 1))


# ---------------------------------------------------------------- folding, weights, correction


def fold(text: str) -> str:
    """The built-in fold, step by step: canonical decomposition, full case
    folding, decomposition again, every nonspacing mark (category Mn) left
    out, canonical composition."""
    import unicodedata

    decomposed = unicodedata.normalize("NFD", unicodedata.normalize("NFD", text).casefold())
    return unicodedata.normalize(
        "NFC", "".join(ch for ch in decomposed if unicodedata.category(ch) != "Mn")
    )


def weighted_order(
    hits: Iterable[tuple[str, int, int]], weight: Callable[[str], float]
) -> list[tuple[str, int, int]]:
    """(key, payload, distance) hits ranked by (distance, -weight, key)."""
    return sorted(hits, key=lambda hit: (hit[2], -weight(hit[0]), hit[0]))


def model_cost(
    key: str, word: str, edit: int, cheap: int, vowels: str, transpositions: bool
) -> int:
    """The cost of the cheapest alignment that edits ``key`` into ``word``: a
    letter of the key left out costs ``cheap`` when it repeats the one before
    it, a letter added to the word ``cheap`` when it repeats the word's
    letter before it, a vowel for a vowel and a swap of neighbours
    ``cheap``; every other edit ``edit``."""

    def drop(i: int) -> int:
        return cheap if i >= 2 and key[i - 1] == key[i - 2] else edit

    def add(j: int) -> int:
        return cheap if j >= 2 and word[j - 1] == word[j - 2] else edit

    rows = [[0]]
    for j in range(1, len(word) + 1):
        rows[0].append(rows[0][j - 1] + add(j))
    for i in range(1, len(key) + 1):
        row = [rows[i - 1][0] + drop(i)]
        for j in range(1, len(word) + 1):
            a, b = key[i - 1], word[j - 1]
            change = 0 if a == b else cheap if a in vowels and b in vowels else edit
            best = min(rows[i - 1][j - 1] + change, rows[i - 1][j] + drop(i), row[j - 1] + add(j))
            if transpositions and i > 1 and j > 1 and a == word[j - 2] and key[i - 2] == b:
                best = min(best, rows[i - 2][j - 2] + cheap)
            row.append(best)
        rows.append(row)
    return rows[-1][-1]


def correct(
    within: Iterable[tuple[str, int, int]],
    weights: Mapping[str, float],
    word: str,
    limit: int,
    transpositions: bool,
    model: tuple[int, int, str] | None,
) -> list[tuple[str, int, int]]:
    """Index.correct from every (key, payload, distance) within reach of
    ``word``: the key equal to ``word`` first, then the others by (distance,
    -weight, key), or with a model by descending log1p(weight) - cost / 1000,
    then key."""
    import math

    out = []
    found = []
    for key, payload, d in within:
        if key == word:
            out.append((key, payload, 0))
            continue
        w = weights.get(key, 0)
        if model is None:
            rank: tuple[float, ...] = (d, -w)
        else:
            cost = model_cost(key, word, *model, transpositions)
            rank = (-(math.log1p(w) - cost / 1000.0),)
        found.append((rank, key, payload, d))
    found.sort()
    out += [(key, payload, d) for _, key, payload, d in found]
    return out[:limit]


# ---------------------------------------------------------------- an Index by brute force
#
# What Index.search, complete and correct return, from the table of keys as
# given, their weights and the folding rule, by trying every key. Weights go
# in as the index keeps them (see weight_values); None is an index without
# weights, which ranks differently from one whose weights are all 0.

MODEL = (7000, 4250, "aeiou")  # EDIT_COST, CHEAP_COST in thousandths, VOWELS


def weight_values(weights: Mapping[str, int | float]) -> dict[str, int | float]:
    """The weights as an index keeps them: all ints, or all floats as soon as
    one of them is a float."""
    if any(isinstance(value, float) for value in weights.values()):
        return {key: float(value) for key, value in weights.items()}
    return dict(weights)


def _forms(keys: Iterable[str], rule: Callable[[str], str] | None) -> dict[str, str]:
    return {key: key if rule is None else rule(key) for key in keys}


def index_search(
    keys: Mapping[str, int],
    query: str,
    max_dist: int,
    *,
    limit: int | None = None,
    transpositions: bool = False,
    weights: Mapping[str, int | float] | None = None,
    rule: Callable[[str], str] | None = None,
) -> list[tuple[str, int, int]]:
    """Index.search: every key whose form is within max_dist of the query's
    form, ranked by (distance, -weight, form, key) (weight 0 without
    weights), the first ``limit``."""
    distance = osa if transpositions else levenshtein
    folded = query if rule is None else rule(query)
    ranked = []
    for key, form in _forms(keys, rule).items():
        d = distance(form, folded)
        if d <= max_dist:
            weight = 0 if weights is None else weights.get(key, 0)
            ranked.append(((d, -weight, form, key), (key, keys[key], d)))
    ranked.sort()
    return [hit for _, hit in ranked][:limit]


def index_complete(
    keys: Mapping[str, int],
    prefix: str,
    max_dist: int,
    *,
    limit: int | None = 10,
    transpositions: bool = False,
    weights: Mapping[str, int | float] | None = None,
    rule: Callable[[str], str] | None = None,
) -> list[tuple[str, int, int]]:
    """Index.complete: every key whose form has a beginning within max_dist
    of the prefix's form, at the smallest such distance, ranked by
    (distance, form length, form, key), with weights by (distance, -weight,
    form, key), the first ``limit``."""
    folded = prefix if rule is None else rule(prefix)
    ranked = []
    for key, form in _forms(keys, rule).items():
        d = completion_distance(form, folded, transpositions)
        if d <= max_dist:
            middle = len(form) if weights is None else -weights.get(key, 0)
            ranked.append(((d, middle, form, key), (key, keys[key], d)))
    ranked.sort()
    return [hit for _, hit in ranked][:limit]


def index_correct(
    keys: Mapping[str, int],
    word: str,
    max_dist: int,
    *,
    limit: int = 1,
    transpositions: bool = True,
    rule: str = "model",
    weights: Mapping[str, int | float] | None = None,
    fold: Callable[[str], str] | None = None,
) -> list[tuple[str, int, int]]:
    """Index.correct: ``correct`` over the forms (a form weighs what its
    heaviest key weighs; the model only on an index with weights), then each
    form's keys by (-weight, key), the first ``limit``."""
    distance = osa if transpositions else levenshtein
    forms = _forms(keys, fold)
    folded = word if fold is None else fold(word)
    weight = {key: 0 if weights is None else weights.get(key, 0) for key in keys}
    members: dict[str, list[str]] = {}
    for key, form in forms.items():
        members.setdefault(form, []).append(key)
    heaviest = {form: max(weight[key] for key in group) for form, group in members.items()}
    within = []
    for form in members:
        d = distance(form, folded)
        if d <= max_dist:
            within.append((form, 0, d))
    model = MODEL if rule == "model" and weights is not None else None
    ranked = correct(within, heaviest, folded, len(within), transpositions, model)
    out = []
    for form, _, d in ranked:
        for key in sorted(members[form], key=lambda key: (-weight[key], key)):
            out.append((key, keys[key], d))
    return out[:limit]


# ---------------------------------------------------------------- typos


def typo(
    rng: random.Random,
    text: str,
    edits: int,
    letters: str = string.ascii_lowercase,
    swaps: bool = False,
) -> str:
    """text with `edits` random edits, each at a random place: replace,
    delete or insert a letter (or, with swaps, swap two neighbours). An edit
    that does not fit where it falls (past the end) does nothing, or inserts."""
    chars = list(text)
    for _ in range(edits):
        pos = rng.randrange(len(chars) + 1)
        kind = rng.randrange(4 if swaps else 3)
        if kind == 0 and pos < len(chars):
            chars[pos] = rng.choice(letters)
        elif kind == 1 and pos < len(chars):
            del chars[pos]
        elif kind == 3:
            if pos + 1 < len(chars):
                chars[pos], chars[pos + 1] = chars[pos + 1], chars[pos]
        else:
            chars.insert(pos, rng.choice(letters))
    return "".join(chars)


def typo_queries(words: Sequence[str], count: int, seed: int = 1) -> list[str]:
    """count seeded words of the list (drawn with replacement), each with 0,
    1, 1 or 2 random edits of lowercase letters: the benchmarks' queries."""
    rng = random.Random(seed)
    return [typo(rng, rng.choice(words), rng.choice((0, 1, 1, 2))) for _ in range(count)]


# ---------------------------------------------------------------- "auto" bounds, duplicates


def auto_bound(text: str) -> int:
    """max_dist="auto" for a query (as compared: folded on a folded index):
    no edit for 1-2 characters, one for 3-5, two for 6 or more."""
    length = len(text)
    if length >= 6:
        return 2
    if length >= 3:
        return 1
    return 0


def kept_payloads(pairs: Sequence[tuple[str, int]], duplicates: str) -> dict[str, int]:
    """The payload each key keeps when given more than once: the "last" or
    the "first" one; "error" raises ValueError naming the first key that
    comes again with another payload."""
    if duplicates == "error":
        first: dict[str, int] = {}
        for key, payload in pairs:
            if first.setdefault(key, payload) != payload:
                raise ValueError(key)
    return dict(reversed(pairs)) if duplicates == "first" else dict(pairs)


# ---------------------------------------------------------------- catalogs: words, search, linkage
#
# A catalog by brute force: every item and every query word compared with
# every item word, nothing indexed. morlatch.Catalog must rank and score as
# these do (tests/test_catalog*.py compare them over random catalogs).

CATALOG_PROXIMITY_CAP = 7
CATALOG_MATCH_CUTOFF = 0.6


def catalog_tokens(text: str, symbols: Iterable[str] = ()) -> list[tuple[int, int, str]]:
    """The words of ``text`` as (start, end, word): maximal runs of letters,
    digits and marks (general categories L*, N*, M*); a character of
    ``symbols`` outside such a run is a word of its own."""
    import unicodedata

    extra = set(symbols)
    words: list[tuple[int, int, str]] = []
    start = None
    for at, ch in enumerate(text + " "):
        inside = at < len(text) and unicodedata.category(ch)[0] in "LNM"
        if inside and start is None:
            start = at
        elif not inside and start is not None:
            words.append((start, at, text[start:at]))
            start = None
        if not inside and ch in extra:
            words.append((at, at + 1, ch))
    return words


def catalog_term(word: str, rule: Callable[[str], str] | None, synonyms: Mapping[str, str]) -> str:
    """A word as the catalog compares it: folded, then replaced by its
    synonym (followed to the end of a chain) when it has one."""
    term = rule(word) if rule is not None else word
    seen = {term}
    while term in synonyms:
        term = synonyms[term]
        if term in seen:
            break
        seen.add(term)
    return term


def catalog_budget(word: str, typos: int | str) -> int:
    """Typos allowed for a query word: "auto" allows none below 3
    characters, 1 from 3 and 2 from 6; an int the same for every word."""
    if typos != "auto":
        return int(typos)
    return 0 if len(word) < 3 else 1 if len(word) < 6 else 2


def catalog_word_match(word: str, term: str, budget: int, prefix: bool) -> tuple[int, int] | None:
    """How a query word matches an item term: (typos, 1 if as a prefix else
    0), or None. A prefix word takes the term whole when that costs no more
    typos than some beginning of it."""
    whole = osa(word, term)
    if not prefix:
        return (whole, 0) if whole <= budget else None
    start = completion_distance(term, word, transpositions=True)
    if start > budget:
        return None
    return (whole, 0) if whole == start else (start, 1)


def catalog_proximity(positions: Sequence[int]) -> int:
    """The spread of the matched words, in query order: next word d places
    later costs d - 1, d places earlier (or the same word) 1 + |d|, each pair
    at most CATALOG_PROXIMITY_CAP."""
    total = 0
    for a, b in itertools.pairwise(positions):
        d = b - a
        total += min(CATALOG_PROXIMITY_CAP, d - 1 if d > 0 else 1 - d)
    return total


def catalog_search(
    items: Sequence[tuple[str, int, int | float]],
    query: str,
    limit: int = 10,
    *,
    typos: int | str = "auto",
    prefix: bool = True,
    rule: Callable[[str], str] | None = fold,
    synonyms: Mapping[str, str] | None = None,
) -> list[tuple[str, int, float, list[tuple[int, int]]]]:
    """Catalog.search over (text, payload, weight) items: (text, payload,
    score, spans) of the items that match the most query words (at least
    one), ranked by typos, proximity, prefixes, -weight, text, payload."""
    syn = dict(synonyms or {})
    symbols = [s for s in syn if len(s) == 1 and unicodedata_category(s)[0] not in "LNM"]
    words = [catalog_term(w, rule, syn) for _, _, w in catalog_tokens(query, symbols)]
    words = [w for w in words if w]
    if not words:
        return []
    last_prefix = prefix and not query[-1:].isspace()
    budgets = [catalog_budget(w, typos) for w in words]
    ranked = []
    for text, payload, weight in items:
        tokens = [(s, e, catalog_term(w, rule, syn)) for s, e, w in catalog_tokens(text, symbols)]
        tokens = [t for t in tokens if t[2]]
        best: list[tuple[int, int, int] | None] = []
        for i, word in enumerate(words):
            as_prefix = last_prefix and i == len(words) - 1
            found = [
                (*m, j)
                for j, (_, _, term) in enumerate(tokens)
                if (m := catalog_word_match(word, term, budgets[i], as_prefix)) is not None
            ]
            best.append(min(found) if found else None)
        matched = [b for b in best if b is not None]
        if not matched:
            continue
        typo_sum = sum(b[0] for b in matched)
        spread = catalog_proximity([b[2] for b in matched])
        prefixes = sum(b[1] for b in matched)
        worst_spread = CATALOG_PROXIMITY_CAP * (len(words) - 1)
        within = (typo_sum + (spread + prefixes / 2) / (worst_spread + 1)) / (sum(budgets) + 1)
        score = (len(matched) - within) / len(words)
        spans = sorted({tokens[b[2]][:2] for b in matched})
        key = (-len(matched), typo_sum, spread, prefixes, -weight, text, payload)
        ranked.append((key, (text, payload, score, spans)))
    most = max((-key[0] for key, _ in ranked), default=0)
    ranked = [(key, hit) for key, hit in ranked if -key[0] == most]
    ranked.sort(key=lambda pair: pair[0])
    return [hit for _, hit in ranked[:limit]]


def unicodedata_category(ch: str) -> str:
    import unicodedata

    return unicodedata.category(ch)


def catalog_match(
    items: Sequence[tuple[str, int, int | float]],
    name: str,
    limit: int = 1,
    *,
    score_cutoff: float | None = None,
    rule: Callable[[str], str] | None = fold,
    synonyms: Mapping[str, str] | None = None,
) -> list[tuple[str, int, float]]:
    """Catalog.match by brute force: a weighted Dice coefficient over the
    words. A word weighs ln(1 + N / df) (N items, df of them holding it; a
    word no item holds weighs ln(1 + N)); a query word and an item word pair
    off when equal (similarity 1) or within the "auto" budget of the query
    word (1 - typos / longer length), greedily by (-similarity, -weight,
    query position, item position). Score: the paired weight, counted on
    both sides and times the similarity, over all the words' weight."""
    import math

    syn = dict(synonyms or {})
    symbols = [s for s in syn if len(s) == 1 and unicodedata_category(s)[0] not in "LNM"]

    def terms(text: str) -> list[str]:
        found = [catalog_term(w, rule, syn) for _, _, w in catalog_tokens(text, symbols)]
        return [t for t in found if t]

    item_terms = [terms(text) for text, _, _ in items]
    df: dict[str, int] = {}
    for ts in item_terms:
        for t in set(ts):
            df[t] = df.get(t, 0) + 1
    n = len(items)

    def mass(term: str) -> float:
        return math.log1p(n / df[term]) if term in df else math.log1p(n)

    words = terms(name)
    cutoff = CATALOG_MATCH_CUTOFF if score_cutoff is None else score_cutoff
    ranked = []
    for (text, payload, weight), ts in zip(items, item_terms, strict=True):
        pairs = []
        for i, w in enumerate(words):
            for j, t in enumerate(ts):
                d = 0 if w == t else osa(w, t)
                if d <= catalog_budget(w, "auto"):
                    pairs.append((-(1 - d / max(len(w), len(t))), -mass(t), i, j))
        if not pairs:
            continue
        pairs.sort()
        used_i: dict[int, tuple[float, int]] = {}
        used_j: set[int] = set()
        for neg_sim, _, i, j in pairs:
            if i not in used_i and j not in used_j:
                used_i[i] = (-neg_sim, j)
                used_j.add(j)
        total = 0.0
        for i, w in enumerate(words):
            total += mass(ts[used_i[i][1]]) if i in used_i else mass(w)
        for t in ts:
            total += mass(t)
        paired = 0.0
        for i in sorted(used_i):
            sim, j = used_i[i]
            paired += sim * 2 * mass(ts[j])
        score = min(1.0, paired / total)
        if score >= cutoff:
            ranked.append(((-score, -weight, text, payload), (text, payload, score)))
    ranked.sort(key=lambda pair: pair[0])
    return [hit for _, hit in ranked[:limit]]


# ---------------------------------------------------------------- the trie byte format
#
# A writer and a reader of the byte image, from the format's description
# alone: four lists, each an element count (64-bit varint) and its elements;
# a varint is a byte 0..250, or 251, 252, 253 and 2, 4, 8 little-endian
# bytes. The reader returns the four arrays, or the rendering of the first
# decode error.

OPTION_CHAR = "core::option::Option<char>"
OPTION_U32 = "core::option::Option<u32>"


def model_varint(value):
    if value <= 250:
        return bytes([value])
    if value <= 0xFFFF:
        return b"\xfb" + value.to_bytes(2, "little")
    if value <= 0xFFFFFFFF:
        return b"\xfc" + value.to_bytes(4, "little")
    return b"\xfd" + value.to_bytes(8, "little")


def model_encode(shifts, chars, payloads, children):
    """chars: one character or None per node."""
    out = bytearray(model_varint(len(shifts)))
    for v in shifts:
        out += model_varint(v)
    out += model_varint(len(chars))
    for c in chars:
        out += b"\x00" if c is None else b"\x01" + c.encode("utf-8")
    out += model_varint(len(payloads))
    for p in payloads:
        out += b"\x00" if p is None else b"\x01" + model_varint(p)
    out += model_varint(len(children))
    for v in children:
        out += model_varint(v)
    return bytes(out)


class ModelError(Exception):
    pass


class ModelReader:
    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def take(self, n):
        left = len(self.data) - self.pos
        if left < n:
            raise ModelError(f"UnexpectedEnd {{ additional: {n - left} }}")
        chunk = self.data[self.pos : self.pos + n]
        self.pos += n
        return chunk

    def varint(self, expected):
        first = self.take(1)[0]
        if first <= 250:
            return first
        found = {0xFD: "U64", 0xFE: "U128", 0xFF: "Reserved"}.get(first)
        if found == "U64" and expected == "U64":
            found = None
        if found is not None:
            raise ModelError(f"InvalidIntegerType {{ expected: {expected}, found: {found} }}")
        width = {0xFB: 2, 0xFC: 4, 0xFD: 8}[first]
        return int.from_bytes(self.take(width), "little")

    def optional(self, type_name, read_value):
        tag = self.take(1)[0]
        if tag == 0:
            return None
        if tag != 1:
            raise ModelError(
                f'UnexpectedVariant {{ type_name: "{type_name}", '
                f"allowed: Range {{ min: 0, max: 1 }}, found: {tag} }}"
            )
        return read_value()

    def char(self):
        lead = self.take(1)[0]
        if lead < 0x80:
            width = 1
        elif 0xC2 <= lead <= 0xDF:
            width = 2
        elif 0xE0 <= lead <= 0xEF:
            width = 3
        elif 0xF0 <= lead <= 0xF4:
            width = 4
        else:
            width = 0
        if width == 0:
            raise ModelError(f"InvalidCharEncoding([{lead}, 0, 0, 0])")
        seq = bytes([lead]) + self.take(width - 1)
        try:
            text = seq.decode("utf-8")  # strict: no overlongs, surrogates, > U+10FFFF
        except UnicodeDecodeError:
            padded = list(seq) + [0] * (4 - len(seq))
            raise ModelError(f"InvalidCharEncoding({padded})") from None
        assert len(text) == 1
        return text

    def listing(self, read_element):
        return [read_element() for _ in range(self.varint("U64"))]


def model_decode(data):
    """The four arrays, or the rendering of the decode error."""
    r = ModelReader(data)
    try:
        return (
            r.listing(lambda: r.varint("U32")),
            r.listing(lambda: r.optional(OPTION_CHAR, r.char)),
            r.listing(lambda: r.optional(OPTION_U32, lambda: r.varint("U32"))),
            r.listing(lambda: r.varint("U32")),
        )
    except ModelError as e:
        return str(e)


# ---------------------------------------------------------------- spelling


def channel_cost(
    edits: Iterable[tuple[str, str, float]],
    rates: Sequence[float],
    typed: str,
    word: str,
    band: int | None = None,
) -> float:
    """The cheapest way to edit ``word`` into ``typed`` with the learned
    ``edits`` (from, to, cost) and the (substitute, delete, insert, swap)
    ``rates`` for single characters, by filling the whole table (cells more
    than ``band`` beyond the length difference off the diagonal left out
    when a band is given)."""
    table = list(edits)
    n, m = len(word), len(typed)
    reach = None if band is None else abs(n - m) + band
    best = [[float("inf")] * (m + 1) for _ in range(n + 1)]
    best[0][0] = 0.0
    for i in range(n + 1):
        for j in range(m + 1):
            here = best[i][j]
            if reach is not None and abs(i - j) > reach:
                continue
            steps = []
            if i < n and j < m:
                steps.append((1, 1, 0.0 if word[i] == typed[j] else rates[0]))
            steps += [(1, 0, rates[1]), (0, 1, rates[2])]
            if word[i : i + 2] == typed[j : j + 2][::-1] and len(word[i : i + 2]) == 2:
                steps.append((2, 2, rates[3]))
            steps += [
                (len(source), len(target), cost)
                for source, target, cost in table
                if word.startswith(source, i) and typed.startswith(target, j)
            ]
            for di, dj, cost in steps:
                if i + di <= n and j + dj <= m:
                    best[i + di][j + dj] = min(best[i + di][j + dj], here + cost)
    return best[n][m]


def noisy_channel(
    counts: Mapping[str, int],
    cost: Callable[[str, str], float],
    typed: str,
    candidates: Callable[[str, str], bool],
    max_cost: float = math.inf,
) -> str | None:
    """The word w of ``counts`` that maximises log P(w) - cost(typed, w)
    among those ``candidates`` admits at a cost of at most ``max_cost``, ties
    to the smaller word; ``typed`` itself when it is a word."""
    if typed in counts:
        return typed
    total = sum(counts.values()) + len(counts)
    scored = [
        (math.log((count + 1) / total) - cost(typed, word), word)
        for word, count in counts.items()
        if candidates(typed, word) and cost(typed, word) <= max_cost
    ]
    if not scored:
        return None
    return min(scored, key=lambda item: (-item[0], item[1]))[1]


def context_score(
    word: str,
    before: str | None,
    after: str | None,
    counts: Mapping[str, int],
    pairs: Mapping[tuple[str, str], float],
) -> float:
    """log P(word | before) + log P(after | word) - log P(after), a missing
    pair backing off to four tenths of the second word's own probability."""
    log_total = math.log(sum(counts.values()) + len(counts))

    def log_p(w: str) -> float:
        return math.log(counts.get(w, 0) + 1) - log_total

    def follow(first: str, second: str) -> float:
        pair = pairs.get((first, second))
        if pair is not None:
            return math.log(pair) - math.log(counts.get(first, 0) + pair)
        return math.log(0.4) + log_p(second)

    score = log_p(word) if before is None else follow(before, word)
    if after is not None:
        score += follow(word, after) - log_p(after)
    return score


def in_context_choice(
    counts: Mapping[str, int],
    pairs: Mapping[tuple[str, str], float],
    cost: Callable[[str, str], float],
    typed: str,
    before: str | None,
    after: str | None,
    near: Callable[[str, str], bool],
    further: Callable[[str, str], bool],
    near_cost: float,
    max_cost: float,
    margin: float,
) -> str | None:
    """The word fix puts for the unknown ``typed`` between two words: the
    best in context of those ``near`` admits when it costs at most
    ``near_cost``, else the best of those ``further`` admits; the best of
    ``further`` replaces a cheap near word seen beside neither neighbour
    only when ``margin`` likelier."""

    def best(admits: Callable[[str, str], bool]) -> tuple[float, str] | None:
        scored = [
            (context_score(word, before, after, counts, pairs) - cost(typed, word), word)
            for word in counts
            if admits(typed, word) and cost(typed, word) <= max_cost
        ]
        return min(scored, key=lambda item: (-item[0], item[1]), default=None)

    first, other = best(near), best(further)
    if first is None or cost(typed, first[1]) > near_cost:
        return None if other is None else other[1]
    seen = (before, first[1]) in pairs or (first[1], after) in pairs
    if other is not None and not seen and other[0] > first[0] + margin:
        return other[1]
    return first[1]


def segmentations(text: str) -> Iterable[list[str]]:
    """Every way to cut ``text`` into non-empty pieces."""
    for cuts in range(1 << max(len(text) - 1, 0)):
        pieces, start = [], 0
        for at in range(1, len(text)):
            if cuts >> (at - 1) & 1:
                pieces.append(text[start:at])
                start = at
        pieces.append(text[start:])
        yield pieces


def segment_count(
    piece: str, counts: Mapping[str, int], listed: Mapping[str, float] | None = None
) -> float | None:
    """The count segmentation gives ``piece``: its own; its count in
    ``listed`` (words a larger list holds, see listed_counts, whose plurals
    and possessives count as those of counted words); a tenth of its stem's
    for the regular plural ("s" or "es", see plural_endings) or possessive
    ("'s") of a counted word of four letters or more; a hundredth of its
    stem's for an old "-eth" or "-est" form of a counted word (the counts
    here hold no names); for a word known with a count of 0, the count of
    the rarest counted word of a closed list that holds it (see
    closed_list_count), else half the rarest count or what it is made from,
    whichever is more; None for an unknown piece."""
    if counts.get(piece):
        return counts[piece]
    if listed and piece in listed:
        return listed[piece]
    member = closed_list_count(piece, counts)
    if member is not None:
        return member
    derived = _derived_count(piece, counts, listed)
    if piece in counts:
        rare = min(filter(None, counts.values()), default=1) / 2
        return rare if derived is None else max(rare, derived)
    return derived


def closed_list_count(piece: str, counts: Mapping[str, int]) -> int | None:
    """For a word the counts hold as 0 that a closed list holds (the
    closed-class words, the shortened titles), the count of that list's
    rarest counted word (the larger, if both lists hold it); else None."""
    from morlatch.spelltext import CLOSED_CLASS, TITLES

    if counts.get(piece, 1) != 0:
        return None
    found = [
        min(counts[word] for word in members if counts.get(word))
        for members in (CLOSED_CLASS, TITLES)
        if piece in members and any(counts.get(word) for word in members)
    ]
    return max(found, default=None)


# Shortened titles that stand before a name only: an unknown piece after one
# scores at least as its letters alone.
NAME_TITLES = frozenset(("mr", "mrs", "dr"))


def _derived_count(
    piece: str, counts: Mapping[str, int], listed: Mapping[str, float] | None
) -> float | None:
    """The count of ``piece`` as a plural, possessive or old verb form made
    from a counted or listed word (see segment_count), or None."""
    for ending in ("es", "s", "'s"):
        stem = piece[: -len(ending)]
        stem_count = counts.get(stem) or (listed or {}).get(stem)
        if piece.endswith(ending) and len(stem) >= 4 and stem_count:
            if ending == "'s" or ending in plural_endings(stem):
                return stem_count / 10
    for stem, count in counts.items():
        if count and any(piece in old_verb_forms(stem, end) for end in ("eth", "est")):
            return count / 100
    return None


def plural_endings(word: str) -> set[str]:
    """The endings that make ``word``'s regular plural: "es" after s, x, z,
    ch or sh; "es" or "s" after "o" ("heroes", "photos"); none after a
    consonant and "y" ("ies" replaces the "y"); else "s"."""
    if re.search("(s|x|z|ch|sh)$", word):
        return {"es"}
    if word.endswith("o"):
        return {"es", "s"}
    if re.search("[^aeiou]y$", word):
        return set()
    return {"s"}


def old_verb_forms(word: str, ending: str) -> set[str]:
    """The old verb forms of ``word`` with ``ending`` ("eth" or "est"), made
    forwards: the ending added ("walketh"), its "e" merged with a final "e"
    ("cometh"), a final consonant doubled ("putteth"), a final "y" made "i"
    ("crieth"); each with two letters at least before the ending ("reth" is
    none)."""
    forms = {word + ending}
    if word.endswith("e"):
        forms.add(word + ending[1:])
    if word[-1:] not in "aeiouy":
        forms.add(word + word[-1] + ending)
    if word.endswith("y"):
        forms.add(word[:-1] + "i" + ending)
    return {form for form in forms if len(form) >= len(ending) + 2}


def unknown_piece_score(piece: str, counts: Mapping[str, int]) -> float:
    """The log probability of a piece the counts do not know: 1e-4 (a word
    no list holds), times that of each of its letters and of its end after
    the two letters before it ("^^" before the first), as the 20,000
    commonest counted words of letters a-z, each taken once, spell them:
    one added to the count of each of 27 outcomes."""
    triples = _letter_triples(tuple(counts.items()))
    padded = "^^" + piece + "$"
    score = math.log(1e-4)
    for at in range(2, len(padded)):
        before = padded[at - 2 : at]
        seen = sum(count for triple, count in triples.items() if triple[:2] == before)
        score += math.log((triples.get(before + padded[at], 0) + 1) / (seen + 27))
    return score


@functools.lru_cache(maxsize=8)
def _letter_triples(items: tuple[tuple[str, int], ...]) -> dict[str, int]:
    words = [word for word, _ in sorted(items, key=lambda item: -item[1])][:20000]
    triples: dict[str, int] = {}
    for word in words:
        if word.isascii() and word.isalpha():
            padded = "^^" + word + "$"
            for at in range(2, len(padded)):
                triples[padded[at - 2 : at + 1]] = triples.get(padded[at - 2 : at + 1], 0) + 1
    return triples


def segmentation_score(
    pieces: Sequence[str],
    counts: Mapping[str, int],
    pairs: Mapping[tuple[str, str], int],
    listed: Mapping[str, float] | None = None,
) -> float:
    """The score of a split of a text into ``pieces``: each piece's log
    probability from ``counts`` and ``listed`` (an unknown piece as
    unknown_piece_score has it, a listed or uncounted one at least as
    closed_compound_score has it), plus, for a known piece after another
    with which the word ``pairs`` (on the counts' scale) saw it, the log of how much likelier
    or less likely the pair is than the two pieces' counts make it; for two
    counted pieces the pairs never saw together, the log of how much less
    likely the rarest pair listed is, when it is, and the log of the share
    of the first piece's occurrences that go on to a word (followed_share).
    A piece the counts lack after a shortened title (NAME_TITLES) is a name:
    it scores at least as its letters alone, without the share of unknown
    words."""
    total = sum(counts.values()) + len(counts)
    logs = []
    for piece in pieces:
        count = segment_count(piece, counts, listed)
        if count is None:
            logs.append(unknown_piece_score(piece, counts))
        elif (listed and piece in listed) or (
            counts.get(piece, 1) == 0 and closed_list_count(piece, counts) is None
        ):
            own = math.log((count + 1) / total)
            logs.append(max(own, closed_compound_score(piece, counts, pairs)))
        else:
            logs.append(math.log((count + 1) / total))
    score = sum(logs)
    for at in range(1, len(pieces)):
        if pieces[at - 1] in NAME_TITLES and pieces[at] not in counts:
            letters = unknown_piece_score(pieces[at], counts) - math.log(1e-4)
            score += max(0.0, letters - logs[at])
    rarest = min(pairs.values(), default=0)
    for at in range(1, len(pieces)):
        previous, piece = pieces[at - 1], pieces[at]
        if not pairs or piece not in counts:
            continue
        alone = logs[at - 1] + logs[at]
        seen = pairs.get((previous, piece), 0)
        if seen:
            score += math.log(seen / total) - alone
        elif previous in counts:
            score += min(0.0, math.log(rarest / total) - alone)
            score += math.log(followed_share(previous, pairs))
    return score


def closed_compound_score(
    piece: str, counts: Mapping[str, int], pairs: Mapping[tuple[str, str], int]
) -> float:
    """The log probability of ``piece`` as a closed compound: the likeliest
    of its cuts into two words of three letters or more, each counted above
    0, that the pairs never saw side by side, as the two words' log
    probabilities added; minus infinity when it has no such cut."""
    total = sum(counts.values()) + len(counts)
    return max(
        (
            math.log((counts[head] + 1) / total) + math.log((counts[tail] + 1) / total)
            for head, tail in ((piece[:at], piece[at:]) for at in range(1, len(piece)))
            if len(head) >= 3 and len(tail) >= 3
            if counts.get(head) and counts.get(tail) and not pairs.get((head, tail))
        ),
        default=-math.inf,
    )


def best_segmentation_score(
    text: str,
    counts: Mapping[str, int],
    pairs: Mapping[tuple[str, str], int],
    listed: Mapping[str, float] | None = None,
) -> float:
    """The score (segmentation_score) of the likeliest split of ``text``,
    over every split."""
    return max(segmentation_score(pieces, counts, pairs, listed) for pieces in segmentations(text))


def followed_share(word: str, pairs: Mapping[tuple[str, str], int]) -> float:
    """The share of ``word``'s occurrences that another word follows, as the
    pairs tell it: the pairs it begins over the pairs it ends, the rarest
    positive pair count added to each, and 1 where it begins as many or
    more (or the pairs know it on neither side)."""
    rarest = min((count for count in pairs.values() if count > 0), default=0)
    after = sum(count for (first, _), count in pairs.items() if first == word)
    before = sum(count for (_, second), count in pairs.items() if second == word)
    if after >= before:
        return 1.0
    return (after + rarest) / (before + rarest)


# ---------------------------------------------------------------- segmentation: listed words


def listed_counts(
    counts: Mapping[str, int], lists: Iterable[tuple[Iterable[str], int]]
) -> dict[str, float]:
    """The count segmentation gives each word of larger lists that
    ``counts`` lacks; ``lists`` holds each list's words and its size (the
    words it adds in all), the smallest, commonest list first. Ranked by
    count, the counts follow Zipf's law, count = K / rank for the words from
    the rarest R up: K is fitted so that the counted words between R and
    e R number K/R - K/(e R). The uncounted words of ``counts`` take the
    next ranks, then each list in turn its words not in ``counts`` or a list
    before (``size`` of them when more than that: those left out still take
    their ranks); each counts as the word at the middle rank of its list's."""
    rarest = min(filter(None, counts.values()), default=0)
    found: dict[str, float] = {}
    next_rank = 0.0
    if rarest:
        near = sum(1 for count in counts.values() if rarest <= count < math.e * rarest)
        k = near / (1 / rarest - 1 / (math.e * rarest))
        # The rank Zipf's law gives the rarest counted word, then the uncounted.
        next_rank = k / rarest + sum(1 for count in counts.values() if count == 0)
    for words, size in lists:
        new = sorted(set(words) - set(counts) - set(found))
        taken = max(size, len(new))
        found |= dict.fromkeys(new, k / (next_rank + taken / 2) if rarest else 0.0)
        next_rank += taken
    return found


# ---------------------------------------------------------------- sounds-like keys

# The sounds-like key's rules as regular expressions, applied in order; each
# turns a spelling into the letter that stands for its sound ("a" stands for
# any vowel group).
_SOUND_RULES: tuple[tuple[re.Pattern[str], str], ...] = tuple(
    (re.compile(pattern), sound)
    for pattern, sound in (
        (r"[^a-z]", ""),
        (r"^[gkp](?=n)|^w(?=r)|^p(?=s)", ""),
        (r"mb$", "m"),
        (r"ph", "f"),
        (r"gh(?=[^aeiouy]|$)", ""),
        (r"tch", "ch"),
        (r"dg(?=[eiy])", "j"),
        (r"sch", "sk"),
        (r"c(?=[eiy])", "s"),
        (r"ck|c|q", "k"),
        (r"x", "ks"),
        (r"wh", "w"),
        (r"sh|ch|ti(?=[ao])|si(?=[ao])", "X"),
        (r"th", "0"),
        (r"z", "s"),
        (r"v", "f"),
        (r"([a-zX0])\1+", r"\1"),
        (r"(?<=[aeiouy])h(?![aeiouy])", ""),
        (r"[aeiouy]+", "a"),
        (r"(?<=.)a$", ""),
    )
)


def sounds_like(word: str) -> str:
    """The sounds-like key of ``word`` by the rules above."""
    key = word.lower()
    if not key.isascii():
        return key
    first = key[:1]
    for pattern, sound in _SOUND_RULES:
        key = pattern.sub(sound, key)
    if first in "aeiouy" and key[:1] == "a":
        key = first + key[1:]
    return key or word.lower()


# ---------------------------------------------------------------- spelling: words a text repeats


def poisson_tail(times: int, expected: float, terms: int = 400) -> float:
    """P(X >= ``times``) for a Poisson count X of mean ``expected``, summed
    term by term upwards (in logs, so that large means stay finite)."""
    if expected <= 0:
        return 1.0 if times <= 0 else 0.0
    return sum(
        math.exp(k * math.log(expected) - expected - math.lgamma(k + 1))
        for k in range(max(times, 0), max(times, 0) + terms + int(expected))
    )


# ---------------------------------------------------------------- spelling: the words of a text


def text_word_spans(text: str) -> list[tuple[int, int]]:
    """The (start, end) spans of the words a speller checks in ``text``:
    every whitespace-separated piece the package's pattern does not skip,
    and in it the runs of letters with apostrophes inside, by the package's
    regular expressions."""
    from morlatch.spelltext import WORD, skipped

    spans = []
    for piece in re.finditer(r"\S+", text):
        if not skipped(piece.group()):
            spans += [
                (piece.start() + word.start(), piece.start() + word.end())
                for word in WORD.finditer(piece.group())
            ]
    return spans


# ---------------------------------------------------------------- spelling: titles before names


def title_place(text: str) -> list[bool]:
    """For each word of ``text`` (runs of letters and apostrophes, split at
    anything else), whether it stands where a shortened title does: a full
    stop and spaces after it, then a word with a capital first and a small
    letter after."""
    words = list(re.finditer(r"[A-Za-z']+", text))
    places = []
    for at, word in enumerate(words):
        nxt = words[at + 1] if at + 1 < len(words) else None
        gap = text[word.end() : nxt.start()] if nxt else ""
        places.append(
            nxt is not None
            and gap[:1] == "."
            and len(gap) > 1
            and gap[1:].strip(" \t") == ""
            and nxt.group()[0].isupper()
            and any(ch.islower() for ch in nxt.group()[1:])
        )
    return places


def title_slip(
    cost: Callable[[str, str], float], typed: str, titles: Iterable[str], bound: float
) -> str | None:
    """The title the lower-case ``typed`` is the cheapest slip from (ties to
    the smaller title), when that costs at most ``bound``; else None."""
    scored = sorted((cost(typed, title), title) for title in titles)
    return scored[0][1] if scored and scored[0][0] <= bound else None


def writers_spelling(
    written: Mapping[str, int], counts: Mapping[str, int], spellings: Iterable[str]
) -> str | None:
    """Of a word's known ``spellings``, the one a text that writes each of
    them ``written`` times keeps to: the one written most, on a tie the one
    counted most; None on a tie of both (each is kept as written)."""
    keys = sorted(
        ((written[spelling], counts[spelling]), spelling)
        for spelling in spellings
        if written.get(spelling, 0) and spelling in counts
    )
    assert keys, "no spelling is written"
    if len(keys) > 1 and keys[-1][0] == keys[-2][0]:
        return None
    return keys[-1][1]


# ---------------------------------------------------------------- spelling: slips beside seen pairs


def real_word_between(
    counts: Mapping[str, int],
    pairs: Mapping[tuple[str, str], float],
    cost: Callable[[str, str], float],
    word: str,
    before: str,
    after: str,
    others: Iterable[str],
    margin: float,
) -> str | None:
    """The word of ``others`` that the known ``word``, seen after ``before``
    and before ``after``, was mistyped for: one that each neighbour alone
    makes likelier than ``word`` and that both together make likelier by
    ``margin``, its cost to mistype as ``word`` taken off; the best such, or
    None."""

    def score(w: str, left: str | None, right: str | None) -> float:
        return context_score(w, left, right, counts, pairs)

    here = score(word, before, after)
    best: tuple[float, str] | None = None
    for other in others:
        if score(other, before, None) <= score(word, before, None):
            continue
        if score(other, None, after) <= score(word, None, after):
            continue
        value = score(other, before, after) - cost(word, other)
        if value > here + margin and (best is None or value > best[0]):
            best = (value, other)
    return None if best is None else best[1]


def real_word_slip(
    counts: Mapping[str, int],
    pairs: Mapping[tuple[str, str], float],
    cost: Callable[[str, str], float],
    word: str,
    before: str | None,
    after: str | None,
    edits: int,
    margin: float,
) -> str | None:
    """The word within ``edits`` edits of the known ``word`` that context
    between ``before`` and ``after`` makes likelier by ``margin``, its cost
    to mistype as ``word`` taken off (the best such), or None. A pair
    ``word`` lacks counts against it only when the two words are common
    enough that the pairs would list it had they been independent."""
    here = context_score(word, before, after, counts, pairs)
    total = sum(counts.values()) + len(counts)
    for first, second, other in ((before, word, before), (word, after, after)):
        if other is None or (first, second) in pairs:
            continue
        if counts.get(word, 0) * counts.get(other, 0) / total < min(pairs.values()):
            here -= math.log(0.4)
    best: tuple[float, str] | None = None
    for other in sorted(counts):
        if other == word or osa(word, other) > edits:
            continue
        value = context_score(other, before, after, counts, pairs) - cost(word, other)
        if value > here + margin and (best is None or value > best[0]):
            best = (value, other)
    return None if best is None else best[1]


# ---------------------------------------------------------------- spelling: words written apart


def joined_as_written(
    counts: Mapping[str, int],
    pairs: Mapping[tuple[str, str], float],
    first: str,
    second: str,
    after: str | None,
    margin: float,
) -> bool:
    """Whether the known words ``first`` and ``second``, written apart at a
    sentence's start, are one word split by a slipped space: the joined word
    (known) far likelier than the two apart, by ``margin``, and, when the
    pairs saw the two together, by the odds against the space falling at
    that one of the joined word's inner places too. A determiner and a word
    the pairs saw after it ("every body") are a phrase, never joined."""
    joined = first + second
    if first in ("any", "every", "some", "no") and (first, second) in pairs:
        return False
    if pairs.get((first, second), 0.0) >= counts[joined]:
        return False
    apart = context_score(first, None, second, counts, pairs) + context_score(
        second, None, after, counts, pairs
    )
    together = context_score(joined, None, after, counts, pairs)
    if (first, second) in pairs:
        margin += math.log(len(joined) - 1)
    return together > apart + margin
