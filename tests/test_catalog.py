"""morlatch.Catalog: search and linkage against the brute-force reference
over random catalogs, then the rules a user meets one by one."""

from __future__ import annotations

import array
import pickle
import random
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morlatch
from morlatch import indexfile
from morlatch.catalog import MATCH_CUTOFF, Catalog, Hit
from reference import catalog_match, catalog_search, fold

# Few letters, so that words collide, differ by a typo or begin one another.
WORD = st.text("abcdÉé\u03011", min_size=1, max_size=7)
ASCII = str.maketrans({"É": "E", "é": "e", "\u0301": ""})
SEPARATOR = st.sampled_from([" ", " ", "-", ", ", " & ", "  ", " — ", "’"])
SYNONYMS = st.sampled_from(
    [None, {"&": "and"}, {"ab": "dd", "&": "ab"}, {"cab": "bad", "bad": "cab"}]
)


@st.composite
def texts(draw: st.DrawFn) -> str:
    words = draw(st.lists(WORD, min_size=1, max_size=4))
    out = words[0]
    for word in words[1:]:
        out += draw(SEPARATOR) + word
    return out


@st.composite
def catalogs(draw: st.DrawFn) -> tuple[list[tuple[str, int, int]], dict[str, int] | None]:
    names = draw(st.lists(texts(), min_size=1, max_size=25))
    if draw(st.booleans()):  # ASCII only: the items are split natively
        names = [n.translate(ASCII) for n in names]
    payloads = draw(st.lists(st.integers(0, 5), min_size=len(names), max_size=len(names)))
    weighted = draw(st.booleans())
    weights = {name: draw(st.integers(0, 3)) for name in names} if weighted else None
    items = [(n, p, (weights or {}).get(n, 0)) for n, p in zip(names, payloads, strict=True)]
    return items, weights


def _query(draw: st.DrawFn, items: list[tuple[str, int, int]]) -> str:
    """A query: words of an item (or random ones), perhaps reordered or
    repeated, with a typo, the last one cut short, perhaps a trailing space."""
    text = draw(st.sampled_from([item[0] for item in items]))
    words = text.replace("&", " ").replace(",", " ").replace("-", " ").split() or ["a"]
    words = draw(st.permutations(words))[: draw(st.integers(1, 4))]
    words = [draw(st.one_of(st.just(w), WORD)) for w in words]
    for _ in range(draw(st.integers(0, 2))):  # a word again, anywhere
        words.insert(draw(st.integers(0, len(words))), draw(st.sampled_from(words)))
    if draw(st.booleans()):
        at = draw(st.integers(0, len(words) - 1))
        w = words[at]
        i = draw(st.integers(0, len(w)))
        words[at] = w[:i] + draw(st.sampled_from(["", "a", "x"])) + w[i + 1 :]
    if draw(st.booleans()):
        words[-1] = words[-1][: draw(st.integers(1, max(1, len(words[-1]))))]
    return " ".join(w for w in words if w) + draw(st.sampled_from(["", "", " ", " &"]))


def _same_hits(got: list, want: list) -> None:
    assert [(h.text, h.payload) for h in got] == [(w[0], w[1]) for w in want]
    for hit, expected in zip(got, want, strict=True):
        assert hit.score == pytest.approx(expected[2], abs=1e-12)
        assert 0 < hit.score <= 1
        if len(expected) > 3:
            assert hit.spans == expected[3]


@settings(max_examples=300, deadline=None)
@given(st.data(), catalogs(), SYNONYMS)
def test_search_ranks_as_the_reference(data: st.DataObject, catalog, synonyms) -> None:
    items, weights = catalog
    built = Catalog([(t, p) for t, p, _ in items], weights=weights, synonyms=synonyms)
    query = data.draw(st.one_of(st.builds(lambda: _query(data.draw, items)), texts()))
    typos = data.draw(st.sampled_from(["auto", "auto", 0, 1, 2]))
    prefix = data.draw(st.booleans())
    limit = data.draw(st.sampled_from([1, 3, 10, None]))
    want = catalog_search(
        items,
        query,
        10**9 if limit is None else limit,
        typos=typos,
        prefix=prefix,
        rule=fold,
        synonyms=synonyms and {fold(k): fold(v) for k, v in synonyms.items()},
    )
    _same_hits(built.search(query, limit, typos=typos, prefix=prefix), want)
    many = built.search_many([query, query], limit, typos=typos, prefix=prefix, workers=2)
    assert many == [built.search(query, limit, typos=typos, prefix=prefix)] * 2


