// Recipe items: reading their keys from a dict's own storage, and the encoding names that each
// direction accepts. Shared by the packet builder and the packet reader.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/codec.hpp"

namespace bitloom::recipe {

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
    void reset(PyObject* owned) noexcept {
        Py_XSETREF(p_, owned);
    }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PyObject* p_ = nullptr;
};

enum class Key : std::uint8_t { Name, Encoding, Bits, ByteOrder, ReverseBits, OffsetBits, Value };

/// A failure already raised in the interpreter (a conversion of a recipe value).
inline CodecError pending() { return CodecError{ErrorKind::Pending, {}}; }

/// Creates the interned key strings on first use; false with an exception set on failure.
bool ensure_keys();

/// The recipe element must be a dict (or subclass): TypeError naming dict otherwise.
std::optional<CodecError> check_item(PyObject* item);

/// Looks `key` up in the dict's own storage (never a subclass's __getitem__ or __missing__).
/// 1: found, `out` holds a new reference; 0: absent; -1: an exception is set.
int lookup(PyObject* item, Key key, Ref& out);

/// KeyError "Recipe missing required field: '{key}'".
[[gnu::cold]] CodecError missing(Key key);

inline constexpr std::size_t kKeyCount = 7;

/// The values of an item's seven keys, taken in one pass over the dict's entries; borrowed, so
/// they stand for the dict only while no interpreter code has run since they were taken.
struct Snapshot {
    PyObject* values[kKeyCount];
    Py_ssize_t value_entry;  // where `value` lies among the dict's entries, or -1
};

/// Takes the snapshot. False when some key of the dict is not an exact str: such a key could
/// compare equal to one of ours by its own __eq__, so the keys must then be looked up one by one.
bool take_snapshot(PyObject* item, Snapshot& out);

/// Reads the keys of one item, from its snapshot while that is still faithful, else by lookup.
/// Conversions that may run interpreter code (an __index__, a __float__, a numpy bool...)
/// retire the snapshot and clear `*pristine`, the caller's record that nothing has run.
class ItemReader {
public:
    ItemReader(PyObject* item, const Snapshot* snapshot, bool* pristine) noexcept
        : item_(item), snapshot_(snapshot), pristine_(pristine) {}
    PyObject* item() const noexcept { return item_; }
    /// 1: found, `out` holds a new reference; 0: absent; -1: an exception is set.
    int get(Key key, Ref& out);
    /// Notes that a conversion of `obj` by `kind` may have run interpreter code.
    void converted(bool may_have_run_code) noexcept {
        if (may_have_run_code) {
            snapshot_ = nullptr;
            if (pristine_) *pristine_ = false;
        }
    }
    /// Notes whether a value read converts the same way every time without running code.
    void note_pure(bool pure) noexcept { pure_ = pure_ && pure; }
    /// Whether what was read so far is the dict's present content, every value pure: the
    /// condition for keeping a plan of the item.
    bool plannable() const noexcept { return snapshot_ != nullptr && pure_; }
    /// The snapshot being read from, or null.
    const Snapshot* snapshot() const noexcept { return snapshot_; }

private:
    PyObject* item_;
    const Snapshot* snapshot_;
    bool* pristine_;
    bool pure_ = true;
};

/// Required key converted to text; `holder` keeps the str alive while `out` is used.
std::optional<CodecError> read_text(ItemReader& item, Key key, Ref& holder, std::string_view& out);
/// Required `bits` as an unsigned 32-bit integer.
std::optional<CodecError> read_bits(ItemReader& item, std::uint32_t& out);
/// Required `reverse_bits` as a boolean.
std::optional<CodecError> read_reverse_bits(ItemReader& item, bool& out);
/// Optional `offset_bits` as an unsigned 64-bit integer; `present` tells whether it was given.
std::optional<CodecError> read_offset_bits(ItemReader& item, bool& present, std::uint64_t& out);

// ---- Plans ----

