// Recipe items: reading their keys, the encoding names that each direction accepts, and the
// resolved form of an item that both walks (and anything else that walks a recipe) work from.
//
// Error convention of the walks: a function returns kOk, or kFailed with the interpreter's
// exception set (wrapped as ValueError by the module function), or kUnwrapped with the
// exception set (raised as it is: the packet too large to allocate, or too short to read).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/codec.hpp"
#include "core/unpack_encoding.hpp"
#include "convert.hpp"

namespace bitloom::recipe {

inline constexpr int kOk = 0;
inline constexpr int kFailed = -1;
inline constexpr int kUnwrapped = -2;

/// Raises a codec failure (InternalFault kind included) and returns kFailed, or kUnwrapped for
/// the InternalFault kind.
[[gnu::cold]] int fail(const CodecError& error);

/// An owned reference, released when it goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }
    PyObject** out() noexcept {
        Py_CLEAR(p_);
        return &p_;
    }
    void reset(PyObject* owned) noexcept { Py_XSETREF(p_, owned); }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PyObject* p_ = nullptr;
};

/// The walks count as one level of the interpreter's recursion (convert.hpp).
using py::RecursionGuard;

enum class Key : std::uint8_t { Name, Encoding, Bits, ByteOrder, ReverseBits, OffsetBits, Value };
inline constexpr std::size_t kKeyCount = 7;

/// Creates the interned key strings on first use; false with an exception set on failure.
bool ensure_keys();
/// The interned key string.
PyObject* key_object(Key key) noexcept;
/// Whether the exact str `key` has the text of `which`.
bool same_text(PyObject* key, Key which) noexcept;

/// The recipe element must be a dict (or subclass): kOk, or kFailed with the TypeError set.
int check_item(PyObject* item);

/// Looks `key` up in the dict's own storage (never a subclass's __getitem__ or __missing__).
/// 1: found, `out` holds a new reference; 0: absent; -1: an exception is set.
int lookup(PyObject* item, Key key, Ref& out);

/// Raises KeyError "Recipe missing required field: '{key}'"; returns kFailed.
[[gnu::cold]] int missing(Key key);

/// The keys of one item as read in order; each reference keeps its object alive while the
/// item is worked on. `pure` tells that reading them ran no interpreter code and that a second
/// reading of the unchanged dict would give the same values.
struct ItemKeys {
    Ref name, encoding, byte_order;
    std::string_view name_text, encoding_text, byte_order_text;
    std::uint32_t bits = 0;
    bool reverse = false;
    bool has_offset = false;
    std::uint64_t offset = 0;
    bool pure = true;
};

/// Reads `bits`, then `offset_bits` (the builder's sizing walk).
int read_extent(PyObject* item, std::uint32_t& bits, bool& has_offset, std::uint64_t& offset);
/// Reads name, encoding, bits, byte_order, reverse_bits and offset_bits, in this order.
int read_keys(PyObject* item, ItemKeys& out);

// ---- Encoding names ----

/// Encodings accepted by the builder. The float families take their width from `bits`.
enum class PackEncoding : std::uint8_t {
    Unsigned, SignMagnitude, OnesComplement, TwosComplement,
    Bcd, BcdSigned, PackedBcd, PackedBcdSigned,
    Ieee754, Ieee754_1985, MilStd1750a, Ti, Dec, Ibm,
    Utf8, Utf16, Utf32, Utf16le, Utf16be, Utf32le, Utf32be, UsAscii, Iso8859_1, Windows1252,
    Binary,
};

/// Encodings accepted by the reader (core/unpack_encoding.hpp: the column loop reads them too).
using bitloom::UnpackEncoding;

/// Resolves an encoding name (UTF-8) after full Unicode lowercasing; empty when unknown.
std::optional<PackEncoding> resolve_pack_encoding(std::string_view name) noexcept;
std::optional<UnpackEncoding> resolve_unpack_encoding(std::string_view name) noexcept;
/// "big" (false) or "little" (true), after lowercasing; empty for anything else.
std::optional<bool> resolve_little_endian(std::string_view byte_order) noexcept;

/// ValueError "Unsupported encoding type: {encoding}" with the name as given; returns kFailed.
[[gnu::cold]] int unsupported_encoding(std::string_view name);
/// ValueError "Invalid byte_order '{byte_order}': must be 'big' or 'little'"; returns kFailed.
[[gnu::cold]] int invalid_byte_order(std::string_view byte_order);

// ---- Resolved items ----

/// A recipe item resolved for one direction: where its field lies and how it is read or
/// written. `start` is set by the walk from `has_offset`/`offset` and the running position.
struct Field {
    std::uint64_t start = 0;
    std::uint64_t offset = 0;
    std::uint32_t bits = 0;
    bool has_offset = false;
    bool little = false;
    bool reverse = false;
    std::uint8_t encoding = 0;  // PackEncoding or UnpackEncoding, by direction
};

}  // namespace bitloom::recipe
