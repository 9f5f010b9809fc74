// The validators of a request's selectors.
#include "dispatch.hpp"
#include "members.hpp"

namespace plexor::members {
namespace {

// Refuses with ConnectionInfraError(prefix + str(value)).
int refuse_with_value(const char* prefix, PyObject* value) noexcept {
    InfraError error;
    if (!error) return -1;
    Ref head = text(prefix);
    if (!head) return -1;
    Ref shown = str_of(value);
    if (!shown) return -1;
    return error.raise(concat({head.get(), shown.get()}));
}

// Refuses with ConnectionInfraError(head + str(self.<list>) + middle + str(value)),
// the list attribute read afresh for the message.
int refuse_with_list(const char* head, SelfLookup& self, Attr list_name, const char* middle,
                     PyObject* value) noexcept {
    self.code_may_run();  // the class is looked up by name
    InfraError error;
    if (!error) return -1;
    Ref list = self.attribute(list_name);
    if (!list) return -1;
    Ref head_text = text(head);
    if (!head_text) return -1;
    Ref list_text = str_of(list.get());
    if (!list_text) return -1;
    Ref middle_text = text(middle);
    if (!middle_text) return -1;
    Ref value_text = str_of(value);
    if (!value_text) return -1;
    return error.raise(
        concat({head_text.get(), list_text.get(), middle_text.get(), value_text.get()}));
}

bool exact_str_islower(PyObject* s) noexcept {
    if (PyUnicode_IS_ASCII(s)) {
        const auto* chars = static_cast<const unsigned char*>(PyUnicode_DATA(s));
        bool cased = false;
        for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i) {
            if (chars[i] >= 'A' && chars[i] <= 'Z') return false;
            cased = cased || (chars[i] >= 'a' && chars[i] <= 'z');
        }
        return cased;
    }
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    bool cased = false;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (Py_UNICODE_ISUPPER(ch) || Py_UNICODE_ISTITLE(ch)) return false;
        if (Py_UNICODE_ISLOWER(ch)) cased = true;
    }
    return cased;
}

bool exact_str_isdigit(PyObject* s) noexcept {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
        const auto* chars = static_cast<const unsigned char*>(data);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (chars[i] < '0' || chars[i] > '9') return false;
        return n > 0;
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) return false;
    return n > 0;
}

// Truth of value.<method>(), -1 on error.
int method_truth(PyObject* value, PyObject* method) noexcept {
    Ref result = call_attr(value, method, {});
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

// 1 when the text is in lower case or all digits, as its own islower/isdigit say.
int passes_case_test(PyObject* value) noexcept {
    if (PyUnicode_CheckExact(value)) {
        if (compat::ready_text(value) < 0) return -1;
        return exact_str_islower(value) || exact_str_isdigit(value);
    }
    const int lower = method_truth(value, runtime.names.islower);
    if (lower != 0) return lower;
    return method_truth(value, runtime.names.isdigit);
}

// Sentinel of search_plain_texts: the search needs the containment protocol.
constexpr int kNotPlainTexts = -2;

// `value in container` for a plain list of plain texts asked for a plain
// text, which compares without running any code; kNotPlainTexts otherwise.
int search_plain_texts(PyObject* container, PyObject* value) noexcept {
    if (!PyList_CheckExact(container) || !PyUnicode_CheckExact(value)) return kNotPlainTexts;
    if (compat::ready_text(value) < 0) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        Ref item = Ref::steal(compat::list_item_ref(container, i));
        if (!item) return 0;
        if (!PyUnicode_CheckExact(item.get())) return kNotPlainTexts;
        if (compat::ready_text(item.get()) < 0) return -1;
        if (same_text(item.get(), value)) return 1;
    }
}