# Few words, each near the others, in many items: the early stops of a
# search with a small limit decide among many items that tie on words and
# typos, and so on proximity (words repeated or out of order) and weight.
CLOSE = st.sampled_from(["ab", "abc", "abd", "ba", "bca", "cab", "abcab"])


@settings(max_examples=200, deadline=None)
@given(
    st.lists(st.lists(CLOSE, min_size=1, max_size=4), min_size=5, max_size=60),
    st.lists(CLOSE, min_size=1, max_size=4),
    st.data(),
)
def test_small_limits_stop_early_as_the_reference(names, query_words, data) -> None:
    items = [(" ".join(n), i % 3, data.draw(st.integers(0, 2))) for i, n in enumerate(names)]
    weights = {}
    for text, _, weight in items:  # one weight per text
        weights.setdefault(text, weight)
    items = [(t, p, weights[t]) for t, p, _ in items]
    built = Catalog([(t, p) for t, p, _ in items], weights=weights)
    query = " ".join(query_words) + data.draw(st.sampled_from(["", " "]))
    typos = data.draw(st.sampled_from(["auto", 0, 1]))
    limit = data.draw(st.sampled_from([1, 2, 3]))
    want = catalog_search(items, query, limit, typos=typos, rule=fold)
    _same_hits(built.search(query, limit, typos=typos), want)
    cutoff = data.draw(st.sampled_from([None, 0.0, 0.5]))
    want = catalog_match(items, query, limit, score_cutoff=cutoff, rule=fold)
    _same_hits(built.match(query, limit=limit, score_cutoff=cutoff), want)


@settings(max_examples=300, deadline=None)
@given(st.data(), catalogs(), SYNONYMS)
def test_match_scores_as_the_reference(data: st.DataObject, catalog, synonyms) -> None:
    items, weights = catalog
    built = Catalog([(t, p) for t, p, _ in items], weights=weights, synonyms=synonyms)
    name = data.draw(st.one_of(st.builds(lambda: _query(data.draw, items)), texts()))
    cutoff = data.draw(st.sampled_from([None, 0.0, 0.3, 0.8]))
    limit = data.draw(st.sampled_from([1, 2, 5]))
    want = catalog_match(
        items,
        name,
        limit,
        score_cutoff=cutoff,
        rule=fold,
        synonyms=synonyms and {fold(k): fold(v) for k, v in synonyms.items()},
    )
    _same_hits(built.match(name, limit=limit, score_cutoff=cutoff), want)
    many = built.match_many([name, name], limit=limit, score_cutoff=cutoff, workers=2)
    assert many == [built.match(name, limit=limit, score_cutoff=cutoff)] * 2


# A batch of many names is split (natively when it is all ASCII) and
# matched in chunks on several threads while its first hits are being made:
# every worker count gives the hits of the single calls, in order, as Hit
# tuples, whatever the batch's size against the chunks and whether its
# texts are past ASCII (spans found by the package).
@settings(max_examples=40, deadline=None)
@given(st.data(), catalogs(), SYNONYMS, st.integers(0, 200), st.sampled_from([1, 2, 3, 8]))
def test_batches_on_threads_give_the_single_calls_hits(
    data, catalog, synonyms, count, workers
) -> None:
    items, weights = catalog
    built = Catalog([(t, p) for t, p, _ in items], weights=weights, synonyms=synonyms)
    pool = [data.draw(st.one_of(st.builds(lambda: _query(data.draw, items)), texts()))]
    pool += [data.draw(texts()) for _ in range(3)]
    if data.draw(st.booleans()):
        pool = [name.translate(ASCII) for name in pool]
    names = [pool[i % len(pool)] + " " + pool[(i * 7) % len(pool)][: i % 5] for i in range(count)]
    limit = data.draw(st.sampled_from([1, 3]))
    many = built.match_many(names, limit=limit, score_cutoff=0.2, workers=workers)
    assert many == [built.match(n, limit=limit, score_cutoff=0.2) for n in names]
    assert all(type(hit) is Hit for hits in many for hit in hits)


