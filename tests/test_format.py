"""The byte image of a trie: PrefixSearch.to_bytes and from_bytes.

The module is checked against the small pure-Python model of the format in
reference.py (writer and reader), written from the format's description
alone.
"""

from functools import partial

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import morlatch
from _morlatch import from_bytes, from_internal_data
from reference import fault_message, model_decode, model_encode, outcome

UNWRAP = "called `Result::unwrap()` on an `Err` value: "


# ---- helpers ---------------------------------------------------------------


def first_chars(strings):
    return [s[0] if s else None for s in strings]


def assert_same_trie(a, b, nodes):
    """a and b answer get_payload and get_children alike for nodes 0..nodes."""
    assert a.to_bytes() == b.to_bytes()
    for n in range(nodes + 1):
        assert outcome(partial(a.get_payload, n)) == outcome(partial(b.get_payload, n))
        assert outcome(partial(a.get_children, n)) == outcome(partial(b.get_children, n))


# ---- worked examples -------------------------------------------------------

EXAMPLES = [
    pytest.param(([], [], [], []), "00 00 00 00", id="empty"),
    pytest.param(
        ([0, 1], ["", "a"], [None, 7], [1]),
        "02 00 01  02 00 01 61  02 00 01 07  01 01",
        id="two-nodes",
    ),
    pytest.param(
        ([0, 1, 1], ["", "a", "\u00e9"], [None, 7, 300], [1, 2]),
        "03 00 01 01  03 00 01 61 01 C3 A9  03 00 01 07 01 FB 2C 01  02 01 02",
        id="e-acute-and-300",
    ),
    pytest.param(([], [], [70000], []), "00 00 01 01 FC 70 11 01 00 00", id="payload-70000"),
    pytest.param(
        ([250, 251, 65535, 65536], [], [], []),
        "04 FA FB FB 00 FB FF FF FC 00 00 01 00  00 00 00",
        id="varint-boundaries",
    ),
    pytest.param(
        ([2**32 - 1], ["\U0010ffff"], [2**32 - 1], [0]),
        "01 FC FF FF FF FF  01 01 F4 8F BF BF  01 01 FC FF FF FF FF  01 00",
        id="largest-values",
    ),
]


@pytest.mark.parametrize("arrays, hex_bytes", EXAMPLES)
def test_worked_example_encodes_exactly(arrays, hex_bytes):
    assert from_internal_data(*arrays).to_bytes() == bytes.fromhex(hex_bytes)


@pytest.mark.parametrize("arrays, hex_bytes", EXAMPLES)
def test_worked_example_decodes_to_the_same_trie(arrays, hex_bytes):
    decoded = from_bytes(bytes.fromhex(hex_bytes))
    assert_same_trie(decoded, from_internal_data(*arrays), len(arrays[0]))


def test_two_node_example_reads_back():
    decoded = from_bytes(bytes.fromhex("02 00 01 02 00 01 61 02 00 01 07 01 01"))
    assert decoded.get_children(0) == [("a", 1)]
    assert decoded.get_payload(0) is None
    assert decoded.get_payload(1) == 7


def test_to_bytes_returns_fresh_immutable_bytes():
    search = from_internal_data([0], [""], [None], [])
    first = search.to_bytes()
    second = search.to_bytes()
    assert type(first) is bytes and type(second) is bytes
    assert second == first
    assert second is not first, "a cached object, not a fresh one"


# ---- failures --------------------------------------------------------------

FAILURES = [
    ("", "UnexpectedEnd { additional: 1 }"),
    ("01 FC 00", "UnexpectedEnd { additional: 3 }"),
    ("01 FB", "UnexpectedEnd { additional: 2 }"),
    ("FD 01 02", "UnexpectedEnd { additional: 6 }"),
    ("00 01 01 F0 9F", "UnexpectedEnd { additional: 2 }"),
    ("00 01", "UnexpectedEnd { additional: 1 }"),
    ("01 FD", "InvalidIntegerType { expected: U32, found: U64 }"),
    ("01 FE 00 00 00 00", "InvalidIntegerType { expected: U32, found: U128 }"),
    ("01 FF", "InvalidIntegerType { expected: U32, found: Reserved }"),
    ("FE", "InvalidIntegerType { expected: U64, found: U128 }"),
    ("00 00 FF", "InvalidIntegerType { expected: U64, found: Reserved }"),
    (
        "00 01 02",
        'UnexpectedVariant { type_name: "core::option::Option<char>", '
        "allowed: Range { min: 0, max: 1 }, found: 2 }",
    ),
    (
        "00 00 01 FF",
        'UnexpectedVariant { type_name: "core::option::Option<u32>", '
        "allowed: Range { min: 0, max: 1 }, found: 255 }",
    ),
    ("00 01 01 C0", "InvalidCharEncoding([192, 0, 0, 0])"),
    ("00 01 01 80", "InvalidCharEncoding([128, 0, 0, 0])"),
    ("00 01 01 FF", "InvalidCharEncoding([255, 0, 0, 0])"),
    ("00 01 01 ED A0 80", "InvalidCharEncoding([237, 160, 128, 0])"),
]