int check_model(PyObject* os, PyObject* platform, PyObject* model) noexcept {
    int given = truth(model);
    if (given <= 0) return given;
    int complete = truth(platform);
    if (complete < 0) return -1;
    if (complete) {
        complete = truth(os);
        if (complete < 0) return -1;
    }
    if (!complete) return refuse_with_value("OS and platform are required for Model: ", model);
    if (!PyUnicode_Check(model)) return refuse("Model should be of type str");
    const int passes = passes_case_test(model);
    if (passes < 0) return -1;
    if (passes) return 0;
    return refuse_remainder(" Model (%s) has to be in lowecase", model);
}

int check_platform(PyObject* os, PyObject* platform) noexcept {
    int given = truth(platform);
    if (given <= 0) return given;
    if (os == Py_None)
        return refuse_with_value("OS information not provided for platform: ", platform);
    if (!PyUnicode_Check(platform)) return refuse("platform should be of type str");
    const int passes = passes_case_test(platform);
    if (passes < 0) return -1;
    if (passes) return 0;
    return refuse_remainder("platform (%s) has to be in lowercase", platform);
}

// 1 when `value` is in the list bound to self.<list_name>.
int listed(SelfLookup& self, Attr list_name, PyObject* value) noexcept {
    Ref list = self.attribute(list_name);
    if (!list) return -1;
    const int found = search_plain_texts(list.get(), value);
    if (found != kNotPlainTexts) return found;
    self.code_may_run();  // the items' comparisons
    return PySequence_Contains(list.get(), value);
}

int log_unlisted_os(SelfLookup& self, PyObject* os) noexcept {
    self.code_may_run();
    Ref debug = log_debug();
    if (!debug) return -1;
    Ref notice = format_one("%s is not part of the built-in list of supported OSes.", os);
    if (!notice) return -1;
    return discard(call(debug.get(), {notice.get()}));
}

int check_os(SelfLookup& self, PyObject* os) noexcept {
    if (!is_plain(os)) self.code_may_run();
    int given = truth(os);
    if (given < 0) return -1;
    if (given) {
        const int known = listed(self, Attr::supported_os, os);
        if (known < 0) return -1;
        if (!known) return log_unlisted_os(self, os);
    }
    given = truth(os);
    if (given < 0) return -1;
    if (given) return 0;
    return refuse_with_list("OS should be one of these ", self, Attr::supported_os, " , but got ",
                            os);
}

int check_chassis_type(SelfLookup& self, PyObject* chassis_type) noexcept {
    if (!is_plain(chassis_type)) self.code_may_run();
    const int given = truth(chassis_type);
    if (given < 0) return -1;
    if (given) {
        const int known = listed(self, Attr::chassis_type_list, chassis_type);
        if (known < 0) return -1;
        if (known) return 0;
    }
    return refuse_with_list("chassis Type should be one of these ", self, Attr::chassis_type_list,
                            ", but got ", chassis_type);
}

int is_linux(PyObject* os) noexcept {
    PyObject* linux_os = runtime.names.linux_os;
    if (os == linux_os) return 1;
    if (PyUnicode_CheckExact(os)) {
        // The length is only meaningful once the text is in its canonical form.
        if (compat::ready_text(os) < 0) return -1;
        return PyUnicode_GET_LENGTH(os) == PyUnicode_GET_LENGTH(linux_os) &&
               PyUnicode_Compare(os, linux_os) == 0;
    }
    Ref equal = Ref::steal(PyObject_RichCompare(os, linux_os, Py_EQ));
    if (!equal) return -1;
    return PyObject_IsTrue(equal.get());
}

// Runs the validator self.<attr>: the module's own check when the attribute is
// the module's own method, otherwise a call with `values` bound to the names
// `kwnames`. A check of selectors that are not all plain may run their code.
template <typename Check>
int run_validator(SelfLookup& self, Attr attr, bool plain, Check check,
                  std::initializer_list<PyObject*> values, PyObject* kwnames) noexcept {
    MethodCall validator(self, attr);
    if (!validator) return -1;
    if (!validator.is_own_method()) return discard(validator.call_keywords(values, kwnames));
    if (!plain) self.code_may_run();
    return check();
}