def test_batches_split_names_as_single_calls_do() -> None:
    # match_many splits its batch in one go (natively when it is ASCII):
    # the same words as match finds, name by name, whatever the batch holds.
    catalog = Catalog(["Acme & Co", "Ünïcode Co", "a b c"], synonyms={"&": "and"})
    tricky = ["acme and co", "ünicode co", "", " & ", "a\x00b c", " ".join(["a"] * 70) + " b c"]
    for batch in (tricky, tricky[:1], [n for n in tricky if n.isascii() and "\x00" not in n]):
        assert catalog.match_many(batch, limit=2, score_cutoff=0) == [
            catalog.match(n, limit=2, score_cutoff=0) for n in batch
        ]


# Queries of ASCII are split natively (the others by the package): every
# kind of ASCII character around the words, with each fold and synonyms of
# symbols, of uppercase words and in a cycle; a few texts past ASCII.
SPLIT_TEXT = st.text("aAbB1 _-&.\t\x00\x1f\u00e9", max_size=14)
SPLIT_SYNONYMS = st.sampled_from(
    [None, {"&": "and"}, {"A": "b1", ".": "a"}, {"ab": "b1", "b1": "ab"}, {"é": "a"}]
)


@settings(max_examples=200, deadline=None)
@given(
    st.lists(SPLIT_TEXT, min_size=1, max_size=8),
    st.lists(SPLIT_TEXT, min_size=1, max_size=4),
    st.booleans(),
    SPLIT_SYNONYMS,
    st.sampled_from(["auto", 0, 1]),
)
def test_queries_split_natively_as_the_reference(names, queries, folded, synonyms, typos) -> None:
    catalog = Catalog(names, fold=folded, synonyms=synonyms)
    assert catalog._native  # ASCII queries take the native road
    rule = fold if folded else None
    ref_synonyms = synonyms and {
        (rule(k) if rule else k): (rule(v) if rule else v) for k, v in synonyms.items()
    }
    items = [(text, i, 0) for i, text in enumerate(names)]
    for query in queries:
        want = catalog_search(items, query, 10**9, typos=typos, rule=rule, synonyms=ref_synonyms)
        _same_hits(catalog.search(query, None, typos=typos), want)
    assert catalog.search_many(queries, None, typos=typos, workers=2) == [
        catalog.search(q, None, typos=typos) for q in queries
    ]


# A list of plain texts is taken in one pass and its distinct ASCII words
# folded all at once: the same catalog as items taken one by one and texts
# split one by one (a synonym folding to nothing drops its word).
@settings(max_examples=200, deadline=None)
@given(
    st.lists(SPLIT_TEXT, max_size=8),
    st.sampled_from([True, False]),
    st.one_of(SPLIT_SYNONYMS, st.just({"b": "\u0301", "&": "B"})),
)
def test_plain_lists_build_as_items_one_by_one(names, folded, synonyms) -> None:
    from morlatch.catalog_words import _synonyms, _Words
    from morlatch.fold import fold_text

    built = Catalog(names, fold=folded, synonyms=synonyms)
    one_by_one = Catalog(((n, i) for i, n in enumerate(names)), fold=folded, synonyms=synonyms)
    assert built == one_by_one
    assert built == Catalog(tuple(names), fold=folded, synonyms=synonyms)
    rule = fold_text if folded else None
    words = _Words(rule, _synonyms(synonyms, rule))
    assert words.split(names) == _Words(rule, _synonyms(synonyms, rule))._split_each(names)


def _drop_x(word: str) -> str:
    return "" if word.lower() == "x" else word.lower()


