#include "format/errors.hpp"

#include <cstdio>

namespace morlatch::format {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// Builds "Name { a: 1, b: 2 }" field by field.
class Fields {
public:
    explicit Fields(std::string_view type) : out_(type) {}

    Fields& field(std::string_view name, std::string_view rendered) {
        out_ += first_ ? " { " : ", ";
        first_ = false;
        out_ += name;
        out_ += ": ";
        out_ += rendered;
        return *this;
    }
    Fields& field(std::string_view name, std::uint64_t value) {
        return field(name, std::to_string(value));
    }

    std::string finish() {
        if (!first_) out_ += " }";
        return std::move(out_);
    }

private:
    std::string out_;
    bool first_ = true;
};

std::string tuple(std::string_view type, std::string_view rendered) {
    std::string out(type);
    out += '(';
    out += rendered;
    out += ')';
    return out;
}

std::string render(const AllowedVariants& allowed) {
    return std::visit(
        Overloaded{
            [](const AllowedRange& r) {
                return Fields("Range").field("min", r.min).field("max", r.max).finish();
            },
            [](const AllowedList& l) {
                std::string list = "[";
                for (std::size_t i = 0; i < l.values.size(); ++i) {
                    if (i != 0) list += ", ";
                    list += std::to_string(l.values[i]);
                }
                list += ']';
                return tuple("Allowed", list);
            },
        },
        allowed);
}

std::string render(const Utf8Error& e) {
    const std::string len =
        e.error_len ? tuple("Some", std::to_string(unsigned{*e.error_len})) : "None";
    return Fields("Utf8Error").field("valid_up_to", e.valid_up_to).field("error_len", len).finish();
}

// Integer part, then the fraction's significant digits without trailing zeros.
std::string decimal(std::uint64_t integer, std::uint32_t fraction, std::uint32_t divisor,
                    std::string_view unit) {
    std::string out = std::to_string(integer);
    if (fraction != 0) {
        out += '.';
        while (fraction != 0 && divisor != 0) {
            out += static_cast<char>('0' + fraction / divisor);
            fraction %= divisor;
            divisor /= 10;
        }
    }
    out += unit;
    return out;
}

}  // namespace

std::string_view name(IntegerType type) {
    switch (type) {
        case IntegerType::U8:
            return "U8";
        case IntegerType::U16:
            return "U16";
        case IntegerType::U32:
            return "U32";
        case IntegerType::U64:
            return "U64";
        case IntegerType::U128:
            return "U128";
        case IntegerType::Usize:
            return "Usize";
        case IntegerType::I8:
            return "I8";
        case IntegerType::I16:
            return "I16";
        case IntegerType::I32:
            return "I32";
        case IntegerType::I64:
            return "I64";
        case IntegerType::I128:
            return "I128";
        case IntegerType::Isize:
            return "Isize";
        case IntegerType::Reserved:
            return "Reserved";
    }
    return "Reserved";
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default: {
                const auto byte = static_cast<unsigned char>(c);
                if (byte < 0x20 || byte == 0x7F) {
                    char buf[12];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", unsigned{byte});
                    out += buf;
                } else {
                    out += c;
                }
            }
        }
    }
    out += '"';
    return out;
}

std::string render(const Duration& d) {
    constexpr std::uint32_t nanos_per_milli = 1'000'000;
    constexpr std::uint32_t nanos_per_micro = 1'000;
    if (d.secs > 0) return decimal(d.secs, d.nanos, 100'000'000, "s");
    if (d.nanos >= nanos_per_milli) {
        return decimal(d.nanos / nanos_per_milli, d.nanos % nanos_per_milli, nanos_per_milli / 10,
                       "ms");
    }
    if (d.nanos >= nanos_per_micro) {
        return decimal(d.nanos / nanos_per_micro, d.nanos % nanos_per_micro, nanos_per_micro / 10,
                       "\u00B5s");
    }
    return decimal(d.nanos, 0, 1, "ns");
}

