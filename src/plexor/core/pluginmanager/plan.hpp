// What attribute access on `self` finds for the names the methods read: the
// plan of self's class, and, where dictionaries keep a version tag, what
// self's instance dictionary holds. Each member function keeps those of the
// last few classes and dictionaries it served, each trusted while the
// version tag it was made under is current.
#pragma once

#include "compat.hpp"

#include <array>
#include <cstdint>

namespace plexor {

struct Member;

// The attributes the methods read from `self`, by the name of their interned
// text in runtime.hpp. The first six are methods of the class.
#define PLEXOR_SELF_ATTRIBUTES(X) \
    X(validate_arguments)         \
    X(validate_model)             \
    X(validate_platform)          \
    X(validate_os)                \
    X(validate_chassis_type)      \
    X(print_tree)                 \
    X(plugins)                    \
    X(supported_os)               \
    X(chassis_type_list)

enum class Attr {
#define PLEXOR_ATTR_ENUMERATOR(id) id,
    PLEXOR_SELF_ATTRIBUTES(PLEXOR_ATTR_ENUMERATOR)
#undef PLEXOR_ATTR_ENUMERATOR
        count
};
inline constexpr int kAttrCount = static_cast<int>(Attr::count);

constexpr uint32_t attr_bit(Attr attr) { return 1U << static_cast<unsigned int>(attr); }

struct ClassPlan {
    // The class, compared with Py_TYPE(self) and never dereferenced, and the
    // version tag it had when planned. The interpreter renews a class's tag
    // on every change of the class or of its bases, and never hands out a tag
    // twice, so the pair names one state of one class even after the class
    // is freed and another takes its address.
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    // This module's own method of each name, where the class holds it.
    std::array<const Member*, kAttrCount> native{};
    uint32_t defined = 0;  // names the class or a base defines
};

// The last few entries a member function made, a new one replacing the
// oldest, so that managers of several classes or dictionaries used in turn
// each keep theirs.
template <typename Entry>
struct Recent {
    static constexpr int kCapacity = 4;
    std::array<Entry, kCapacity> entries{};
    int next = 0;  // the entry a new one replaces

    // The first entry that `matches`, or null.
    template <typename Matches>
    const Entry* find(Matches matches) const noexcept {
        for (const Entry& entry : entries)
            if (matches(entry)) return &entry;
        return nullptr;
    }

    // The entry to fill with a new one, emptied.
    Entry& replace() noexcept {
        Entry& entry = entries[static_cast<size_t>(next)];
        next = (next + 1) % kCapacity;
        entry = Entry{};
        return entry;
    }
};

#if PLEXOR_DICT_VERSIONS
// What an instance dictionary held under the names at one version. The
// dictionary is compared with self's own and read only when it is that one;
// while it is still at `version` it holds `values`, which are borrowed: so a
// dictionary, and the manager that owns it, are never kept alive by a view.
struct DictView {
    PyObject* dict = nullptr;
    uint64_t version = 0;
    bool viewable = false;  // false: keys other than interned texts, or too many
    std::array<PyObject*, kAttrCount> values{};
};

#endif

struct SelfPlan {
    Recent<ClassPlan> classes;
#if PLEXOR_DICT_VERSIONS
    Recent<DictView> dicts;
#endif
};

}  // namespace plexor
