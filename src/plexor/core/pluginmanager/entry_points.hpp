// The module's own enumeration of installed entry points (iter_entry_points).
#pragma once

#include "runtime.hpp"

namespace plexor {

// An iterator over the entry points of `group` (and called `name`, unless it
// is None), each a record with name, module_name, load() and dist. Like
// pkg_resources, it takes only the first distribution of each name: the
// sys.path entries in their order, and the distributions of one entry sorted
// by name (the PEP 503 normal form), never in the order the file system lists
// them. A distribution's name is the one its metadata directory's name gives,
// else its metadata's Name; one with neither is skipped. Of two copies of one
// name in one entry, the one with the higher version is taken.
// importlib.metadata.entry_points() cannot serve: before 3.10 it lists a
// distribution once for each path entry that holds it, and no version sorts
// the distributions of one entry.
PyObject* iterate_entry_points(PyObject* group, PyObject* name) noexcept;

}  // namespace plexor