@pytest.mark.parametrize("hex_bytes, rendering", FAILURES)
def test_decode_failure_raises_panic_with_exact_message(hex_bytes, rendering):
    data = bytes.fromhex(hex_bytes)
    assert fault_message(lambda: from_bytes(data)) == UNWRAP + rendering


def test_failure_is_not_caught_by_except_exception():
    caught_by = None
    try:
        try:
            from_bytes(b"")
        except Exception:
            caught_by = "Exception"
    except BaseException:
        caught_by = "BaseException"
    assert caught_by == "BaseException"


def test_module_survives_a_failed_decode():
    data = bytearray(b"\x01\xfc\x00")
    fault_message(lambda: from_bytes(data))
    assert data == bytearray(b"\x01\xfc\x00")  # the argument is untouched
    assert from_bytes(b"\x00\x00\x00\x00").to_bytes() == b"\x00\x00\x00\x00"


@pytest.mark.parametrize("list_number", [1, 2, 3, 4])
def test_huge_count_over_short_remainder_ends_in_unexpected_end(list_number):
    huge = bytes.fromhex("FD FF FF FF FF FF FF FF 7F")
    elements = {1: "00 05", 2: "01 61 00", 3: "00 01 07", 4: "05 00"}[list_number]
    data = b"\x00" * (list_number - 1) + huge + bytes.fromhex(elements)
    assert fault_message(lambda: from_bytes(data)) == UNWRAP + "UnexpectedEnd { additional: 1 }"


def test_huge_count_over_long_remainder_still_ends():
    data = bytes.fromhex("FD FF FF FF FF FF FF FF FF") + b"\x07" * 100_000
    assert fault_message(lambda: from_bytes(data)) == UNWRAP + "UnexpectedEnd { additional: 1 }"


def test_longer_forms_and_trailing_bytes_are_accepted():
    data = bytes.fromhex(
        "FB 02 00  FB 00 00  FC 01 00 00 00"
        "  FC 02 00 00 00  00  01 61"
        "  FD 02 00 00 00 00 00 00 00  00  01 FB 07 00"
        "  01 FC 01 00 00 00"
        "  FF FE FD 00"
    )
    assert from_bytes(data).to_bytes() == bytes.fromhex("02 00 01 02 00 01 61 02 00 01 07 01 01")


# ---- input kinds -----------------------------------------------------------


@pytest.mark.parametrize("kind", [bytes, bytearray, list, tuple])
@pytest.mark.parametrize("arrays, hex_bytes", EXAMPLES)
def test_input_kinds_give_equal_tries(kind, arrays, hex_bytes):
    data = bytes.fromhex(hex_bytes) + b"\xff"
    reference = from_bytes(data)
    assert_same_trie(from_bytes(kind(data)), reference, len(arrays[0]))


@pytest.mark.parametrize("kind", [bytes, bytearray, list, tuple])
@pytest.mark.parametrize("hex_bytes, rendering", FAILURES)
def test_input_kinds_give_equal_failures(kind, hex_bytes, rendering):
    data = kind(bytes.fromhex(hex_bytes))
    assert fault_message(lambda: from_bytes(data)) == UNWRAP + rendering


# ---- properties ------------------------------------------------------------

EDGE_U32 = [0, 1, 250, 251, 255, 256, 65535, 65536, 2**31, 2**32 - 2, 2**32 - 1]
u32s = st.one_of(st.sampled_from(EDGE_U32), st.integers(0, 300), st.integers(0, 2**32 - 1))
node_strings = st.one_of(st.just(""), st.text(min_size=1, max_size=3))
small_lists = dict(max_size=12)