/// The resolved reading of one item dict, kept between calls while the dict is unchanged.
/// A plan exists only for a dict whose keys are all exact str and whose six recipe values are
/// exact str, exact int or the bool singletons, each read and resolved without failure. A dict
/// watcher drops the plan on any change that could alter that reading.
struct Plan {
    static constexpr std::uint8_t kUnresolved = 0xFF;
    PyObject* name;  // borrowed: the planned dict holds it while the plan lives
    std::uint64_t offset;
    std::uint32_t bits;
    std::int32_t value_entry;  // where `value` was found among the dict's entries (a hint), or -1
    bool has_offset;
    bool reverse;
    bool little;
    std::uint8_t pack;    // PackEncoding, resolved and width-checked, or kUnresolved
    std::uint8_t unpack;  // UnpackEncoding, or kUnresolved
};

/// The hint for `value` that a snapshot gives.
inline std::int32_t value_entry_hint(const Snapshot& snapshot) noexcept {
    return snapshot.value_entry >= 0 && snapshot.value_entry <= INT32_MAX
               ? static_cast<std::int32_t>(snapshot.value_entry)
               : -1;
}

/// The plan of `dict`, or null. It stays valid only until interpreter code runs or another
/// plan is kept: copy what is needed beyond that.
const Plan* find_plan(PyObject* dict) noexcept;

/// Looks up `value`, first at the entry `hint` names (where it lay when the plan was made).
/// 1: found, `out` holds a new reference; 0: absent; -1: an exception is set.
int lookup_value(PyObject* item, std::int32_t hint, Ref& out);

/// Keeps `plan` for `dict`, merged with the other direction's encoding if that is planned
/// already. Does nothing when no dict watcher is available.
void keep_plan(PyObject* dict, const Plan& plan) noexcept;

/// Whether converting `obj` to an integer, a float or a boolean may run interpreter code.
inline bool int_may_run_code(PyObject* obj) noexcept { return !PyLong_Check(obj); }
inline bool float_may_run_code(PyObject* obj) noexcept {
    return !PyFloat_Check(obj) && !PyLong_CheckExact(obj);
}

// ---- Encoding names ----

/// Encodings accepted by the builder. The float families take their width from `bits`.
enum class PackEncoding : std::uint8_t {
    Unsigned, SignMagnitude, OnesComplement, TwosComplement,
    Bcd, BcdSigned, PackedBcd, PackedBcdSigned,
    Ieee754, Ieee754_1985, MilStd1750a, Ti, Dec, Ibm,
    Utf8, Utf16, Utf32, Utf16le, Utf16be, Utf32le, Utf32be, UsAscii, Iso8859_1, Windows1252,
    Binary,
};

/// Encodings accepted by the reader. Floats name their width.
enum class UnpackEncoding : std::uint8_t {
    Unsigned, SignMagnitude, OnesComplement, TwosComplement,
    Bcd, BcdSigned, PackedBcd, PackedBcdSigned,
    Ieee754F16, Ieee754F32, Ieee754F64, Ieee754F128,
    Ieee754_1985F32, Ieee754_1985F64, Ieee754_1985F80, MilStd1750aF32, MilStd1750aF48,
    TiF32, TiF40, DecF32, DecF64, IbmF32, IbmF64,
    Utf8, Utf16, Utf32, Utf16le, Utf16be, Utf32le, Utf32be, UsAscii, Latin1, Windows1252,
};

/// Resolves an encoding name (`obj`, whose UTF-8 text is `name`) after full Unicode
/// lowercasing; empty when unknown. Names seen before resolve from a small cache.
std::optional<PackEncoding> resolve_pack_encoding(PyObject* obj, std::string_view name) noexcept;
std::optional<UnpackEncoding> resolve_unpack_encoding(PyObject* obj, std::string_view name) noexcept;
/// "big" (false) or "little" (true), after lowercasing; empty for anything else.
std::optional<bool> resolve_little_endian(PyObject* obj, std::string_view byte_order) noexcept;

/// ValueError "Unsupported encoding type: {encoding}" with the name as given.
[[gnu::cold]] CodecError unsupported_encoding(std::string_view name);
/// ValueError "Invalid byte_order '{byte_order}': must be 'big' or 'little'".
[[gnu::cold]] CodecError invalid_byte_order(std::string_view byte_order);

}  // namespace bitloom::recipe
