#include "item_cache.hpp"

#include <algorithm>

namespace bitloom::recipe::item_cache {

namespace {

constexpr Py_ssize_t kMaxKeys = 8;

/// A dict's content as an entry was made from it: its keys in order and their values (none
/// kept for `value`, which may change freely), each held by a reference.
struct Slot {
    PyObject* dict = nullptr;  // where to look first; identity alone proves nothing
    Py_ssize_t count = 0;
    PyObject* keys[kMaxKeys] = {};
    PyObject* values[kMaxKeys] = {};
    Entry entry{};

    /// Whether `d` holds exactly this content now.
    bool matches(PyObject* d) const noexcept {
        if (d != dict || PyDict_GET_SIZE(d) != count) return false;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!PyDict_Next(d, &pos, &key, &value) || key != keys[i]) return false;
            if (values[i] && value != values[i]) return false;
        }
        return true;
    }

    void clear() noexcept {
        // Exact str and int objects: releasing them runs no code.
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_CLEAR(keys[i]);
            Py_CLEAR(values[i]);
        }
        Py_CLEAR(entry.name);
        dict = nullptr;
        count = 0;
    }
};

// Two slots per set, chosen by the dict's address. Kept for the life of the process.
constexpr unsigned kSetBits = 10;
Slot g_slots[std::size_t{1} << kSetBits][2];

Slot* slot_set(PyObject* dict) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(dict);
    return g_slots[(address * 0x9E3779B97F4A7C15u) >> (64 - kSetBits)];
}

bool is_value_key(PyObject* key) noexcept {
    return key == key_object(Key::Value) || (PyUnicode_CheckExact(key) && same_text(key, Key::Value));
}

/// Whether the exact str `key` is one of the six keys an entry is made from.
bool recipe_key(PyObject* key) noexcept {
    for (std::size_t i = 0; i < static_cast<std::size_t>(Key::Value); ++i)
        if (key == key_object(static_cast<Key>(i)) || same_text(key, static_cast<Key>(i))) return true;
    return false;
}

}  // namespace

bool find(PyObject* dict, Entry& out, bool unchanged) noexcept {
#ifdef Py_GIL_DISABLED
    (void)dict;
    (void)out;
    (void)unchanged;
    return false;  // the table relies on the interpreter lock
#else
    Slot* set = slot_set(dict);
    for (int i = 0; i < 2; ++i) {
        if (unchanged ? set[i].dict == dict : set[i].matches(dict)) [[likely]] {
            out = set[i].entry;
            return true;
        }
    }
    return false;
#endif
}

void remember(PyObject* dict, const Entry& entry) noexcept {
#ifdef Py_GIL_DISABLED
    (void)dict;
    (void)entry;
#else
    const Py_ssize_t count = PyDict_GET_SIZE(dict);
    if (count > kMaxKeys) return;
    Slot fresh;
    Entry merged = entry;
    merged.value_entry = -1;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t i = 0; i < count && PyDict_Next(dict, &pos, &key, &value); ++i) {
        if (!PyUnicode_CheckExact(key)) return;  // a lookup could run its __eq__
        fresh.keys[i] = key;
        if (is_value_key(key)) {
            if (pos - 1 <= INT32_MAX) merged.value_entry = static_cast<std::int32_t>(pos - 1);
            continue;
        }
        // Only the values the walks read are compared (and were read plain).
        if (recipe_key(key)) fresh.values[i] = value;
    }
    Slot* set = slot_set(dict);
    Slot* slot = set[0].dict == dict ? &set[0] : set[1].dict == dict ? &set[1] : nullptr;
    if (slot && slot->matches(dict)) {
        // Both entries read the same unchanged dict; only the direction's encoding differs.
        if (merged.pack == Entry::kUnresolved) merged.pack = slot->entry.pack;
        if (merged.unpack == Entry::kUnresolved) merged.unpack = slot->entry.unpack;
    }
    if (!slot) {
        // The older slot of a full set gives way.
        std::swap(set[0], set[1]);
        slot = &set[0];
    }
    slot->clear();
    slot->dict = dict;
    slot->count = count;
    for (Py_ssize_t i = 0; i < count; ++i) {
        slot->keys[i] = Py_NewRef(fresh.keys[i]);
        slot->values[i] = Py_XNewRef(fresh.values[i]);
    }
    slot->entry = merged;
    Py_INCREF(slot->entry.name);
#endif
}

int lookup_value(PyObject* dict, std::int32_t hint, Ref& out) {
    if (hint >= 0) {
        // Where the entry was made from still holds the same keys, so this is `value`'s place.
        Py_ssize_t pos = hint;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (PyDict_Next(dict, &pos, &key, &value) && is_value_key(key)) [[likely]] {
            out.reset(Py_NewRef(value));
            return 1;
        }
    }
    return lookup(dict, Key::Value, out);
}

}  // namespace bitloom::recipe::item_cache
