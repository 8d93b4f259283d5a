#include "recipe.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string>

#include "convert.hpp"

namespace bitloom::recipe {

namespace {

constexpr const char* kKeyNames[] = {"name",         "encoding",    "bits", "byte_order",
                                     "reverse_bits", "offset_bits", "value"};
static_assert(std::size(kKeyNames) == kKeyCount);

// Created once, under the interpreter lock, and kept for the life of the process.
PyObject* g_keys[kKeyCount] = {};
bool g_keys_ready = false;

PyObject* key_object(Key key) { return g_keys[static_cast<std::size_t>(key)]; }

// ---- Name folding and tables ----

/// Longest accepted name is 17 characters; anything longer cannot match.
constexpr std::size_t kMaxName = 24;

/// Lowercases `name` into `out` for comparison with the (ASCII) tables. Full Unicode lowercasing
/// turns exactly two non-ASCII characters into text holding ASCII letters: U+212A KELVIN SIGN
/// (to "k") and U+0130 (to "i" followed by U+0307, which is not ASCII). So a name can match only
/// if every character is ASCII or the Kelvin sign; anything else folds to "no match".
bool fold(std::string_view name, char (&out)[kMaxName], std::size_t& length) noexcept {
    std::size_t n = 0;
    for (std::size_t i = 0; i < name.size();) {
        if (n == kMaxName) return false;
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            out[n++] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
            ++i;
        } else if (name.substr(i, 3) == "\xE2\x84\xAA") {  // U+212A KELVIN SIGN
            out[n++] = 'k';
            i += 3;
        } else {
            return false;
        }
    }
    length = n;
    return true;
}

template <class E>
struct Entry {
    std::string_view name;
    E code;
};

template <class E, std::size_t N>
constexpr std::array<Entry<E>, N> sorted(std::array<Entry<E>, N> entries) {
    std::sort(entries.begin(), entries.end(),
              [](const Entry<E>& a, const Entry<E>& b) { return a.name < b.name; });
    return entries;
}

template <class E, std::size_t N>
std::optional<E> find(const std::array<Entry<E>, N>& table, std::string_view name) noexcept {
    char folded[kMaxName];
    std::size_t length = 0;
    if (!fold(name, folded, length)) return std::nullopt;
    const std::string_view key(folded, length);
    auto it = std::lower_bound(table.begin(), table.end(), key,
                               [](const Entry<E>& e, std::string_view k) { return e.name < k; });
    if (it == table.end() || it->name != key) return std::nullopt;
    return it->code;
}

using P = PackEncoding;
constexpr auto kPackNames = sorted(std::to_array<Entry<P>>({
    {"unsigned", P::Unsigned},
    {"signmagnitude", P::SignMagnitude}, {"sign_magnitude", P::SignMagnitude},
    {"sign-magnitude", P::SignMagnitude},
    {"onescomplement", P::OnesComplement}, {"ones_complement", P::OnesComplement},
    {"ones-complement", P::OnesComplement},
    {"twoscomplement", P::TwosComplement}, {"twos_complement", P::TwosComplement},
    {"twos-complement", P::TwosComplement},
    {"bcd", P::Bcd},
    {"bcdsigned", P::BcdSigned}, {"bcd_signed", P::BcdSigned}, {"bcd-signed", P::BcdSigned},
    {"packedbcd", P::PackedBcd}, {"packed_bcd", P::PackedBcd}, {"packed-bcd", P::PackedBcd},
    {"packedbcdsigned", P::PackedBcdSigned}, {"packed_bcd_signed", P::PackedBcdSigned},
    {"packed-bcd-signed", P::PackedBcdSigned},
    {"ieee754", P::Ieee754}, {"ieee_754", P::Ieee754}, {"ieee-754", P::Ieee754},
    {"ieee754_1985", P::Ieee754_1985}, {"ieee754-1985", P::Ieee754_1985},
    {"ieee_754_1985", P::Ieee754_1985}, {"ieee_754-1985", P::Ieee754_1985},
    {"mil_std_1750a", P::MilStd1750a}, {"mil-std-1750a", P::MilStd1750a},
    {"mil_std-1750a", P::MilStd1750a},
    {"ti", P::Ti}, {"dec", P::Dec}, {"ibm", P::Ibm},
    {"utf8", P::Utf8}, {"utf_8", P::Utf8}, {"utf-8", P::Utf8},
    {"utf16", P::Utf16}, {"utf_16", P::Utf16}, {"utf-16", P::Utf16},
    {"utf32", P::Utf32}, {"utf_32", P::Utf32}, {"utf-32", P::Utf32},
    {"utf16le", P::Utf16le}, {"utf_16_le", P::Utf16le}, {"utf-16le", P::Utf16le},
    {"utf16be", P::Utf16be}, {"utf_16_be", P::Utf16be}, {"utf-16be", P::Utf16be},
    {"utf32le", P::Utf32le}, {"utf_32_le", P::Utf32le}, {"utf-32le", P::Utf32le},
    {"utf32be", P::Utf32be}, {"utf_32_be", P::Utf32be}, {"utf-32be", P::Utf32be},
    {"usascii", P::UsAscii}, {"us_ascii", P::UsAscii}, {"us-ascii", P::UsAscii},
    {"iso8859_1", P::Iso8859_1}, {"iso8859-1", P::Iso8859_1}, {"iso_8859_1", P::Iso8859_1},
    {"iso-8859-1", P::Iso8859_1},
    {"windows1252", P::Windows1252}, {"windows_1252", P::Windows1252},
    {"windows-1252", P::Windows1252},
    {"binary", P::Binary},
}));

using U = UnpackEncoding;
constexpr auto kUnpackNames = sorted(std::to_array<Entry<U>>({
    {"unsigned", U::Unsigned},
    {"signmagnitude", U::SignMagnitude}, {"sign_magnitude", U::SignMagnitude},
    {"onescomplement", U::OnesComplement}, {"ones_complement", U::OnesComplement},
    {"twoscomplement", U::TwosComplement}, {"twos_complement", U::TwosComplement},
    {"bcd", U::Bcd},
    {"bcd_signed", U::BcdSigned}, {"bcd-signed", U::BcdSigned},
    {"packed_bcd", U::PackedBcd}, {"packed-bcd", U::PackedBcd},
    {"packed_bcd_signed", U::PackedBcdSigned}, {"packed-bcd-signed", U::PackedBcdSigned},
    {"ieee754_f16", U::Ieee754F16}, {"ieee754-f16", U::Ieee754F16},
    {"ieee754_f32", U::Ieee754F32}, {"ieee754-f32", U::Ieee754F32},
    {"ieee754_f64", U::Ieee754F64}, {"ieee754-f64", U::Ieee754F64},
    {"ieee754_f128", U::Ieee754F128}, {"ieee754-f128", U::Ieee754F128},
    {"ieee754_1985_f32", U::Ieee754_1985F32}, {"ieee754-1985-f32", U::Ieee754_1985F32},
    {"ieee754_1985_f64", U::Ieee754_1985F64}, {"ieee754-1985-f64", U::Ieee754_1985F64},
    {"ieee754_1985_f80", U::Ieee754_1985F80}, {"ieee754-1985-f80", U::Ieee754_1985F80},
    {"mil_std_1750a_f32", U::MilStd1750aF32}, {"mil-std-1750a-f32", U::MilStd1750aF32},
    {"mil_std_1750a_f48", U::MilStd1750aF48}, {"mil-std-1750a-f48", U::MilStd1750aF48},
    {"ti_f32", U::TiF32}, {"ti-f32", U::TiF32},
    {"ti_f40", U::TiF40}, {"ti-f40", U::TiF40},
    {"dec_f32", U::DecF32}, {"dec-f32", U::DecF32},
    {"dec_f64", U::DecF64}, {"dec-f64", U::DecF64},
    {"ibm_f32", U::IbmF32}, {"ibm-f32", U::IbmF32},
    {"ibm_f64", U::IbmF64}, {"ibm-f64", U::IbmF64},
    {"utf8", U::Utf8}, {"utf-8", U::Utf8},
    {"utf16", U::Utf16}, {"utf-16", U::Utf16},
    {"utf32", U::Utf32}, {"utf-32", U::Utf32},
    {"utf16le", U::Utf16le}, {"utf-16le", U::Utf16le},
    {"utf16be", U::Utf16be}, {"utf-16be", U::Utf16be},
    {"utf32le", U::Utf32le}, {"utf-32le", U::Utf32le},
    {"utf32be", U::Utf32be}, {"utf-32be", U::Utf32be},
    {"us_ascii", U::UsAscii}, {"us-ascii", U::UsAscii},
    {"latin1", U::Latin1}, {"iso_8859_1", U::Latin1}, {"iso-8859-1", U::Latin1},
    {"windows_1252", U::Windows1252}, {"windows-1252", U::Windows1252},
}));

template <class E, std::size_t N>
constexpr bool unique_names(const std::array<Entry<E>, N>& table) {
    for (std::size_t i = 1; i < N; ++i)
        if (!(table[i - 1].name < table[i].name)) return false;
    for (const auto& e : table)
        if (e.name.size() >= kMaxName) return false;
    return true;
}
static_assert(unique_names(kPackNames) && unique_names(kUnpackNames));

}  // namespace

