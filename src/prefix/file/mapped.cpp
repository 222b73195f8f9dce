#include "prefix/file/mapped.hpp"

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <future>
#include <random>
#include <system_error>
#include <utility>
#include <vector>

#include "prefix/file/mapped_check.hpp"
#include "prefix/layout/key_hash.hpp"

namespace morlatch {

// The records are read in place, so the host must share the file's byte order.
static_assert(std::endian::native == std::endian::little,
              "stored layouts are little-endian; this host would need a converting reader");

KeyHash KeyHash::drawn() {
    try {
        std::random_device source;
        const auto word = [&] { return std::uint64_t{source()} << 32 | source(); };
        const std::uint64_t base = word();
        return KeyHash(base, word());
    } catch (const std::exception&) {
        // No random source: the clock and this stack's address still
        // differ between runs.
        const auto ticks =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        const auto place = reinterpret_cast<std::uintptr_t>(&ticks);
        return KeyHash(ticks * 0x9E3779B97F4A7C15u ^ place, place * 0xBF58476D1CE4E5B9u ^ ticks);
    }
}

namespace stored {

std::nullopt_t ImageChecker::fail(std::string what, std::uint64_t at) {
    problem = LayoutProblem{
        "the '" + std::string(name_) + "' section is not a search layout: " + std::move(what),
        stored_.offset + at};
    return std::nullopt;
}

std::optional<NodeImage> ImageChecker::check(const std::shared_ptr<const void>& owner) {
    const std::size_t size = stored_.bytes.size();
    constexpr std::size_t kHeaderBytes = NodeImage::kHeaderWords * 4;
    if (size < kHeaderBytes) {
        return fail("its " + std::to_string(size) + " bytes are shorter than the " +
                        std::to_string(kHeaderBytes) + "-byte header",
                    0);
    }
    std::uint32_t head[NodeImage::kHeaderWords];
    std::memcpy(head, stored_.bytes.data(), sizeof head);
    if (head[0] != NodeImage::kTag) {
        return fail("it does not start with the tag of packed nodes", 0);
    }
    const std::uint64_t n = head[1];
    if (n == 0 || n >= 0xFFFFFFFFu) {
        return fail("its node count " + std::to_string(n) + " is not between 1 and 2**32 - 2", 4);
    }
    const std::uint32_t flags = head[3];
    const bool wide = (flags & NodeImage::kWide) != 0;
    const bool payloads = (flags & NodeImage::kPayloads) != 0;
    if ((flags & ~(NodeImage::kWide | NodeImage::kPayloads)) != 0 || payloads == reverse_) {
        return fail("its flags " + std::to_string(flags) + " are not those of " +
                        (reverse_ ? "a reverse index" : "a layout"),
                    12);
    }
    const std::uint32_t ranks = head[2];
    if (wide ? ranks != 0 : ranks == 0 || ranks > records::kMaxRanks) {
        return fail("its alphabet size " + std::to_string(ranks) + " is out of range", 8);
    }
    for (std::size_t i = 8; i < NodeImage::kHeaderWords; ++i) {
        if (head[i] != 0 && i != 6 && i != 7) {
            return fail("header word " + std::to_string(i) + " is not 0", i * 4);
        }
    }
    if (head[5] != 0) {
        return fail("header word 5 is not 0", 20);
    }
    const NodeImage::Plan plan = NodeImage::plan(n, ranks, wide, payloads, head[4]);
    if (size != plan.total * 4) {
        return fail("its " + std::to_string(size) + " bytes are not the " +
                        std::to_string(plan.total * 4) + " its header plans",
                    4);
    }
    NodeImage image;
    if (reinterpret_cast<std::uintptr_t>(stored_.bytes.data()) % 4 == 0) {
        image =
            NodeImage(std::span<const std::uint32_t>(
                          reinterpret_cast<const std::uint32_t*>(stored_.bytes.data()), plan.total),
                      owner);
    } else {
        std::vector<std::uint32_t> copy(plan.total);
        std::memcpy(copy.data(), stored_.bytes.data(), size);
        image = NodeImage(std::move(copy));
    }
    if (!check_nodes(image.view(), n, ranks, plan, head)) {
        return std::nullopt;
    }
    return image;
}

// One pass in id order; labels first.
bool ImageChecker::check_nodes(const NodeView& view, std::uint64_t n, std::uint32_t ranks,
                               const NodeImage::Plan& plan, const std::uint32_t* head) {
    if (!check_labels(view, n, ranks, plan)) {
        return false;
    }
    const std::uint32_t* records = view.records;
    const auto record_at = [&](std::size_t v) { return plan.records + v; };
    const auto first_at = [&](std::size_t v) {
        return plan.first != 0 ? plan.first + v : record_at(v);
    };
    if (view.first_child(static_cast<NodeId>(n)) != n) {
        return fail_at(first_at(n), "the closing record's first child is not the node count " +
                                        std::to_string(n));
    }
    if (records::rank(records[n]) != 0 || records::shortest(records[n]) != 0 ||
        records::longest(records[n]) != 0) {
        return fail_at(record_at(n), "the closing record holds more than its first child");
    }
    if (view.first_child(0) != 1) {
        return fail_at(first_at(0), "the root's children do not start at 1");
    }
    if (records::rank(records[0]) != 0) {
        return fail_at(record_at(0), "the root has a label");
    }
    if (reverse_ && view.is_key(0)) {
        return fail_at(record_at(0), "the root of a reverse index is a key");
    }
    return check_node_pass(*this, view, n, ranks, plan, head);
}

bool ImageChecker::check_labels(const NodeView& view, std::uint64_t n, std::uint32_t ranks,
                                const NodeImage::Plan& plan) {
    if (plan.first != 0) {
        if (view.labels[0] != 0 || view.labels[n] != 0) {
            return fail_at(plan.labels + (view.labels[0] != 0 ? 0 : n),
                           "the root's or the closing record's label is not 0");
        }
        for (std::size_t v = 1; v < n; ++v) {
            if (!is_scalar_value(view.labels[v])) {
                return fail_at(plan.labels + v, "node " + std::to_string(v) + "'s label " +
                                                    std::to_string(view.labels[v]) +
                                                    " is not a Unicode scalar value");
            }
        }
        return true;
    }
    if (view.alphabet[0] != 0) {
        return fail_at(plan.alphabet, "the alphabet does not start with 0");
    }
    for (std::size_t r = 1; r < ranks; ++r) {
        const char32_t ch = view.alphabet[r];
        if (!is_scalar_value(ch) || (r > 1 && ch <= view.alphabet[r - 1])) {
            return fail_at(plan.alphabet + r, "alphabet entry " + std::to_string(r) + " (" +
                                                  std::to_string(ch) +
                                                  ") is not a code point after the one before");
        }
    }
    return true;
}

}  // namespace stored

std::variant<std::unique_ptr<CompactTrie>, LayoutProblem> open_stored_layout(
    StoredNodes forward, std::optional<StoredNodes> reverse, std::shared_ptr<const void> owner) {
    // One base for both sides, drawn now: a file cannot be made beforehand
    // whose reverse index collides with its layout.
    const KeyHash hash = KeyHash::drawn();
    const KeyHash* hashing = reverse ? &hash : nullptr;
    stored::ImageChecker forward_checker("nodes", forward, false, hashing);
    std::optional<stored::ImageChecker> reverse_checker;
    std::optional<NodeImage> reverse_image;
    std::future<void> reverse_done;
    if (reverse) {
        // The two arrays are checked side by side: opening a large file is
        // bound by this one pass over its pages.
        reverse_checker.emplace("rnodes", *reverse, true, hashing);
        auto check_reverse = [&] { reverse_image = reverse_checker->check(owner); };
        try {
            reverse_done = std::async(std::launch::async, check_reverse);
        } catch (const std::system_error&) {
            reverse_done = std::async(std::launch::deferred, check_reverse);
        }
    }
    std::optional<NodeImage> image = forward_checker.check(owner);
    if (reverse_done.valid()) {
        reverse_done.get();  // rethrows what the check threw (out of memory)
    }
    if (!image) {
        return std::move(*forward_checker.problem);
    }
    std::unique_ptr<ReverseIndex> reverse_index;
    if (reverse) {
        if (!reverse_image) {
            return std::move(*reverse_checker->problem);
        }
        // The empty key has no reversed key.
        const std::size_t keys = image->key_count() - (image->view().is_key(0) ? 1 : 0);
        if (reverse_image->key_count() != keys ||
            reverse_checker->key_hash != forward_checker.key_hash) {
            reverse_checker->fail("its keys are not the layout's keys reversed", 0);
            return std::move(*reverse_checker->problem);
        }
        reverse_index = std::make_unique<ReverseIndex>(std::move(*reverse_image));
    }
    return CompactTrie::from_checked(std::move(*image), std::move(reverse_index));
}

}  // namespace morlatch
