// The module's own enumeration of installed entry points (iter_entry_points).
#include "entry_points.hpp"

#include <algorithm>
#include <string_view>

namespace plexor {
namespace {

// sys.<name> as a reference of its own; RuntimeError "lost sys.<name>" when
// sys has no such attribute.
Ref sys_attribute(const char* name) noexcept {
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys) return Ref();
    Ref value = Ref::steal(PyObject_GetAttrString(sys.get(), name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Format(PyExc_RuntimeError, "lost sys.%s", name);
    return Ref();
}

// A part of an entry point's value by its name in the entry point's own
// pattern ("module", "attr"): the attribute of that name from 3.9 on, before
// that the group of the pattern's match. None for an attr the value lacks.
Ref entry_point_part(PyObject* entry_point, const char* part) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(entry_point, part));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    Ref pattern = Ref::steal(PyObject_GetAttrString(entry_point, "pattern"));
    if (!pattern) return Ref();
    Ref whole = Ref::steal(PyObject_GetAttrString(entry_point, "value"));
    if (!whole) return Ref();
    Ref match = call_attr(pattern.get(), runtime.names.match, {whole.get()});
    if (!match) return Ref();
    return Ref::steal(PyObject_CallMethod(match.get(), "group", "s", part));
}

// Raises ImportError(str(error)) from the AttributeError being raised, as
// `raise ImportError(str(exc)) from exc` in its handler would.
void raise_import_error_from_attribute_error() noexcept {
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    Ref message = str_of(cause.get());
    if (!message) return;
    Ref error = call(PyExc_ImportError, {message.get()});
    if (!error) return;
    PyException_SetContext(error.get(), Ref(cause).release());
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
}

// __import__(module_name, fromlist=['__name__'], level=0), with
// builtins.__import__ as it is now: with a from-list the module itself comes
// back, not its top-level package.
Ref import_leaf_module(PyObject* module_name) noexcept {
    Ref import = builtin_import();
    if (!import) return Ref();
    Ref fromlist = list_of(&runtime.names.dunder_name, 1);
    if (!fromlist) return Ref();
    Ref level = Ref::steal(PyLong_FromLong(0));
    if (!level) return Ref();
    Ref keywords = Ref::steal(Py_BuildValue("(ss)", "fromlist", "level"));
    if (!keywords) return Ref();
    PyObject* args[] = {module_name, fromlist.get(), level.get()};
    return Ref::steal(PyObject_Vectorcall(import.get(), args, 1, keywords.get()));
}

// load() of a record, bound to the tuple (module name, attribute names). It
// resolves as pkg_resources' EntryPoint.load() does, without the requirement
// checks, for which the standard library has no resolver: the module through
// builtins.__import__, so that import hooks see it, then each attribute in
// turn; a missing attribute raises ImportError from the AttributeError.
PyObject* load_entry_point(PyObject* target, PyObject*) noexcept {
    PyObject* attributes = PyTuple_GET_ITEM(target, 1);
    Ref loaded = import_leaf_module(PyTuple_GET_ITEM(target, 0));
    if (!loaded) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(attributes); ++i) {
        loaded = Ref::steal(PyObject_GetAttr(loaded.get(), PyTuple_GET_ITEM(attributes, i)));
        if (loaded) continue;
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) raise_import_error_from_attribute_error();
        return nullptr;
    }
    return loaded.release();
}

PyMethodDef load_method = {"load", load_entry_point, METH_NOARGS,
                           "Imports the entry point's module and returns the object it names."};

// The state of one enumeration.
struct Enumeration {
    PyObject* group = nullptr;  // the call's arguments
    PyObject* name = nullptr;
    Ref distributions;    // importlib.metadata.distributions
    Ref separators;       // pattern of the runs of "-", "_" and "." in a name
    Ref path_keyword;     // ("path",)
    Ref record_type;      // the simple namespace type
    Ref record_keywords;  // ("name", "module_name", "load", "dist")
    Ref taken;            // normal names of the distributions taken so far
    Ref records;          // list of the records made
};

// The simple namespace type, that of sys.implementation.
Ref namespace_type() noexcept {
    Ref implementation = sys_attribute("implementation");
    if (!implementation) return Ref();
    return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(implementation.get())));
}