bool ensure_keys() {
    if (g_keys_ready) [[likely]]
        return true;
    PyObject* fresh[kKeyCount] = {};
    for (std::size_t i = 0; i < kKeyCount; ++i) {
        fresh[i] = PyUnicode_InternFromString(kKeyNames[i]);
        if (!fresh[i]) {
            for (auto* p : fresh) Py_XDECREF(p);
            return false;
        }
    }
    // Creating the strings may have let another thread in first; keep whichever set won.
    if (g_keys_ready) {
        for (auto* p : fresh) Py_DECREF(p);
        return true;
    }
    std::copy(std::begin(fresh), std::end(fresh), g_keys);
    g_keys_ready = true;
    return true;
}

std::optional<CodecError> check_item(PyObject* item) {
    if (PyDict_Check(item)) [[likely]]
        return std::nullopt;
    py::raise_cast_error(item, "dict");
    return pending();
}

int lookup(PyObject* item, Key key, Ref& out) {
    return PyDict_GetItemRef(item, key_object(key), out.out());
}

namespace {

/// Whether `key`, an exact str, has the text of `which`. Comparing two exact str objects runs
/// no interpreter code.
bool same_text(PyObject* key, Key which) noexcept {
    const std::string_view name = kKeyNames[static_cast<std::size_t>(which)];
    return PyUnicode_IS_ASCII(key) && static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) == name.size() &&
           std::memcmp(PyUnicode_DATA(key), name.data(), name.size()) == 0;
}