// Each body reads its parameters in the order of its signature.
PyObject* validate_model_body(MemberState&, PyObject* const* params) noexcept {
    PyObject* const os = params[1];
    PyObject* const platform = params[2];
    PyObject* const model = params[3];
    return none_or_error(check_model(os, platform, model));
}
PyObject* validate_platform_body(MemberState&, PyObject* const* params) noexcept {
    PyObject* const os = params[1];
    PyObject* const platform = params[2];
    return none_or_error(check_platform(os, platform));
}
PyObject* validate_os_body(MemberState& state, PyObject* const* params) noexcept {
    SelfLookup self(params[0], state.plans);
    PyObject* const os = params[1];
    return none_or_error(check_os(self, os));
}
PyObject* validate_chassis_type_body(MemberState& state, PyObject* const* params) noexcept {
    SelfLookup self(params[0], state.plans);
    PyObject* const chassis_type = params[1];
    return none_or_error(check_chassis_type(self, chassis_type));
}
PyObject* validate_arguments_entry(MemberState& state, PyObject* const* params) noexcept {
    SelfLookup self(params[0], state.plans);
    PyObject* const os = params[1];
    PyObject* const platform = params[2];
    PyObject* const model = params[3];
    PyObject* const chassis_type = params[4];
    return none_or_error(validate_arguments_body(self, os, platform, model, chassis_type));
}

}  // namespace

int validate_arguments_body(SelfLookup& self, PyObject* os, PyObject* platform, PyObject* model,
                            PyObject* chassis_type) noexcept {
    const KeywordSets& kw = runtime.keywords;
    // Checks of plain selectors run no code; others may, through the values.
    const bool plain = is_plain(os) && is_plain(platform) && is_plain(model);

    const int model_status = run_validator(
        self, Attr::validate_model, plain, [&] { return check_model(os, platform, model); },
        {os, platform, model}, kw.os_platform_model);
    if (model_status < 0) return -1;

    const int platform_status = run_validator(
        self, Attr::validate_platform, plain, [&] { return check_platform(os, platform); },
        {platform, os}, kw.platform_os);
    if (platform_status < 0) return -1;

    // check_os releases the view itself before each step that may run code.
    const int os_status = run_validator(
        self, Attr::validate_os, true, [&] { return check_os(self, os); }, {os}, kw.os);
    if (os_status < 0) return -1;

    if (!PyUnicode_CheckExact(os)) self.code_may_run();
    const int linux_os = is_linux(os);
    if (linux_os < 0) return -1;
    if (linux_os > 0) return 0;

    return run_validator(
        self, Attr::validate_chassis_type, true,
        [&] { return check_chassis_type(self, chassis_type); }, {chassis_type}, kw.chassis_type);
}

const Member validate_model = {
    "validate_model",
    "\n         Validates Model\n        ",
    4,
    {"self", "os", "platform", "model"},
    0,
    {},
    validate_model_body,
};
const Member validate_platform = {
    "validate_platform",
    "\n         Validates platform\n        ",
    3,
    {"self", "os", "platform"},
    0,
    {},
    validate_platform_body,
};
const Member validate_os = {
    "validate_os", "\n         Validates OS\n        ", 2, {"self", "os"}, 0, {}, validate_os_body,
};
const Member validate_chassis_type = {
    "validate_chassis_type",
    "\n         Validate chassis\n        ",
    2,
    {"self", "chassis_type"},
    0,
    {},
    validate_chassis_type_body,
};
const Member validate_arguments = {
    "validate_arguments",
    " Validates the input arguments provided\n        ",
    5,
    {"self", "os", "platform", "model", "chassis_type"},
    0,
    {},
    validate_arguments_entry,
};

}  // namespace plexor::members
