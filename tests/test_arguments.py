"""Argument binding and conversion: the exact errors a caller sees."""

import sys

import pytest

import _morlatch
from _morlatch import from_bytes, from_internal_data


class Index:
    """Not an int, but usable as one."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Seq:
    """A sequence that is neither list nor tuple, with an unreliable __len__."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda ps: ps.get_children(),
            "PrefixSearch.get_children() missing 1 required positional argument: 'node_id'",
        ),
        (
            lambda ps: ps.exact_match(),
            "PrefixSearch.exact_match() missing 1 required positional argument: 'prefix'",
        ),
        (
            lambda ps: ps.fuzzy_match("a"),
            "PrefixSearch.fuzzy_match() missing 2 required positional arguments: "
            "'max_dist' and 'limit'",
        ),
        (
            lambda ps: ps.fuzzy_match(),
            "PrefixSearch.fuzzy_match() missing 3 required positional arguments: "
            "'prefix', 'max_dist', and 'limit'",
        ),
        (
            lambda ps: ps.fuzzy_match(max_dist=1),
            "PrefixSearch.fuzzy_match() missing 2 required positional arguments: "
            "'prefix' and 'limit'",
        ),
        (
            lambda ps: from_internal_data([]),
            "from_internal_data() missing 3 required positional arguments: "
            "'node_strings', 'node_payloads', and 'child_indices'",
        ),
        (lambda ps: from_bytes(), "from_bytes() missing 1 required positional argument: 'bs'"),
        (
            lambda ps: ps.get_payload(1, 2),
            "PrefixSearch.get_payload() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda ps: ps.to_bytes(1),
            "PrefixSearch.to_bytes() takes 0 positional arguments but 1 was given",
        ),
        (
            lambda ps: from_bytes(b"", b""),
            "from_bytes() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda ps: ps.get_payload(node=1),
            "PrefixSearch.get_payload() got an unexpected keyword argument 'node'",
        ),
        (
            lambda ps: ps.to_bytes(x=1),
            "PrefixSearch.to_bytes() got an unexpected keyword argument 'x'",
        ),
        (
            lambda ps: ps.get_payload(1, node_id=2),
            "PrefixSearch.get_payload() got multiple values for argument 'node_id'",
        ),
        (
            lambda ps: ps.fuzzy_match("a", 1, None, limit=2),
            "PrefixSearch.fuzzy_match() got multiple values for argument 'limit'",
        ),
        (
            lambda ps: ps.fuzzy_match("a", 1, None, 2),
            "PrefixSearch.fuzzy_match() takes 3 positional arguments but 4 were given",
        ),
    ],
)
def test_binding_errors(small, call, message):
    with pytest.raises(TypeError) as info:
        call(small)
    assert str(info.value) == message
    assert info.value.__cause__ is None


def test_all_parameters_by_keyword(small):
    assert small.fuzzy_match(prefix="ab", max_dist=0, limit=5) == [("ab", 0, 0)]
    assert small.fuzzy_match(limit=None, max_dist=0, prefix="a") == [("a", 7, 0)]
    assert small.get_payload(node_id=1) == 7
    built = from_internal_data(
        child_indices=[], node_payloads=[4], node_strings=[""], node_shifts=[0]
    )
    assert built.get_payload(0) == 4
    assert from_bytes(bs=built.to_bytes()).get_payload(0) == 4


@pytest.mark.parametrize("value", [-1, 2**32, 2**40, -(2**40)])
def test_u32_range_check(small, value):
    with pytest.raises(OverflowError) as info:
        small.get_payload(value)
    assert str(info.value) == "out of range integral type conversion attempted"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("value", [2**64, -(2**64)])
def test_u32_beyond_long_passes_interpreter_error_through(small, value):
    with pytest.raises(OverflowError) as info:
        small.get_children(value)
    assert "out of range integral" not in str(info.value)
    assert "argument" not in str(info.value)