int start_enumeration(Enumeration& run) noexcept {
    const Names& n = runtime.names;
    run.record_type = namespace_type();
    if (!run.record_type) return -1;
    Ref metadata = Ref::steal(PyImport_ImportModule("importlib.metadata"));
    if (!metadata) return -1;
    run.distributions = Ref::steal(PyObject_GetAttrString(metadata.get(), "distributions"));
    if (!run.distributions) return -1;
    Ref re = Ref::steal(PyImport_ImportModule("re"));
    if (!re) return -1;
    run.separators = Ref::steal(PyObject_CallMethod(re.get(), "compile", "s", "[-_.]+"));
    if (!run.separators) return -1;
    Ref dist = text("dist");
    if (!dist) return -1;
    run.path_keyword = tuple_of({n.path});
    if (!run.path_keyword) return -1;
    run.record_keywords = tuple_of({n.name, n.module_name, n.load, dist.get()});
    if (!run.record_keywords) return -1;
    run.taken = Ref::steal(PySet_New(nullptr));
    if (!run.taken) return -1;
    run.records = Ref::steal(PyList_New(0));
    if (!run.records) return -1;
    return 0;
}

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) noexcept {
    if (text.size() < suffix.size()) return false;
    text.remove_prefix(text.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i)
        if (Py_TOLOWER(text[i]) != suffix[i]) return false;
    return true;
}

// The name that a metadata directory's own name gives ("name-version.dist-info",
// "name.egg-info"): the text before the first "-"; empty for other paths.
std::string_view name_in_directory(std::string_view path) noexcept {
    const size_t separator = path.find_last_of("/\\");  // a Windows path may hold either
    if (separator != std::string_view::npos) path.remove_prefix(separator + 1);
    for (std::string_view suffix : {std::string_view(".dist-info"), std::string_view(".egg-info")})
        if (ends_with_ignoring_case(path, suffix))
            return path.substr(0, std::min(path.find('-'), path.size() - suffix.size()));
    return {};
}