@pytest.mark.parametrize("rule", [True, False, _drop_x])
def test_spans_of_every_kind_of_text(rule) -> None:
    # Spans of ASCII texts come from the engine, the others from the
    # package: symbols, underscores, tabs and NULs between words, a word
    # that folds to nothing (its text keeps no span), text past ASCII.
    texts = ["Acme & Co", "a_b c1 & x", "x y Co", "tab\tsep\x00nul", "Ünï & co", "&&a"]
    synonyms = {"&": "and"}
    catalog = Catalog(texts, fold=rule, synonyms=synonyms)
    ref_rule = fold if rule is True else None if rule is False else rule
    ref_synonyms = {ref_rule(k) if ref_rule else k: v for k, v in synonyms.items()}
    items = [(t, i, 0) for i, t in enumerate(texts)]
    for query in [*texts, "co and", "x sep"]:
        want = catalog_search(items, query, 10, rule=ref_rule, synonyms=ref_synonyms)
        _same_hits(catalog.search(query), want)


# ---------------------------------------------------------------- what users meet


def test_a_whole_query_scores_one_and_spans_its_words() -> None:
    catalog = Catalog(["Scheduletech Antenna Alpha", "Alpha Beta"])
    assert catalog.search("antenna alpha ") == [
        Hit("Scheduletech Antenna Alpha", 0, 1.0, [(13, 20), (21, 26)])
    ]
    # Out of order, a typo (a swap counts one) and half a word: still first.
    hits = catalog.search("aplha schedul")
    assert hits[0].text == "Scheduletech Antenna Alpha" and hits[0].score < 1


def test_a_name_without_counterpart_gets_nothing() -> None:
    catalog = Catalog(["Acme Widgets Inc", "Bolt & Nut Co", "Nimbus Cloud Holdings"])
    assert catalog.match("ACME WIDGETS") != []
    assert catalog.match("Zephyr Widgets Ltd") == []
    assert MATCH_CUTOFF == 0.6


WEIGHTED = {"Acme Widgets Inc": 2.5, "Alpha Beta": 0.0}


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"weights": {"Acme Widgets Inc": 7}},
        {"weights": WEIGHTED, "synonyms": {"&": "and", "Inc": "Incorporated"}},
        {"fold": False},
    ],
)
def test_files_and_pickles_keep_the_catalog(tmp_path: Path, kwargs: dict) -> None:
    items = [("Acme Widgets Inc", 4), ("Alpha Beta", 9), ("Alpha Beta", 3), ("Ünïcode & Co", 1)]
    catalog = Catalog(items, **kwargs)
    path = tmp_path / "c.idx"
    catalog.save(path)
    for copy in (Catalog.load(path), pickle.loads(pickle.dumps(catalog))):
        assert copy == catalog
        for query in ("alpha", "acme incorporated", "unicode and", "Ünïcode"):
            assert copy.search(query) == catalog.search(query)
            assert copy.match(query, limit=3) == catalog.match(query, limit=3)
    assert catalog != Catalog(items[:-1], **kwargs)


@pytest.mark.parametrize("weighted", [False, True])
def test_large_catalogs_order_items_and_terms_as_sorted_does(tmp_path: Path, weighted) -> None:
    # A catalog this large orders its items and terms on two threads, by
    # the texts' first bytes and then in full: the orders are Python's
    # sorts, and a file of it passes the checks of every derived array.
    rng = random.Random(7)
    stems = ["Northwind Traders International", "Northwind Traders", "Nörthwind", "N", ""]
    words = ["alpha", "beta", "alphabetical", "gamma\x00", "ünï", "a" * 20, "a" * 21]
    texts = [
        " ".join([rng.choice(stems)] + rng.choices(words, k=rng.randrange(3))) + str(i % 97)
        for i in range(20000)
    ]
    items = [(text, rng.randrange(4)) for text in texts]
    weights = {text: rng.randrange(3) for text in texts[::5]} if weighted else None
    catalog = Catalog(items, weights=weights)
    _, _, _, tie_rank, by_text = morlatch._engine.catalog_stored(catalog._core)
    weight = (weights or {}).get
    want = sorted(
        range(len(items)),
        key=lambda i: (-(weight(texts[i]) or 0), texts[i].encode(), items[i][1], i),
    )
    rank = [0] * len(items)
    for at, item in enumerate(want):
        rank[item] = at
    assert list(array.array("I", tie_rank)) == rank
    terms = bytes(catalog._parts["terms"])
    offsets = array.array("Q", bytes(catalog._parts["termoff"]))
    split = [terms[offsets[t] : offsets[t + 1]] for t in range(len(offsets) - 1)]
    assert list(array.array("I", by_text)) == sorted(range(len(split)), key=split.__getitem__)
    catalog.save(tmp_path / "large.idx")
    assert Catalog.load(tmp_path / "large.idx") == catalog


