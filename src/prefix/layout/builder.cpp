#include "prefix/layout/builder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

namespace morlatch {
namespace {

using Node = LayoutNode;

// Node ids are 32 bits, and the closing entry holds the node count.
constexpr std::uint64_t kMaxNodes = 0xFFFFFFFEu;

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The code point that starts at `p` and its length in bytes.
char32_t decode(const unsigned char* p, std::uint32_t& length) {
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    if (lead < 0xE0) {
        length = 2;
        return static_cast<char32_t>((lead & 0x1F) << 6 | (p[1] & 0x3F));
    }
    if (lead < 0xF0) {
        length = 3;
        return static_cast<char32_t>((lead & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F));
    }
    length = 4;
    return static_cast<char32_t>((lead & 0x07) << 18 | (p[1] & 0x3F) << 12 | (p[2] & 0x3F) << 6 |
                                 (p[3] & 0x3F));
}

// ---- sorting ----------------------------------------------------------------

// One key while the keys are sorted: `head` holds its bytes from the depth
// its run has reached.
struct Entry {
    std::uint64_t head;
    std::uint32_t key;
    std::uint32_t dropped;  // 1 for a key given again later
};

// Seven bytes from `depth` on, then how many of them the key has (0 to 7):
// heads compare as the keys' bytes from `depth` on do, a key before its
// extensions. Only equal heads of 7 bytes need the bytes after them.
std::uint64_t pack_head(std::string_view key, std::size_t depth) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(key.data()) + depth;
    const std::size_t left = key.size() - depth;
    if (left >= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes, sizeof word);
        if constexpr (std::endian::native == std::endian::little) {
            word = __builtin_bswap64(word);
        }
        return (word & ~std::uint64_t{0xFF}) | 7;
    }
    const std::size_t count = std::min<std::size_t>(left, 7);
    std::uint64_t head = count;
    for (std::size_t i = 0; i < count; ++i) {
        head |= std::uint64_t{bytes[i]} << (56 - 8 * i);
    }
    return head;
}

bool head_goes_on(std::uint64_t head) {
    return (head & 0xFF) == 7;
}

// Sorts a run by head. Long runs go least significant digit first, 16 bits a
// pass, skipping the digits that all heads share (a few sequential passes
// instead of a comparison sort's scattered reads); short runs by comparison.
void sort_by_head(Entry* first, std::size_t count, ScratchVector<Entry>& scratch,
                  std::vector<std::uint32_t>& counts) {
    if (count < 8192) {
        std::sort(first, first + count,
                  [](const Entry& a, const Entry& b) { return a.head < b.head; });
        return;
    }
    std::uint64_t all_ones = ~std::uint64_t{0};
    std::uint64_t any_ones = 0;
    for (std::size_t i = 0; i < count; ++i) {
        all_ones &= first[i].head;
        any_ones |= first[i].head;
    }
    const std::uint64_t varying = all_ones ^ any_ones;
    scratch.resize(count);
    counts.resize(std::size_t{1} << 16);
    Entry* from = first;
    Entry* to = scratch.data();
    for (int shift = 0; shift < 64; shift += 16) {
        if (((varying >> shift) & 0xFFFF) == 0) {
            continue;
        }
        std::fill(counts.begin(), counts.end(), 0);
        for (std::size_t i = 0; i < count; ++i) {
            ++counts[(from[i].head >> shift) & 0xFFFF];
        }
        std::uint32_t total = 0;
        for (std::uint32_t& slot : counts) {
            total += std::exchange(slot, total);
        }
        for (std::size_t i = 0; i < count; ++i) {
            to[counts[(from[i].head >> shift) & 0xFFFF]++] = from[i];
        }
        std::swap(from, to);
    }
    if (from != first) {
        std::copy(from, from + count, first);
    }
}