// The name of a distribution found on a path: the one its metadata directory's
// name gives, as pkg_resources takes it; None when it has no path or the path
// gives none.
Ref name_from_directory(PyObject* dist) noexcept {
    Ref directory = Ref::steal(PyObject_GetAttrString(dist, "_path"));
    if (!directory) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    Ref path = str_of(directory.get());
    if (!path) return Ref();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(path.get(), &size);
    if (utf8 == nullptr) {  // a file name that is not UTF-8
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    const std::string_view name = name_in_directory({utf8, static_cast<size_t>(size)});
    if (name.empty()) return Ref::borrow(Py_None);
    return Ref::steal(
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// `Name` of a distribution's metadata; None when it has none.
Ref name_from_metadata(PyObject* dist) noexcept {
    Ref metadata = Ref::steal(PyObject_GetAttrString(dist, "metadata"));
    if (!metadata || metadata.get() == Py_None) return metadata;
    return Ref::steal(PyObject_CallMethod(metadata.get(), "get", "s", "Name"));
}

// The PEP 503 normal form of a distribution's name (lower case, each run of
// "-", "_" and "." one "-"), or None when it has no name: neither its metadata
// directory's name nor its metadata names it. The metadata is read only in
// that case, as reading it costs more than all the rest of an enumeration.
Ref normal_name(const Enumeration& run, PyObject* dist) noexcept {
    Ref name = name_from_directory(dist);
    if (name && name.get() == Py_None) name = name_from_metadata(dist);
    if (!name) return Ref();
    if (!PyUnicode_Check(name.get()) || PyUnicode_GET_LENGTH(name.get()) == 0)
        return Ref::borrow(Py_None);
    Ref joined =
        Ref::steal(PyObject_CallMethod(run.separators.get(), "sub", "sO", "-", name.get()));
    if (!joined) return Ref();
    return Ref::steal(PyObject_CallMethod(joined.get(), "lower", nullptr));
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

std::string_view leading_digits(std::string_view text) noexcept {
    size_t end = 0;
    while (end < text.size() && is_digit(text[end])) ++end;
    return text.substr(0, end);
}

// A number without its leading zeros ("" stands for 0).
std::string_view significant(std::string_view digits) noexcept {
    const size_t first = digits.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view() : digits.substr(first);
}

// Numbers of any length, compared by value: -1, 0 or 1.
int compare_numbers(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    const int order = a.compare(b);
    return (order > 0) - (order < 0);
}

// The numbers of a version's release, read one by one: the epoch "N!" when
// there is one, then "N.N..." up to the first character that continues
// neither, so "2.0rc1" reads as 2.0 and a version without numbers as 0.
// Blanks and a "v" before the numbers are skipped.
class ReleaseReader {
public:
    explicit ReleaseReader(std::string_view version) noexcept : rest_(version) {
        while (!rest_.empty() && (rest_.front() == ' ' || rest_.front() == '\t'))
            rest_.remove_prefix(1);
        if (!rest_.empty() && (rest_.front() == 'v' || rest_.front() == 'V'))
            rest_.remove_prefix(1);
        const std::string_view digits = leading_digits(rest_);
        if (!digits.empty() && rest_.size() > digits.size() && rest_[digits.size()] == '!') {
            epoch_ = significant(digits);
            rest_.remove_prefix(digits.size() + 1);
        }
        more_ = !leading_digits(rest_).empty();
    }

    std::string_view epoch() const noexcept { return epoch_; }
    bool exhausted() const noexcept { return !more_; }

    // The next number of the release; "" (0) once they are exhausted.
    std::string_view next() noexcept {
        if (!more_) return {};
        const std::string_view digits = leading_digits(rest_);
        rest_.remove_prefix(digits.size());
        more_ = rest_.size() > 1 && rest_[0] == '.' && is_digit(rest_[1]);
        if (more_) rest_.remove_prefix(1);
        return significant(digits);
    }

private:
    std::string_view rest_;
    std::string_view epoch_;
    bool more_ = false;
};

// Two versions by their releases, number by number ("10.0" above "9.0",
// "1.0" equal to "1"): -1, 0 or 1.
int compare_versions(std::string_view a, std::string_view b) noexcept {
    ReleaseReader left(a);
    ReleaseReader right(b);
    int order = compare_numbers(left.epoch(), right.epoch());
    while (order == 0 && !(left.exhausted() && right.exhausted()))
        order = compare_numbers(left.next(), right.next());
    return order;
}

// The metadata's `Version` of a distribution; "" when it has none.
Ref version_of(PyObject* dist) noexcept {
    Ref metadata = Ref::steal(PyObject_GetAttrString(dist, "metadata"));
    if (!metadata) return Ref();
    if (metadata.get() == Py_None) return Ref::borrow(runtime.names.empty);
    Ref version = Ref::steal(PyObject_CallMethod(metadata.get(), "get", "s", "Version"));
    if (!version || PyUnicode_Check(version.get())) return version;
    return Ref::borrow(runtime.names.empty);
}

std::string_view utf8_of(PyObject* version) noexcept {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(version, &size);
    if (utf8 != nullptr) return {utf8, static_cast<size_t>(size)};
    PyErr_Clear();  // lone surrogates: no numbers to read
    return {};
}

// The distribution of sort key `index`, a key (normal name, rank, distribution).
Ref key_distribution(PyObject* keys, Py_ssize_t index) noexcept {
    return Ref::borrow(PyTuple_GET_ITEM(PyList_GET_ITEM(keys, index), 2));
}

// Moves the copy with the highest version among keys[start:end], copies of one
// name, to the front of them; of equal versions, the first stays.
int put_highest_version_first(PyObject* keys, Py_ssize_t start, Py_ssize_t end) noexcept {
    Py_ssize_t highest = start;
    Ref highest_version = version_of(key_distribution(keys, start).get());
    if (!highest_version) return -1;
    for (Py_ssize_t i = start + 1; i < end; ++i) {
        Ref version = version_of(key_distribution(keys, i).get());
        if (!version) return -1;
        if (compare_versions(utf8_of(version.get()), utf8_of(highest_version.get())) <= 0) continue;
        highest = i;
        highest_version = std::move(version);
    }
    if (highest == start) return 0;
    Ref first = Ref::borrow(PyList_GET_ITEM(keys, start));
    Ref chosen = Ref::borrow(PyList_GET_ITEM(keys, highest));
    PyList_SetItem(keys, start, chosen.release());
    PyList_SetItem(keys, highest, first.release());
    return 0;
}

// True when sort keys `a` and `b` have one normal name (texts made here, whose
// comparison runs no code).
bool same_name(PyObject* keys, Py_ssize_t a, Py_ssize_t b) noexcept {
    return PyUnicode_Compare(PyTuple_GET_ITEM(PyList_GET_ITEM(keys, a), 0),
                             PyTuple_GET_ITEM(PyList_GET_ITEM(keys, b), 0)) == 0;
}

// Two copies of one name in one path entry (an install gone wrong): the one
// with the highest version goes first, and so is the one taken. The keys are
// sorted by name; only copies have their versions read.
int order_namesakes(PyObject* keys) noexcept {
    const Py_ssize_t count = PyList_GET_SIZE(keys);
    Py_ssize_t start = 0;
    while (start < count) {
        Py_ssize_t end = start + 1;
        while (end < count && same_name(keys, start, end)) ++end;
        if (end - start > 1 && put_highest_version_first(keys, start, end) < 0) return -1;
        start = end;
    }
    return 0;
}

// The distributions of one sys.path entry as sort keys (normal name, rank,
// distribution), sorted; the rank is the position in the listing, which
// decides nothing unless two have one name. Those without a name are left out.
Ref distributions_in(const Enumeration& run, PyObject* entry) noexcept {
    Ref where = list_of(&entry, 1);
    if (!where) return Ref();
    Ref found = call_keywords(run.distributions.get(), {where.get()}, run.path_keyword.get());
    if (!found) return Ref();
    Ref iterator = Ref::steal(PyObject_GetIter(found.get()));
    if (!iterator) return Ref();
    Ref keys = Ref::steal(PyList_New(0));
    if (!keys) return Ref();
    for (Py_ssize_t position = 0;; ++position) {
        Ref dist = Ref::steal(PyIter_Next(iterator.get()));
        if (!dist) break;
        Ref name = normal_name(run, dist.get());
        if (!name) return Ref();
        if (name.get() == Py_None) continue;
        Ref rank = Ref::steal(PyLong_FromSsize_t(position));
        if (!rank) return Ref();
        Ref key = tuple_of({name.get(), rank.get(), dist.get()});
        if (!key) return Ref();
        if (PyList_Append(keys.get(), key.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    if (PyList_Sort(keys.get()) < 0) return Ref();
    if (order_namesakes(keys.get()) < 0) return Ref();
    return keys;
}

// 1 when the entry point is in the group and called `name` (any name when
// `name` is None).
int is_wanted(const Enumeration& run, PyObject* entry_point) noexcept {
    Ref group = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.group));
    if (!group) return -1;
    const int in_group = PyObject_RichCompareBool(group.get(), run.group, Py_EQ);
    if (in_group <= 0 || run.name == Py_None) return in_group;
    Ref own_name = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.name));
    if (!own_name) return -1;
    return PyObject_RichCompareBool(own_name.get(), run.name, Py_EQ);
}

// The names of the attribute path an entry point's value gives after its
// module ("module:a.b" gives ("a", "b")), as a tuple.
Ref attribute_names(PyObject* entry_point) noexcept {
    Ref attribute = entry_point_part(entry_point, "attr");
    if (!attribute) return Ref();
    if (attribute.get() == Py_None) return Ref::steal(PyTuple_New(0));
    Ref names = Ref::steal(PyUnicode_Split(attribute.get(), runtime.names.dot, -1));
    if (!names) return Ref();
    return Ref::steal(PyList_AsTuple(names.get()));
}

// The bound load() of an entry point (load_entry_point).
Ref entry_point_loader(PyObject* module, PyObject* entry_point) noexcept {
    Ref attributes = attribute_names(entry_point);
    if (!attributes) return Ref();
    Ref target = tuple_of({module, attributes.get()});
    if (!target) return Ref();
    return Ref::steal(PyCFunction_New(&load_method, target.get()));
}

// A record of an entry point with the members discovery uses (name,
// module_name, load()) and its distribution (dist).
Ref entry_point_record(const Enumeration& run, PyObject* entry_point, PyObject* dist) noexcept {
    Ref name = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.name));
    if (!name) return Ref();
    Ref module = entry_point_part(entry_point, "module");
    if (!module) return Ref();
    Ref load = entry_point_loader(module.get(), entry_point);
    if (!load) return Ref();
    return call_keywords(run.record_type.get(), {name.get(), module.get(), load.get(), dist},
                         run.record_keywords.get());
}

// Records the wanted entry points of a distribution, unless one of the same
// normal name has been taken before.
int take_distribution(Enumeration& run, PyObject* normal_name, PyObject* dist) noexcept {
    const int taken = PySet_Contains(run.taken.get(), normal_name);
    if (taken < 0) return -1;
    if (taken) return 0;
    if (PySet_Add(run.taken.get(), normal_name) < 0) return -1;
    Ref entry_points = Ref::steal(PyObject_GetAttr(dist, runtime.names.entry_points));
    if (!entry_points) return -1;
    Ref iterator = Ref::steal(PyObject_GetIter(entry_points.get()));
    if (!iterator) return -1;
    for (;;) {
        Ref entry_point = Ref::steal(PyIter_Next(iterator.get()));
        if (!entry_point) break;
        const int wanted = is_wanted(run, entry_point.get());
        if (wanted < 0) return -1;
        if (!wanted) continue;
        Ref record = entry_point_record(run, entry_point.get(), dist);
        if (!record) return -1;
        if (PyList_Append(run.records.get(), record.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject* iterate_entry_points(PyObject* group, PyObject* name) noexcept {
    Enumeration run;
    run.group = group;
    run.name = name;
    if (start_enumeration(run) < 0) return nullptr;
    Ref sys_path = sys_attribute("path");
    if (!sys_path) return nullptr;
    // A list of its own, which no code run meanwhile can change.
    Ref entries = Ref::steal(PySequence_List(sys_path.get()));
    if (!entries) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        Ref keys = distributions_in(run, PyList_GET_ITEM(entries.get(), i));
        if (!keys) return nullptr;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.get()); ++k) {
            PyObject* key = PyList_GET_ITEM(keys.get(), k);
            if (take_distribution(run, PyTuple_GET_ITEM(key, 0), PyTuple_GET_ITEM(key, 2)) < 0)
                return nullptr;
        }
    }
    return PyObject_GetIter(run.records.get());
}

}  // namespace plexor