@pytest.mark.parametrize("synonyms", [None, {"&": "and", "b2": "a1"}])
def test_many_distinct_words_split_natively_as_one_by_one(synonyms) -> None:
    # Enough distinct words (long, short, numbered, colliding in their
    # first bytes) that the native splitter's word table grows many times.
    rng = random.Random(11)
    alphabet = "ab12AB"
    texts = [
        " & ".join("".join(rng.choices(alphabet, k=rng.choice([1, 2, 7, 8, 9, 17]))) for _ in "xyz")
        for _ in range(30000)
    ]
    words = Catalog(["a"], synonyms=synonyms)._words
    assert words.split(texts) == words._split_each(texts)


def test_a_custom_fold_is_given_again(tmp_path: Path) -> None:
    catalog = Catalog(["Abc Def"], fold=str.upper)
    path = tmp_path / "c.idx"
    catalog.save(path)
    with pytest.raises(ValueError, match="custom fold"):
        Catalog.load(path)
    assert Catalog.load(path, fold=str.upper) == catalog


def _sections(catalog: Catalog) -> dict[str, bytes]:
    return {name: bytes(body) for name, body in catalog._sections().items()}


def _swapped(body: bytes, i: int, j: int) -> bytes:
    """``body`` as u32 numbers, the i-th and j-th swapped."""
    numbers = array.array("I", body)
    numbers[i], numbers[j] = numbers[j], numbers[i]
    return numbers.tobytes()


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda s: s.pop("cat.words"), "no 'cat.words' section"),
        (lambda s: s.update({"cat.words": s["cat.words"][:-4]}), "word offsets"),
        (lambda s: s.update({"cat.words": b"\xff" * len(s["cat.words"])}), "not one of the terms"),
        (lambda s: s.update({"cat.terms": b"\xff" + s["cat.terms"][1:]}), "not UTF-8"),
        (
            lambda s: s.update({"cat.terms": s["cat.terms"].replace(b"b", b"a")}),
            "not distinct|term order",
        ),
        (lambda s: s.update({"cat.textoff": s["cat.textoff"][8:]}), "text offsets"),
        (lambda s: s.update({"cat.payloads": b"123"}), "whole number"),
        (lambda s: s.update({"cat.meta": b"{"}), "Expecting"),
        (
            lambda s: s.update({"cat.meta": s["cat.meta"].replace(b'"format": 2', b'"format": 9')}),
            "format",
        ),
        (
            lambda s: s.update({"cat.meta": s["cat.meta"].replace(b'"format": 2', b'"format": 1')}),
            "older version",
        ),
        (lambda s: s.update({"nodes": b""}), "not known"),
        # What is stored beside the parts must be exactly what building derives.
        (lambda s: s.pop("cat.trie"), "no 'cat.trie' section"),
        (lambda s: s.update({"cat.trie": s["cat.trie"][:-4]}), "term trie is damaged"),
        (lambda s: s.update({"cat.bytext": s["cat.bytext"][::-1]}), "term order"),
        (lambda s: s.update({"cat.bytext": s["cat.bytext"][4:]}), "term order"),
        (lambda s: s.update({"cat.tierank": s["cat.tierank"][::-1]}), "items' order"),
        (lambda s: s.update({"cat.postings": s["cat.postings"][::-1]}), "postings"),
        (lambda s: s.update({"cat.postoff": s["cat.postoff"][:-8]}), "posting offsets"),
        # Terms "ab" and "a" are held by one item each: their lists swapped
        # keep every count and order.
        (lambda s: s.update({"cat.postings": _swapped(s["cat.postings"], 0, 3)}), "not the items"),
    ],
)
def test_crafted_files_are_refused(tmp_path: Path, change, message: str) -> None:
    sections = _sections(Catalog(["ab ac", "a b", "ac b"]))
    change(sections)
    path = tmp_path / "c.idx"
    indexfile.write(path, sections)
    with pytest.raises(ValueError, match=message) as caught:
        Catalog.load(path)
    assert str(path) in str(caught.value)