// One node per code point of a key not shared with the key before it, and
// the root; the count stops as soon as it passes max_nodes.
std::uint64_t count_nodes(const KeyList& keys, std::uint64_t max_nodes, Interrupt& interrupt) {
    const std::size_t count = keys.size();
    std::uint64_t node_count = 1;
    for (std::size_t i = 0; i < count && node_count <= max_nodes; ++i) {
        const std::string_view key = keys.key(i);
        std::size_t common = 0;
        if (i > 0) {
            const std::string_view before = keys.key(i - 1);
            common = static_cast<std::size_t>(
                std::mismatch(key.begin(), key.begin() + std::min(key.size(), before.size()),
                              before.begin())
                    .first -
                key.begin());
            // A shared lead byte does not make a shared character.
            while (common > 0 && common < key.size() &&
                   is_continuation(static_cast<unsigned char>(key[common]))) {
                --common;
            }
        }
        node_count += static_cast<std::uint64_t>(
            std::count_if(key.begin() + static_cast<std::ptrdiff_t>(common), key.end(),
                          [](char c) { return !is_continuation(static_cast<unsigned char>(c)); }));
        interrupt.tick();
    }
    return node_count;
}

}  // namespace

// The steps of lay_out, with access to the key list's buffers.
class LevelOrderBuilder {
public:
    static void sort_and_deduplicate(KeyList& keys, Interrupt& interrupt);
    static std::optional<LevelOrder> lay_out_sorted(const KeyList& keys, std::uint64_t max_nodes,
                                                    Interrupt& interrupt,
                                                    const BuildProgress& progress);

private:
    // The keys below one node of a level: a run of sorted keys that share
    // its path, which is `bytes` long.
    struct Range {
        std::uint32_t begin;
        std::uint32_t end;
        std::size_t bytes;
    };
    static void lay_out_node(const KeyList& keys, Range range, std::uint64_t depth, std::size_t at,
                             LevelOrder& layout, std::vector<Range>& next, Interrupt& interrupt);
};

// Sorts the keys seven bytes at a time: each round compares packed heads in
// the entries themselves, and only runs of equal heads go on to read their
// next bytes. Equal keys end up together, in the order given; all but the
// last are dropped. The text is then rewritten in sorted order, so that the
// level-order pass streams through it.
void LevelOrderBuilder::sort_and_deduplicate(KeyList& keys, Interrupt& interrupt) {
    const std::size_t count = keys.size();
    bool sorted = true;
    for (std::size_t i = 1; i < count && sorted; ++i) {
        sorted = keys.key(i - 1) < keys.key(i);
    }
    if (sorted) {
        return;  // a list sorted already costs one pass
    }
    ScratchVector<Entry> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
        entries[i] = Entry{0, static_cast<std::uint32_t>(i), 0};
    }
    struct Run {
        std::size_t begin;
        std::size_t end;
        std::size_t depth;
    };
    std::vector<Run> runs{{0, count, 0}};
    ScratchVector<Entry> scratch;
    std::vector<std::uint32_t> counts;
    while (!runs.empty()) {
        const Run run = runs.back();
        runs.pop_back();
        for (std::size_t i = run.begin; i < run.end; ++i) {
            entries[i].head = pack_head(keys.key(entries[i].key), run.depth);
            interrupt.tick();
        }
        sort_by_head(entries.data() + run.begin, run.end - run.begin, scratch, counts);
        for (std::size_t i = run.begin; i < run.end;) {
            std::size_t j = i + 1;
            while (j < run.end && entries[j].head == entries[i].head) {
                ++j;
            }
            if (j - i > 1) {
                if (head_goes_on(entries[i].head)) {
                    runs.push_back(Run{i, j, run.depth + 7});
                } else {
                    // The same key more than once: the last one given wins.
                    std::sort(entries.begin() + static_cast<std::ptrdiff_t>(i),
                              entries.begin() + static_cast<std::ptrdiff_t>(j),
                              [](const Entry& a, const Entry& b) { return a.key < b.key; });
                    for (std::size_t k = i; k + 1 < j; ++k) {
                        entries[k].dropped = 1;
                    }
                }
            }
            i = j;
        }
    }
    ScratchVector<Entry>().swap(scratch);

    KeyList sorted_keys;
    sorted_keys.reserve(count, keys.text_bytes());
    for (const Entry& entry : entries) {
        if (!entry.dropped) {
            sorted_keys.add_utf8(keys.key(entry.key), keys.payload(entry.key));
        }
    }
    keys = std::move(sorted_keys);
}

