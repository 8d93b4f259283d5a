#include "item_cache.hpp"

#include <algorithm>

namespace bitloom::recipe::item_cache {

namespace {

constexpr Py_ssize_t kMaxKeys = 8;

/// A remembered dict. A watched one needs nothing more than its address: the watcher clears
/// `dict` before the dict changes or goes away. A compared one keeps the dict's content as the
/// entry was made from it: its keys in order and their values (none kept for `value`, which
/// may change freely), each held by a reference.
struct Slot {
    PyObject* dict = nullptr;  // for a compared slot, where to look first; identity proves nothing
    bool watched = false;
    Py_ssize_t count = 0;  // the keys and values held; none for a watched slot
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

    /// Whether the entry still reads as `d` does.
    bool holds(PyObject* d) const noexcept { return watched ? d == dict : matches(d); }

    void clear() noexcept {
        // Exact str and int objects: releasing them runs no code.
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_CLEAR(keys[i]);
            Py_CLEAR(values[i]);
        }
        Py_CLEAR(entry.name);
        dict = nullptr;
        watched = false;
        count = 0;
    }
};

// Two slots per set, chosen by the dict's address; the newer first. Kept for the life of the
// process.
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

// ---- Watching ----
//
// Which dicts can be watched. The collector's traversal of an object visits exactly the
// references that object holds: each reference is visited by its holder and by nothing else,
// or the collector's counts would be wrong. A dict whose traversal visits at least as many
// objects as it has items therefore holds a reference to each of its values in its own
// storage; what it maps can change only through the dict's own operations, and every one of
// them tells the dict's watchers first. The dict that an object of a plain class gives for its
// attributes may instead share the object's storage (CPython 3.13): the object holds those
// references and visits them, the dict visits none, and an attribute store changes them with
// no word to the dict's watchers. Such a dict fails the test. Storage is shared only when the
// dict is made from an object's attributes, so a dict that passes the test never comes to
// share it later: the test made when an entry is made holds while the entry lives. prepare()
// checks on the running interpreter that a dict sharing an object's storage fails the test;
// if it does not, no dict is watched and every entry is compared on each use.

int g_watcher = -1;  // set once by prepare(); -1: every entry is compared
traverseproc g_traverse = nullptr;

int count_visit(PyObject*, void* count) noexcept {
    ++*static_cast<Py_ssize_t*>(count);
    return 0;
}

/// Whether the dict holds a reference to each of its values in its own storage.
bool holds_own_values(PyObject* dict) noexcept {
    Py_ssize_t visited = 0;
    return g_traverse(dict, count_visit, &visited) == 0 && visited >= PyDict_GET_SIZE(dict);
}

/// Whether a change under `key` may alter what an entry read. Any exact str other than the six
/// keys can neither equal them nor run code when a lookup meets it; `value` is read on each
/// use. Anything else might: a key of another type, or of a str subclass, may compare equal to
/// a recipe key and run code when compared.
bool changes_reading(PyObject* key) noexcept {
    if (key == key_object(Key::Value)) [[likely]]
        return false;
    if (!PyUnicode_CheckExact(key)) return true;
    return recipe_key(key);
}

/// Runs before every change of a watched dict, also while it is being freed and during
/// interpreter shutdown: it only forgets the dict's entry, and neither allocates nor raises.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
    const bool keyed = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
                       event == PyDict_EVENT_DELETED;
    if (keyed && key && !changes_reading(key)) return 0;
    Slot* set = slot_set(dict);
    for (int i = 0; i < 2; ++i)
        if (set[i].dict == dict) set[i].dict = nullptr;  // its references go when the slot is taken
    return 0;
}

/// Whether an object's attribute dict that shares the object's storage fails holds_own_values.
bool shared_dicts_refused() {
    Ref type(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}",
                                   "item_cache_probe", reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!type.get()) return false;
    Ref object(PyObject_CallNoArgs(type.get()));
    // The attribute is set before the dict is asked for, so it lives in the object.
    if (!object.get() || PyObject_SetAttrString(object.get(), "bits", Py_True) < 0) return false;
    Ref dict(PyObject_GenericGetDict(object.get(), nullptr));
    return dict.get() && PyDict_CheckExact(dict.get()) && PyDict_GET_SIZE(dict.get()) == 1 &&
           !holds_own_values(dict.get());
}

/// Starts watching `dict`, if it can be watched.
bool watch(PyObject* dict) noexcept {
    if (g_watcher < 0 || !holds_own_values(dict)) return false;
    PyObject* pending = PyErr_GetRaisedException();
    const bool watched = PyDict_Watch(g_watcher, dict) == 0;
    if (!watched) PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return watched;
}

/// Stops watching the dict of a watched slot about to be taken (its dict is alive: it would
/// have been cleared first).
void unwatch(const Slot& slot) noexcept {
    if (!slot.watched || !slot.dict) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (PyDict_Unwatch(g_watcher, slot.dict) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

}  // namespace

void prepare() noexcept {
#ifndef Py_GIL_DISABLED
    if (g_watcher >= 0 || g_traverse) return;
    PyObject* pending = PyErr_GetRaisedException();
    g_traverse = reinterpret_cast<traverseproc>(PyType_GetSlot(&PyDict_Type, Py_tp_traverse));
    // Every watcher slot of the interpreter may be taken; then every entry is compared.
    if (g_traverse && shared_dicts_refused()) g_watcher = PyDict_AddWatcher(on_dict_event);
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
#endif
}

bool find(PyObject* dict, Entry& out, bool unchanged) noexcept {
#ifdef Py_GIL_DISABLED
    (void)dict;
    (void)out;
    (void)unchanged;
    return false;  // the table relies on the interpreter lock
#else
    Slot* set = slot_set(dict);
    for (int i = 0; i < 2; ++i) {
        const Slot& slot = set[i];
        if (slot.dict == dict && (slot.watched || unchanged || slot.matches(dict))) [[likely]] {
            out = slot.entry;
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
    if (slot && slot->holds(dict)) {
        // Both entries read the same unchanged dict; only the direction's encoding differs.
        if (merged.pack == Entry::kUnresolved) merged.pack = slot->entry.pack;
        if (merged.unpack == Entry::kUnresolved) merged.unpack = slot->entry.unpack;
    }
    if (!slot) {
        // A free slot, or else the older one of the set, gives way.
        if (set[0].dict) std::swap(set[0], set[1]);
        slot = &set[0];
        unwatch(*slot);
    }
    slot->clear();
    slot->dict = dict;
    slot->watched = watch(dict);
    if (!slot->watched) {
        slot->count = count;
        for (Py_ssize_t i = 0; i < count; ++i) {
            slot->keys[i] = Py_NewRef(fresh.keys[i]);
            slot->values[i] = Py_XNewRef(fresh.values[i]);
        }
    }
    slot->entry = merged;
    Py_INCREF(slot->entry.name);
#endif
}

int lookup_value(PyObject* dict, std::int32_t hint, Ref& out) {
    if (hint >= 0) {
        // Usually still `value`'s place; other keys may have come or gone since, so the key
        // found there is checked.
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
