// What recipe item dicts resolved to, remembered between calls so that a recipe used again is
// not read and resolved key by key again. This, and the one dict watcher that keeps it fresh,
// is the only state the walks keep between calls.
//
// An entry is used only while its dict still reads as it did when the entry was made. Only
// dicts of at most eight keys, all exact str, whose recipe values are exact str, exact int or
// the bool singletons, are remembered: reading those runs no code and gives the same result
// every time. A dict is known unchanged in one of two ways:
// - Watched: a dict that holds its values in its own storage is watched by the module's dict
//   watcher, which drops the entry before any change that could alter the reading (or before
//   the dict goes away); using the entry costs no reading at all.
// - Compared: any other dict (one that shares its storage with an object's attributes, whose
//   stores reach no watcher; or every dict when no watcher could be had) keeps the very same
//   key objects, in the same order, with the very same values under the six keys an entry is
//   made from, checked on each use: the entry holds references to those objects (never to
//   `value` or to other keys' values), so none of them can be replaced by another object at
//   the same address.
// At most 2048 entries are kept; a dict that goes away or changes leaves its entry's references
// held until another takes the slot. prepare() registers the watcher once, at import.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "recipe.hpp"

namespace bitloom::recipe::item_cache {

struct Entry {
    static constexpr std::uint8_t kUnresolved = 0xFF;
    PyObject* name;  // held by the cache while the entry lives
    std::uint64_t offset;
    std::uint32_t bits;
    std::int32_t value_entry;  // where `value` lies among the dict's entries, or -1
    bool has_offset;
    bool reverse;
    bool little;
    std::uint8_t pack;    // PackEncoding, resolved and width-checked, or kUnresolved
    std::uint8_t unpack;  // UnpackEncoding, or kUnresolved
};

/// Registers the dict watcher and checks that this interpreter's attribute dicts that share
/// an object's storage are told apart; without both, every entry is compared on each use.
/// Runs interpreter code; never fails (an exception raised meanwhile is cleared).
void prepare() noexcept;

/// Copies the entry of `dict` into `out` when the dict still holds what it was made from.
/// With `unchanged`, the caller knows that the dict has not changed since an earlier find in
/// the same call (no interpreter code has run since), and the contents are not compared again.
bool find(PyObject* dict, Entry& out, bool unchanged = false) noexcept;

/// Remembers `entry` for `dict`, whose keys were just read without running any code, merged
/// with the other direction's encoding if that is known already. Does nothing for a dict that
/// cannot be remembered.
void remember(PyObject* dict, const Entry& entry) noexcept;

/// Looks up `value`, first at the entry `hint` names.
/// 1: found, `out` holds a new reference; 0: absent; -1: an exception is set.
int lookup_value(PyObject* dict, std::int32_t hint, Ref& out);

}  // namespace bitloom::recipe::item_cache