@pytest.mark.parametrize(
    "value, original",
    [
        ("1", "'str' object cannot be interpreted as an integer"),
        (1.0, "'float' object cannot be interpreted as an integer"),
        (None, "'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_type_errors_are_wrapped_with_cause(small, value, original):
    with pytest.raises(TypeError) as info:
        small.get_payload(value)
    assert str(info.value) == f"argument 'node_id': {original}"
    assert type(info.value.__cause__) is TypeError
    assert str(info.value.__cause__) == original


def test_index_objects_and_bools_convert(small):
    assert small.get_payload(Index(1)) == 7
    assert small.get_payload(True) == 7
    assert small.fuzzy_match("ab", Index(0), Index(1)) == [("ab", 0, 0)]


@pytest.mark.parametrize(
    "max_dist, limit, exc, wrapped",
    [
        (-1, None, OverflowError, False),
        (2**64, None, OverflowError, False),
        (0, -1, OverflowError, False),
        ("1", None, TypeError, True),
        (0, 1.5, TypeError, True),
        (Index(-1), None, OverflowError, False),
    ],
)
def test_size_conversion(small, max_dist, limit, exc, wrapped):
    with pytest.raises(exc) as info:
        small.fuzzy_match("a", max_dist, limit)
    assert type(info.value) is exc
    assert str(info.value).startswith("argument '") == wrapped


def test_largest_sizes_accepted(small):
    assert small.fuzzy_match("ab", 2**64 - 1, 2**64 - 1) == [("a", 7, 1), ("ab", 0, 0)]


@pytest.mark.parametrize(
    "prefix, message",
    [
        (1, "argument 'prefix': 'int' object cannot be converted to 'PyString'"),
        (b"a", "argument 'prefix': 'bytes' object cannot be converted to 'PyString'"),
        (None, "argument 'prefix': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_text_conversion(small, prefix, message):
    with pytest.raises(TypeError) as info:
        small.exact_match(prefix)
    assert str(info.value) == message


def test_text_that_utf8_cannot_carry_raises_the_interpreters_error(small):
    with pytest.raises(UnicodeEncodeError):
        small.exact_match("a\udc80")
    with pytest.raises(UnicodeEncodeError):
        from_internal_data([0], ["x\ud800"], [None], [])


def test_str_subclass_is_text(small):
    class Name(str):
        pass

    assert small.exact_match(Name("ab")) == ("ab", 0, 0)


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, [], [], []), "argument 'node_shifts': 'int' object cannot be converted to 'Sequence'"),
        (("ab", [], [], []), "argument 'node_shifts': Can't extract `str` to `Vec`"),
        (([], "ab", [], []), "argument 'node_strings': Can't extract `str` to `Vec`"),
        (
            ([], {}, [], []),
            "argument 'node_strings': 'dict' object cannot be converted to 'Sequence'",
        ),
        (
            ([], [], iter([]), []),
            "argument 'node_payloads': 'list_iterator' object cannot be converted to 'Sequence'",
        ),
        (
            ([], [], [], {1, 2}),
            "argument 'child_indices': 'set' object cannot be converted to 'Sequence'",
        ),
        (
            ([], [1], [], []),
            "argument 'node_strings': 'int' object cannot be converted to 'PyString'",
        ),
        (
            ([0, "1"], [], [], []),
            "argument 'node_shifts': 'str' object cannot be interpreted as an integer",
        ),
        (
            ([], [], [None, "x"], []),
            "argument 'node_payloads': 'str' object cannot be interpreted as an integer",
        ),
        (
            ([], [], [], [None]),
            "argument 'child_indices': 'NoneType' object cannot be interpreted as an integer",
        ),
    ],
)
def test_list_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        from_internal_data(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("position", [0, 2, 3])
@pytest.mark.parametrize("bad", [-1, 2**32])
def test_list_element_range(position, bad):
    args = [[0], [""], [None], []]
    args[position] = [bad]
    with pytest.raises(OverflowError) as info:
        from_internal_data(*args)
    assert str(info.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "bs, message",
    [
        ("abc", "argument 'bs': Can't extract `str` to `Vec`"),
        (3, "argument 'bs': 'int' object cannot be converted to 'Sequence'"),
        ([0, "1"], "argument 'bs': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_from_bytes_argument_errors(bs, message):
    with pytest.raises(TypeError) as info:
        from_bytes(bs)
    assert str(info.value) == message


@pytest.mark.parametrize("bs", [[0, 0, 0, 256], [0, 0, 0, -1], (0, 0, 0, 300)])
def test_from_bytes_element_range(bs):
    with pytest.raises(OverflowError) as info:
        from_bytes(bs)
    assert str(info.value) == "out of range integral type conversion attempted"


def test_any_sequence_is_accepted_and_len_is_only_a_hint():
    shifts = Seq([0, 1], length=2)
    payloads = Seq([None, 5], length=10**15)  # absurd hint
    strings = ("", "x")
    search = from_internal_data(shifts, strings, payloads, Seq([1], length=-5 + 6))
    assert search.get_children(0) == [("x", 1)]
    assert search.get_payload(1) == 5


def test_sequence_whose_len_raises_is_still_read():
    class NoLen(Seq):
        def __len__(self):
            raise RuntimeError("no length")

    search = from_internal_data(NoLen([0], 0), [""], [3], [])
    assert search.get_payload(0) == 3


def test_list_changed_by_a_conversion_is_read_like_an_iterator():
    items = [0, 0, 0]

    class Shrinker:
        def __index__(self):
            del items[1:]
            return 0

    items.insert(0, Shrinker())
    search = from_internal_data(items, [""], [None], [])
    # Only the elements still in the list when the iteration reaches them count.
    assert search.get_children(0) == []
    assert len(items) == 1


def test_self_of_the_wrong_type_is_refused():
    with pytest.raises(TypeError):
        _morlatch.PrefixSearch.to_bytes(1)
    with pytest.raises(TypeError):
        _morlatch.PrefixSearch.get_payload("x", 0)


def test_reference_counts_are_unchanged_by_calls(small, panic_exception):
    prefix = "".join(["a", "b"])  # a fresh object, not an interned literal
    limit = 10**30 // 10**27  # 1000: beyond the cached (immortal) small ints
    node_shifts = [0, 1]
    node_strings = ["", "q"]
    payloads = [None, 12345678]
    children = [1]
    bad = [0, "x"]
    objects = [prefix, limit, node_shifts, node_strings, payloads, children, bad, small]
    before = [sys.getrefcount(o) for o in objects]
    # Immortal objects report a fixed huge count that no leak would change.
    assert max(before) < 1000, before
    for _ in range(200):
        small.fuzzy_match(prefix, 1, limit)
        small.exact_match(prefix)
        from_internal_data(node_shifts, node_strings, payloads, children)
        with pytest.raises(TypeError):
            from_internal_data(bad, node_strings, payloads, children)
        with pytest.raises(TypeError):
            small.fuzzy_match(prefix, bad, limit)
        with pytest.raises(panic_exception):
            small.get_payload(limit + 1000)
    after = [sys.getrefcount(o) for o in objects]
    assert after == before