// Fills in the node at `at` of a level from the keys below it, and lays out
// its children at the end of the nodes, each with the keys below it in
// `next`. The nodes are reserved in full, so no push moves them.
void LevelOrderBuilder::lay_out_node(const KeyList& keys, Range range, std::uint64_t depth,
                                     std::size_t at, LevelOrder& layout, std::vector<Range>& next,
                                     Interrupt& interrupt) {
    const auto* text = reinterpret_cast<const unsigned char*>(keys.text_.data());
    const ScratchVector<std::size_t>& offsets = keys.offsets_;
    ScratchVector<Node>& nodes = layout.nodes;
    Node& node = nodes[at];
    node.first_child = static_cast<NodeId>(nodes.size());
    // Only the first key of a run can end here: it sorts before its
    // extensions, and keys are distinct.
    if (range.begin < range.end && offsets[range.begin] + range.bytes == offsets[range.begin + 1]) {
        node.flags = 1;  // a key
        node.payload = keys.payload(range.begin);
        ++range.begin;
        ++layout.key_count;
        layout.total_key_length += depth;
    }
    while (range.begin < range.end) {
        const unsigned char* head = text + offsets[range.begin] + range.bytes;
        std::uint32_t length = 0;
        const char32_t ch = decode(head, length);
        std::uint32_t group = range.begin + 1;
        while (group < range.end) {
            const unsigned char* other = text + offsets[group] + range.bytes;
            // A shared lead byte means a shared length.
            if (other[0] != head[0] || (length > 1 && std::memcmp(other, head, length) != 0)) {
                break;
            }
            ++group;
        }
        next.push_back(Range{range.begin, group, range.bytes + length});
        nodes.push_back(Node{ch, 0, 0, 0, 0, 0, 0});
        range.begin = group;
        interrupt.tick();
    }
}

std::optional<LevelOrder> LevelOrderBuilder::lay_out_sorted(const KeyList& keys,
                                                            std::uint64_t max_nodes,
                                                            Interrupt& interrupt,
                                                            const BuildProgress& progress) {
    const std::size_t count = keys.size();

    // Counted first, so that the nodes are allocated once.
    const std::uint64_t node_count = count_nodes(keys, max_nodes, interrupt);
    if (node_count > max_nodes) {
        return std::nullopt;
    }
    if (node_count > kMaxNodes) {
        throw TooManyNodes(node_count);
    }

    LevelOrder layout;
    ScratchVector<Node>& nodes = layout.nodes;
    nodes.reserve(static_cast<std::size_t>(node_count) + 1);
    nodes.push_back(Node{});

    std::vector<Range> level{{0, static_cast<std::uint32_t>(count), 0}};
    std::vector<Range> next;
    std::size_t first_of_level = 0;
    std::uint64_t depth = 0;
    std::size_t reported = 0;
    const std::size_t step = std::max<std::size_t>(count / 128, 1);
    while (!level.empty()) {
        next.clear();
        for (std::size_t i = 0; i < level.size(); ++i) {
            lay_out_node(keys, level[i], depth, first_of_level + i, layout, next, interrupt);
            if (progress && layout.key_count - reported >= step) {
                reported = layout.key_count;
                progress(reported, count);
            }
        }
        first_of_level += level.size();
        level.swap(next);
        ++depth;
    }
    nodes.push_back(Node{0, static_cast<NodeId>(nodes.size()), 0, 0, 0, 0, 0});
    compute_key_lengths(nodes);
    if (progress && reported != layout.key_count) {
        progress(layout.key_count, count);
    }
    return layout;
}

