// libFuzzer target: opening the search layout stored in an index file.
//
// Input: an index file (the container of python/morlatch/indexfile.py). Its
// table is read with every offset and length checked against the input (the
// checksums are not: Index.load does not check those of the layout either);
// the "nodes" section, and "rnodes" when present, go to open_stored_layout.
// The layout must either be refused with a problem at a byte inside those
// sections, or open and then answer exact_match, fuzzy_match (k = 0..2),
// completion, key listing, get_children, get_payload and to_bytes without
// reading out of bounds; and every key it lists must be found again by
// exact_match with its payload.
//
// An input without the index file's magic is a key set and a change of it
// instead (see reverse_of_other_keys): the layout of the keys with the
// reverse index of the changed keys must open exactly when the change
// changed nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "prefix/file/mapped.hpp"
#include "prefix/file/store.hpp"
#include "prefix/layout/builder.hpp"
#include "prefix/search/ranked.hpp"

namespace {

using morlatch::StoredNodes;

std::uint64_t read_le(const std::uint8_t* at, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes; i-- > 0;) {
        value = value << 8 | at[i];
    }
    return value;
}

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_index_file: %s\n", what);
        std::abort();
    }
}

// The section called `name`, bounds checked; none when absent or out of range.
std::optional<StoredNodes> section(std::span<const std::uint8_t> file, const char* name) {
    if (file.size() < 16 || std::memcmp(file.data(), "\xffMLINDEX", 8) != 0) {
        return std::nullopt;
    }
    const std::uint64_t count = read_le(file.data() + 12, 4);
    if (count > (file.size() - 16) / 32) {
        return std::nullopt;
    }
    char wanted[12] = {};
    std::strncpy(wanted, name, sizeof(wanted));
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = file.data() + 16 + 32 * i;
        if (std::memcmp(entry, wanted, sizeof(wanted)) != 0) {
            continue;
        }
        const std::uint64_t offset = read_le(entry + 12, 8);
        const std::uint64_t length = read_le(entry + 20, 8);
        if (offset > file.size() || length > file.size() - offset) {
            return std::nullopt;
        }
        return StoredNodes{file.subspan(offset, length), offset};
    }
    return std::nullopt;
}

std::unique_ptr<morlatch::CompactTrie> laid_out(
    const std::map<std::u32string, morlatch::Payload>& keys) {
    morlatch::KeyList list;
    for (const auto& [key, payload] : keys) {
        list.add(key.data(), key.size(), payload);
    }
    morlatch::Interrupt none;
    morlatch::LevelOrder order = morlatch::lay_out(std::move(list), none);
    return morlatch::CompactTrie::from_level_order(std::move(order.nodes), order.key_count,
                                                   order.total_key_length);
}