bool is_value_key(PyObject* key) noexcept {
    return key == key_object(Key::Value) || (PyUnicode_CheckExact(key) && same_text(key, Key::Value));
}

}  // namespace

bool take_snapshot(PyObject* item, Snapshot& out) {
    for (auto& v : out.values) v = nullptr;
    out.value_entry = -1;
    PyObject* keys[kKeyCount];
    std::copy(std::begin(g_keys), std::end(g_keys), keys);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(item, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        std::size_t which = 0;
        while (which < kKeyCount && key != keys[which]) ++which;
        if (which == kKeyCount) {
            // An equal text that is not the interned object: compare by content. Comparing two
            // exact str objects runs no interpreter code.
            for (std::size_t i = 0; i < kKeyCount; ++i)
                if (PyUnicode_Compare(key, g_keys[i]) == 0) which = i;
        }
        if (which < kKeyCount) out.values[which] = value;
        if (which == static_cast<std::size_t>(Key::Value)) out.value_entry = pos - 1;
    }
    return true;
}

int ItemReader::get(Key key, Ref& out) {
    if (snapshot_) {
        PyObject* v = snapshot_->values[static_cast<std::size_t>(key)];
        out.reset(v ? Py_NewRef(v) : nullptr);
        return v != nullptr;
    }
    // Without a snapshot the dict may hold a key that is not an exact str, whose __eq__ a
    // lookup may call: from then on no earlier reading of any dict can be trusted.
    if (pristine_) *pristine_ = false;
    return lookup(item_, key, out);
}

CodecError missing(Key key) {
    return CodecError{ErrorKind::KeyError, std::string("Recipe missing required field: '") +
                                               kKeyNames[static_cast<std::size_t>(key)] + "'"};
}

std::optional<CodecError> read_text(ItemReader& item, Key key, Ref& holder, std::string_view& out) {
    const int found = item.get(key, holder);
    if (found < 0) [[unlikely]]
        return pending();
    if (found == 0) [[unlikely]]
        return missing(key);
    item.note_pure(PyUnicode_CheckExact(holder.get()));
    if (!py::convert_text(holder.get(), out)) [[unlikely]]
        return pending();
    return std::nullopt;
}