LevelOrder lay_out(KeyList keys, Interrupt& interrupt, const BuildProgress& progress) {
    if (keys.size() > kMaxNodes) {
        throw TooManyNodes(keys.size());
    }
    LevelOrderBuilder::sort_and_deduplicate(keys, interrupt);
    return *LevelOrderBuilder::lay_out_sorted(keys, std::numeric_limits<std::uint64_t>::max(),
                                              interrupt, progress);
}

std::optional<LevelOrder> lay_out_within(KeyList keys, std::uint64_t max_nodes,
                                         Interrupt& interrupt) {
    // More than ids can number is too many as well.
    max_nodes = std::min(max_nodes, kMaxNodes);
    if (keys.size() > max_nodes) {
        return std::nullopt;  // a node for every key at least
    }
    LevelOrderBuilder::sort_and_deduplicate(keys, interrupt);
    return LevelOrderBuilder::lay_out_sorted(keys, max_nodes, interrupt, {});
}

void sort_keys(KeyList& keys) {
    Interrupt none;
    LevelOrderBuilder::sort_and_deduplicate(keys, none);
}

std::unique_ptr<CompactTrie> build_compact_trie(KeyList keys, Interrupt& interrupt,
                                                const BuildProgress& progress) {
    LevelOrder layout = lay_out(std::move(keys), interrupt, progress);
    return CompactTrie::from_level_order(layout.nodes, layout.key_count, layout.total_key_length);
}

namespace {

// Strict UTF-8, as Python decodes it: shortest forms only, no surrogates,
// nothing past U+10FFFF.
bool valid_utf8(const unsigned char* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time.
        if (i + 8 <= n) {
            std::uint64_t word = 0;
            std::memcpy(&word, p + i, sizeof word);
            if ((word & 0x8080808080808080u) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t width = 0;
        unsigned char low = 0x80;  // the range of the second byte
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (n - i < width || p[i + 1] < low || p[i + 1] > high) {
            return false;
        }
        for (std::size_t k = 2; k < width; ++k) {
            if (!is_continuation(p[i + k])) {
                return false;
            }
        }
        i += width;
    }
    return true;
}

}  // namespace

bool read_word_list(std::string_view data, KeyList& keys) {
    const auto* text = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t pos = data.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    for (std::uint64_t line = 0; pos < data.size(); ++line) {
        const auto* newline =
            static_cast<const unsigned char*>(std::memchr(text + pos, '\n', data.size() - pos));
        const std::size_t next = newline ? static_cast<std::size_t>(newline - text) : data.size();
        std::size_t end = next;
        if (end > pos && text[end - 1] == '\r') {
            --end;
        }
        const std::string_view content = data.substr(pos, end - pos);
        pos = next + 1;
        if (!valid_utf8(text + (content.data() - data.data()), content.size())) {
            return false;
        }
        const std::size_t tab = content.find('\t');
        if (tab == std::string_view::npos) {
            if (!content.empty()) {
                if (line > 0xFFFFFFFFu) {
                    return false;
                }
                keys.add_utf8(content, static_cast<Payload>(line));
            }
            continue;
        }
        const std::string_view digits = content.substr(tab + 1);
        if (tab == 0 || digits.empty()) {
            return false;
        }
        std::uint64_t value = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') {
                return false;
            }
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
            if (value > 0xFFFFFFFFu) {
                return false;
            }
        }
        keys.add_utf8(content.substr(0, tab), static_cast<Payload>(value));
    }
    return true;
}

// Children have larger ids than their parent in level order, so one backward
// pass sees them first.
void compute_key_lengths(std::span<Node> nodes) {
    const std::size_t count = nodes.size() - 1;
    for (std::size_t v = count; v-- > 0;) {
        lengths_from_children(nodes.data(), static_cast<NodeId>(v), nodes[v].shortest,
                              nodes[v].longest);
    }
}

}  // namespace morlatch