std::string render(const DecodeError& error) {
    using E = DecodeError;
    return std::visit(
        Overloaded{
            [](const E::UnexpectedEnd& e) {
                return Fields("UnexpectedEnd").field("additional", e.additional).finish();
            },
            [](const E::LimitExceeded&) { return std::string("LimitExceeded"); },
            [](const E::InvalidIntegerType& e) {
                return Fields("InvalidIntegerType")
                    .field("expected", name(e.expected))
                    .field("found", name(e.found))
                    .finish();
            },
            [](const E::NonZeroTypeIsZero& e) {
                return Fields("NonZeroTypeIsZero")
                    .field("non_zero_type", name(e.non_zero_type))
                    .finish();
            },
            [](const E::UnexpectedVariant& e) {
                return Fields("UnexpectedVariant")
                    .field("type_name", quoted(e.type_name))
                    .field("allowed", render(e.allowed))
                    .field("found", e.found)
                    .finish();
            },
            [](const E::Utf8& e) {
                return Fields("Utf8").field("inner", render(e.inner)).finish();
            },
            [](const E::InvalidCharEncoding& e) {
                std::string bytes = "[";
                for (std::size_t i = 0; i < e.bytes.size(); ++i) {
                    if (i != 0) bytes += ", ";
                    bytes += std::to_string(unsigned{e.bytes[i]});
                }
                bytes += ']';
                return tuple("InvalidCharEncoding", bytes);
            },
            [](const E::InvalidBooleanValue& e) {
                return tuple("InvalidBooleanValue", std::to_string(unsigned{e.value}));
            },
            [](const E::ArrayLengthMismatch& e) {
                return Fields("ArrayLengthMismatch")
                    .field("required", e.required)
                    .field("found", e.found)
                    .finish();
            },
            [](const E::OutsideUsizeRange& e) {
                return tuple("OutsideUsizeRange", std::to_string(e.value));
            },
            [](const E::EmptyEnum& e) {
                return Fields("EmptyEnum").field("type_name", quoted(e.type_name)).finish();
            },
            [](const E::InvalidDuration& e) {
                return Fields("InvalidDuration")
                    .field("secs", e.secs)
                    .field("nanos", e.nanos)
                    .finish();
            },
            [](const E::InvalidSystemTime& e) {
                return Fields("InvalidSystemTime").field("duration", render(e.duration)).finish();
            },
            [](const E::CStringNulError& e) {
                return Fields("CStringNulError").field("position", e.position).finish();
            },
            [](const E::Io& e) {
                return Fields("Io")
                    .field("inner", e.inner)
                    .field("additional", e.additional)
                    .finish();
            },
            [](const E::Other& e) { return tuple("Other", quoted(e.message)); },
            [](const E::OtherString& e) { return tuple("OtherString", quoted(e.message)); },
        },
        error.kind);
}

std::string render(const EncodeError& error) {
    using E = EncodeError;
    return std::visit(
        Overloaded{
            [](const E::UnexpectedEnd&) { return std::string("UnexpectedEnd"); },
            [](const E::RefCellAlreadyBorrowed& e) {
                return Fields("RefCellAlreadyBorrowed")
                    .field("inner", "BorrowError")
                    .field("type_name", quoted(e.type_name))
                    .finish();
            },
            [](const E::Other& e) { return tuple("Other", quoted(e.message)); },
            [](const E::OtherString& e) { return tuple("OtherString", quoted(e.message)); },
            [](const E::InvalidPathCharacters&) { return std::string("InvalidPathCharacters"); },
            [](const E::Io& e) {
                return Fields("Io").field("inner", e.inner).field("index", e.index).finish();
            },
            [](const E::LockFailed& e) {
                return Fields("LockFailed").field("type_name", quoted(e.type_name)).finish();
            },
            [](const E::InvalidSystemTime& e) {
                return Fields("InvalidSystemTime")
                    .field("inner", e.inner)
                    .field("time", e.time)
                    .finish();
            },
        },
        error.kind);
}

}  // namespace morlatch::format