std::optional<CodecError> read_bits(ItemReader& item, std::uint32_t& out) {
    Ref obj;
    const int found = item.get(Key::Bits, obj);
    if (found < 0) [[unlikely]]
        return pending();
    if (found == 0) [[unlikely]]
        return missing(Key::Bits);
    item.converted(int_may_run_code(obj.get()));
    item.note_pure(PyLong_CheckExact(obj.get()));
    if (!py::convert_u32(obj.get(), out)) [[unlikely]]
        return pending();
    return std::nullopt;
}

std::optional<CodecError> read_reverse_bits(ItemReader& item, bool& out) {
    Ref obj;
    const int found = item.get(Key::ReverseBits, obj);
    if (found < 0) [[unlikely]]
        return pending();
    if (found == 0) [[unlikely]]
        return missing(Key::ReverseBits);
    const bool singleton = obj.get() == Py_True || obj.get() == Py_False;
    item.converted(!singleton);
    item.note_pure(singleton);
    if (!py::convert_bool(obj.get(), out)) [[unlikely]]
        return pending();
    return std::nullopt;
}

std::optional<CodecError> read_offset_bits(ItemReader& item, bool& present, std::uint64_t& out) {
    Ref obj;
    const int found = item.get(Key::OffsetBits, obj);
    if (found < 0) [[unlikely]]
        return pending();
    present = found == 1;
    if (!present) return std::nullopt;
    item.converted(int_may_run_code(obj.get()));
    item.note_pure(PyLong_CheckExact(obj.get()));
    if (!py::convert_u64(obj.get(), out)) [[unlikely]]
        return pending();
    return std::nullopt;
}

namespace {

/// Remembers the resolution of recently seen name objects. Each slot holds a reference to its
/// exact str, so an address in the cache always names the same immutable text.
template <class E>
class NameCache {
public:
    template <class Resolve>
    std::optional<E> get(PyObject* obj, std::string_view text, Resolve resolve) noexcept {
        if (!PyUnicode_CheckExact(obj)) return resolve(text);
        Slot& slot = slots_[(reinterpret_cast<std::uintptr_t>(obj) >> 4) % kSlots];
        if (slot.key == obj) [[likely]]
            return slot.code;
        const std::optional<E> code = resolve(text);
        if (code) {
            // Releasing an exact str runs no interpreter code.
            Py_XSETREF(slot.key, Py_NewRef(obj));
            slot.code = *code;
        }
        return code;
    }

private:
    static constexpr std::size_t kSlots = 64;
    struct Slot {
        PyObject* key = nullptr;
        E code{};
    };
    Slot slots_[kSlots];
};

NameCache<PackEncoding> g_pack_names;
NameCache<UnpackEncoding> g_unpack_names;
NameCache<bool> g_byte_orders;

std::optional<bool> little_endian(std::string_view byte_order) noexcept {
    char folded[kMaxName];
    std::size_t length = 0;
    if (!fold(byte_order, folded, length)) return std::nullopt;
    const std::string_view key(folded, length);
    if (key == "big") return false;
    if (key == "little") return true;
    return std::nullopt;
}

}  // namespace

std::optional<PackEncoding> resolve_pack_encoding(PyObject* obj, std::string_view name) noexcept {
    return g_pack_names.get(obj, name, [](std::string_view n) { return find(kPackNames, n); });
}

std::optional<UnpackEncoding> resolve_unpack_encoding(PyObject* obj, std::string_view name) noexcept {
    return g_unpack_names.get(obj, name, [](std::string_view n) { return find(kUnpackNames, n); });
}

std::optional<bool> resolve_little_endian(PyObject* obj, std::string_view byte_order) noexcept {
    return g_byte_orders.get(obj, byte_order, little_endian);
}

// ---- Plans ----

namespace {

// Two plans per set, chosen by the dict's address. A plan holds no reference: the dict keeps
// its values alive, and the watcher removes the plan before the dict changes or goes away.
constexpr unsigned kSetBits = 11;
constexpr std::size_t kSets = std::size_t{1} << kSetBits;

struct PlanSlot {
    PyObject* dict = nullptr;
    Plan plan;
};

PlanSlot g_plans[kSets][2];
int g_watcher = -1;
bool g_watcher_unavailable = false;

PlanSlot* plan_set(PyObject* dict) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(dict);
    return g_plans[(address * 0x9E3779B97F4A7C15u) >> (64 - kSetBits)];
}