// Key sets from bytes: a count, then per key a length and its letters,
// from an alphabet that holds U+0000; then the change made to one key of
// the second set (a letter replaced, U+0000 appended or prepended, the key
// doubled, or nothing).
void reverse_of_other_keys(std::span<const std::uint8_t> input) {
    static constexpr char32_t kLetters[] = {U'a', U'b', U'\0', U'\u00e9', U'\U0001F600'};
    std::size_t at = 0;
    const auto next = [&]() -> std::uint8_t { return at < input.size() ? input[at++] : 0; };
    std::map<std::u32string, morlatch::Payload> keys;
    const int count = next() % 8 + 1;
    for (int i = 0; i < count; ++i) {
        std::u32string key(next() % 6 + 1, U'a');
        for (char32_t& ch : key) {
            ch = kLetters[next() % std::size(kLetters)];
        }
        keys.emplace(std::move(key), static_cast<morlatch::Payload>(i));
    }
    std::map<std::u32string, morlatch::Payload> other = keys;
    auto victim = std::next(other.begin(), next() % other.size());
    std::u32string changed = victim->first;
    const std::uint8_t how = next();
    switch (how % 5) {
        case 0:
            changed[next() % changed.size()] = kLetters[next() % std::size(kLetters)];
            break;
        case 1:
            changed.push_back(U'\0');
            break;
        case 2:
            changed.insert(changed.begin(), U'\0');
            break;
        case 3:
            changed += changed;
            break;
        default:
            break;
    }
    other.erase(victim);
    other.emplace(changed, 0);
    std::set<std::u32string> want;
    std::set<std::u32string> got;
    for (const auto& [key, _] : keys) {
        want.insert(key);
    }
    for (const auto& [key, _] : other) {
        got.insert(key);
    }
    const auto layout = laid_out(keys);
    const auto other_layout = laid_out(other);
    const morlatch::ReverseIndex* reverse = other_layout->reverse_index();
    if (reverse == nullptr) {
        return;
    }
    const auto forward_bytes = layout->image_bytes();
    const auto reverse_bytes = reverse->image_bytes();
    std::vector<std::uint8_t> forward_copy(forward_bytes.begin(), forward_bytes.end());
    std::vector<std::uint8_t> reverse_copy(reverse_bytes.begin(), reverse_bytes.end());
    auto opened = morlatch::open_stored_layout(
        StoredNodes{forward_copy, 0}, StoredNodes{reverse_copy, forward_copy.size()}, nullptr);
    require(std::holds_alternative<std::unique_ptr<morlatch::CompactTrie>>(opened) == (want == got),
            "a reverse index opened with other keys, or refused with the same");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly the input, in memory of its own: reads past it are caught.
    std::vector<std::uint8_t> file(data, data + size);
    const std::span<const std::uint8_t> bytes(file);
    if (size < 8 || std::memcmp(data, "\xffMLINDEX", 8) != 0) {
        reverse_of_other_keys(bytes);
        return 0;
    }
    const std::optional<StoredNodes> layout = section(bytes, "nodes");
    if (!layout) {
        return 0;
    }
    const std::optional<StoredNodes> reverse = section(bytes, "rnodes");
    auto opened = morlatch::open_stored_layout(*layout, reverse, nullptr);
    if (const morlatch::LayoutProblem* problem = std::get_if<morlatch::LayoutProblem>(&opened)) {
        require(!problem->what.empty(), "a refusal without a problem");
        const bool in_layout = problem->offset >= layout->offset &&
                               problem->offset <= layout->offset + layout->bytes.size();
        const bool in_reverse = reverse && problem->offset >= reverse->offset &&
                                problem->offset <= reverse->offset + reverse->bytes.size();
        require(in_layout || in_reverse, "a problem outside the stored sections");
        return 0;
    }
    const morlatch::Store store(
        std::move(std::get<std::unique_ptr<morlatch::CompactTrie>>(opened)));
    morlatch::NoLock lock;
    morlatch::Interrupt none;
    const std::u32string queries[] = {U"", U"a", U"ab", U"abc", U"b\u00e9", U"cabd", U"zz"};
    for (const std::u32string& query : queries) {
        for (std::uint64_t k = 0; k <= 2; ++k) {
            store.fuzzy_match(query, k, std::nullopt, lock);
        }
        store.exact_match(query, lock);
        store.complete(query, morlatch::RankedOptions{1, 10, false}, none);
        store.ranked_search(query, morlatch::RankedOptions{1, 10, true}, none);
    }
    std::unique_ptr<morlatch::KeyCursor> keys = store.keys(U"");
    std::u32string key;
    morlatch::Payload payload = 0;
    for (int listed = 0; listed < 200 && keys->next(key, payload); ++listed) {
        const std::optional<morlatch::Match> found = store.exact_match(key, lock);
        require(key.empty() || (found && found->payload == payload),
                "a listed key is not found again with its payload");
    }
    const std::size_t nodes = store.info().nodes;
    for (morlatch::NodeId node = 0; node < nodes && node < 64; ++node) {
        store.get_children(node);
        store.get_payload(node);
    }
    std::vector<std::uint8_t> encoded(store.encoded_size());
    store.encode_into(encoded);
    return 0;
}