# Lists of independent lengths and values: nothing requires them to agree,
# so malformed tries are generated as freely as well-formed ones.
tries = st.tuples(
    st.lists(u32s, **small_lists),
    st.lists(node_strings, **small_lists),
    st.lists(st.one_of(st.none(), u32s), **small_lists),
    st.lists(u32s, **small_lists),
)


@given(tries)
@example(([0, 1], ["", "a"], [None, 7], [1]))
@example(([5] * 251, [], [None] * 300, []))
def test_round_trip(arrays):
    shifts, strings, payloads, children = arrays
    original = from_internal_data(*arrays)
    encoded = original.to_bytes()
    assert encoded == model_encode(shifts, first_chars(strings), payloads, children)
    assert model_decode(encoded) == (shifts, first_chars(strings), payloads, children)

    decoded = from_bytes(encoded)
    assert_same_trie(decoded, original, max(len(shifts), len(strings), len(payloads)))


@given(tries, st.data())
def test_truncation_needs_exactly_the_missing_bytes(arrays, data):
    encoded = from_internal_data(*arrays).to_bytes()
    cut = data.draw(st.integers(0, len(encoded) - 1))
    expected = model_decode(encoded[:cut])
    assert expected.startswith("UnexpectedEnd")
    assert fault_message(lambda: from_bytes(encoded[:cut])) == UNWRAP + expected


def test_every_truncation_of_a_mixed_trie():
    arrays = (
        [0, 3, 251, 70000, 2**32 - 1],
        ["", "a", "\u00e9", "\u20ac", "\U0001f600"],
        [None, 0, 300, 70000, 2**32 - 1],
        [1, 2, 3, 65536],
    )
    encoded = from_internal_data(*arrays).to_bytes()
    for cut in range(len(encoded)):
        expected = model_decode(encoded[:cut])
        assert expected.startswith("UnexpectedEnd")
        assert fault_message(partial(from_bytes, encoded[:cut])) == UNWRAP + expected
    assert from_bytes(encoded).to_bytes() == encoded


def assert_matches_model(data):
    expected = model_decode(data)
    if isinstance(expected, str):
        assert fault_message(lambda: from_bytes(data)) == UNWRAP + expected
    else:
        shifts, chars, payloads, children = expected
        assert from_bytes(data).to_bytes() == model_encode(shifts, chars, payloads, children)


@given(
    tries, st.lists(st.tuples(st.integers(0, 10**6), st.integers(0, 255)), min_size=1, max_size=4)
)
def test_mutated_encoding_decodes_like_the_model(arrays, edits):
    data = bytearray(from_internal_data(*arrays).to_bytes())
    for position, value in edits:
        data[position % len(data)] = value
    assert_matches_model(bytes(data))


@given(st.binary(max_size=40))
@example(b"\x01\xfd\x00\x00\x00\x00\x00\x00\x00\x00")
@example(b"\x00\x01\x01\xf4\x90\x80\x80")
def test_arbitrary_bytes_decode_like_the_model(data):
    assert_matches_model(data)


@given(
    st.lists(
        st.one_of(
            st.sampled_from([0x00, 0x01, 0x02, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF]),
            st.sampled_from([0x80, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xED, 0xF0, 0xF4, 0xF5]),
            st.integers(0, 255),
        ),
        min_size=1,
        max_size=30,
    )
)
def test_marker_heavy_bytes_decode_like_the_model(values):
    assert_matches_model(bytes(values))


@given(
    st.dictionaries(
        st.text(alphabet="ab\u00e9\U0001f600", min_size=1, max_size=5), u32s, max_size=12
    )
)
def test_builder_layouts_read_back_exactly(keys):
    # Arrays in the builder's level order are kept only in the search layout;
    # every read must still answer from exactly these arrays. A root
    # character (never read) makes the twin keep its arrays as given.
    shifts, strings, payloads, children = (list(a) for a in morlatch.layout(keys))
    search = from_internal_data(shifts, strings, payloads, children)
    twin = from_internal_data(shifts, ["x", *strings[1:]], payloads, children)
    assert search.to_bytes() == model_encode(shifts, first_chars(strings), payloads, children)
    for n in range(len(shifts) + 1):
        assert outcome(lambda n=n: search.get_payload(n)) == outcome(
            lambda n=n: twin.get_payload(n)
        )
        assert outcome(lambda n=n: search.get_children(n)) == outcome(
            lambda n=n: twin.get_children(n)
        )
    assert from_bytes(search.to_bytes()).to_bytes() == search.to_bytes()