/// Whether `key` can stand for one of the six keys a plan is read from. Any exact str other
/// than those cannot: it neither equals them nor runs code when a lookup meets it.
bool plan_key(PyObject* key) noexcept {
    if (!PyUnicode_CheckExact(key)) return true;
    for (std::size_t i = 0; i < static_cast<std::size_t>(Key::Value); ++i)
        if (key == g_keys[i]) return true;
    for (std::size_t i = 0; i < static_cast<std::size_t>(Key::Value); ++i)
        if (same_text(key, static_cast<Key>(i))) return true;
    return false;
}

/// Runs for every change of a watched dict, also while it is being freed and during
/// interpreter shutdown: it only forgets the dict's plan, and neither allocates nor raises.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
    const bool keyed = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
                       event == PyDict_EVENT_DELETED;
    if (keyed && key && !plan_key(key)) return 0;
    for (PlanSlot& slot : std::span<PlanSlot, 2>(plan_set(dict), 2))
        if (slot.dict == dict) slot.dict = nullptr;
    return 0;
}

bool ensure_watcher() noexcept {
    if (g_watcher >= 0) [[likely]]
        return true;
    if (g_watcher_unavailable) return false;
    // Every watcher slot of the interpreter may be taken; then the walks run without plans.
    PyObject* pending_error = PyErr_GetRaisedException();
    g_watcher = PyDict_AddWatcher(on_dict_event);
    if (g_watcher < 0) {
        g_watcher_unavailable = true;
        PyErr_Clear();
    }
    PyErr_SetRaisedException(pending_error);
    return g_watcher >= 0;
}

}  // namespace

const Plan* find_plan(PyObject* dict) noexcept {
    PlanSlot* set = plan_set(dict);
    if (set[0].dict == dict) return &set[0].plan;
    if (set[1].dict == dict) return &set[1].plan;
    return nullptr;
}

int lookup_value(PyObject* item, std::int32_t hint, Ref& out) {
    if (hint >= 0) {
        // Entries keep their places while keys are only added after them or have their values
        // replaced; whatever happened, the key found there is checked.
        Py_ssize_t pos = hint;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (PyDict_Next(item, &pos, &key, &value) && is_value_key(key)) [[likely]] {
            out.reset(Py_NewRef(value));
            return 1;
        }
    }
    return lookup(item, Key::Value, out);
}

void keep_plan(PyObject* dict, const Plan& plan) noexcept {
#ifdef Py_GIL_DISABLED
    // Plans rely on the interpreter lock to keep the table consistent.
    (void)dict;
    (void)plan;
#else
    // A split table may share its values with an object's attributes, and setting such an
    // attribute need not notify the dict's watchers: such dicts are read afresh every call.
    if (reinterpret_cast<PyDictObject*>(dict)->ma_values) return;
    if (!ensure_watcher()) return;
    if (PyDict_Watch(g_watcher, dict) < 0) {
        PyErr_Clear();
        return;
    }
    PlanSlot* set = plan_set(dict);
    PlanSlot* slot = nullptr;
    Plan merged = plan;
    if (set[0].dict == dict || set[1].dict == dict) {
        slot = set[0].dict == dict ? &set[0] : &set[1];
        // Both plans read the same unchanged dict; only the direction's encoding differs.
        if (merged.pack == Plan::kUnresolved) merged.pack = slot->plan.pack;
        if (merged.unpack == Plan::kUnresolved) merged.unpack = slot->plan.unpack;
        if (merged.value_entry < 0) merged.value_entry = slot->plan.value_entry;
    } else if (!set[0].dict) {
        slot = &set[0];
    } else {
        // The older plan of a full set is dropped; the dict stays watched, to no effect.
        set[1] = set[0];
        slot = &set[0];
    }
    slot->dict = dict;
    slot->plan = merged;
#endif
}

CodecError unsupported_encoding(std::string_view name) {
    return value_error("Unsupported encoding type: " + std::string(name));
}

CodecError invalid_byte_order(std::string_view byte_order) {
    return value_error("Invalid byte_order '" + std::string(byte_order) +
                       "': must be 'big' or 'little'");
}

}  // namespace bitloom::recipe