def test_other_files_are_refused(tmp_path: Path) -> None:
    index, catalog = tmp_path / "i.idx", tmp_path / "c.idx"
    morlatch.Index(["ab"]).save(index)
    Catalog(["ab"]).save(catalog)
    with pytest.raises(ValueError, match="not a catalog file"):
        Catalog.load(index)
    with pytest.raises(ValueError):
        morlatch.Index.load(catalog)
    data = bytearray(catalog.read_bytes())
    data[-1] ^= 1
    catalog.write_bytes(bytes(data))
    with pytest.raises(ValueError, match="CRC|checksum"):
        Catalog.load(catalog)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: Catalog(5), TypeError, "items must be iterable"),
        (lambda: Catalog("abc"), TypeError, "not a str"),
        (lambda: Catalog([("a", -1)]), ValueError, "payload"),
        (lambda: Catalog([("a", 2**32)]), ValueError, "payload"),
        (lambda: Catalog([("a", "b")]), TypeError, "payload"),
        (lambda: Catalog([3]), TypeError, "items\\[0\\]"),
        (lambda: Catalog(["\ud800"]), ValueError, "surrogate"),
        (lambda: Catalog(["a"], weights={"b": 1}), ValueError, "weights"),
        (lambda: Catalog(["a"], weights={"a": -1}), ValueError, "weights"),
        (lambda: Catalog(["a"], synonyms=[("a", "b")]), TypeError, "synonyms"),
        (lambda: Catalog(["a"], synonyms={"a": ""}), ValueError, "synonyms"),
        (lambda: Catalog(["a"], fold=3), TypeError, "fold"),
        (lambda: Catalog(["a"]).search(3), TypeError, "query"),
        (lambda: Catalog(["a"]).search("a", -1), ValueError, "limit"),
        (lambda: Catalog(["a"]).search("a", typos="many"), ValueError, "typos"),
        (lambda: Catalog(["a"]).search("a", typos=-1), ValueError, "typos"),
        (lambda: Catalog(["a"]).search("a", typos=True), TypeError, "typos"),
        (lambda: Catalog(["a"]).search("a", prefix=1), TypeError, "prefix"),
        (lambda: Catalog(["a"]).search_many("a"), TypeError, "queries"),
        (lambda: Catalog(["a"]).search_many(["a", 1]), TypeError, "queries\\[1\\]"),
        (lambda: Catalog(["a"]).match(b"a"), TypeError, "name"),
        (lambda: Catalog(["a"]).match("a", score_cutoff="x"), TypeError, "score_cutoff"),
        (lambda: Catalog(["a"]).match("a", score_cutoff=float("nan")), ValueError, "score_cutoff"),
        (lambda: Catalog(["a"]).match_many(["a"], workers=0), ValueError, "workers"),
    ],
)
def test_bad_arguments_are_named(call, error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=message):
        call()


def test_tokenizer_agrees_with_categories_over_every_code_point() -> None:
    # Every code point outside ASCII, each between two spaces: the words
    # found are exactly the letters, digits and marks.
    from morlatch.catalog_words import _Words
    from reference import catalog_tokens

    every = " ".join(chr(code) for code in range(0x80, 0x110000))
    found = _Words(None, {}).pattern(every).findall(every)
    assert found == [word for _, _, word in catalog_tokens(every)]
