// Calls made the way the interpreter makes them, without the objects a
// general call builds on the way (for hot paths; everything else may keep
// nanobind's call syntax):
//
//   obj.method(a, k=v) -> call_method(obj, "method", a, kwarg("k", v))   no bound method
//   fn(a, k=v)         -> call(fn, a, kwarg("k", v))     no argument tuple; the keyword
//                                                        names are interned already
//
// Arguments are handles (a `ref` or nb::handle); temporaries live until the
// call returns. Keyword arguments come last, as in Python.
//
// Why not nanobind's call operator everywhere: with keyword arguments it
// builds a new tuple of keyword names at every call, interning each name again.
#pragma once

#include "frame/frame.hpp"

#include <type_traits>

namespace simsig {

// One keyword argument: call(fn, a, kwarg("k", v)) is fn(a, k=v). `name` is a
// string literal.
struct kwarg {
    // A constructor, not an aggregate: kwarg("k", v) then compiles with
    // every C++20 compiler (Clang before 16 lacks parenthesised aggregates).
    kwarg(const char *keyword, nb::handle keyword_value) : name(keyword), value(keyword_value) {}
    const char *name;
    nb::handle value;
};

namespace detail {

inline ref call_result(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return ref(nb::steal(result));
}

inline PyObject *argument(nb::handle value) { return value.ptr(); }
inline PyObject *argument(const kwarg &keyword) { return keyword.value.ptr(); }

template <typename... Args>
constexpr size_t keyword_count() {
    return (size_t(std::is_same_v<Args, kwarg>) + ... + 0);
}

template <typename... Args>
constexpr bool keywords_last() {
    bool seen_keyword = false, ordered = true;
    ((seen_keyword = seen_keyword || std::is_same_v<Args, kwarg>,
      ordered = ordered && (std::is_same_v<Args, kwarg> || !seen_keyword)),
     ...);
    return ordered;
}

// The tuple of a call's keyword names (a new reference), kept per distinct
// list of name literals: a call site builds it once.
PyObject *keyword_names_tuple(const char *const *names, size_t count);

inline void add_keyword(const char **names, size_t &i, const kwarg &keyword) {
    names[i++] = keyword.name;
}
inline void add_keyword(const char **, size_t &, nb::handle) {}

// The tuple of a call's keyword names, or an empty ref when it has none.
template <typename... Args>
ref keyword_names(const Args &...args) {
    if constexpr (keyword_count<Args...>() == 0) {
        return ref();
    } else {
        const char *names[keyword_count<Args...>()];
        size_t i = 0;
        (add_keyword(names, i, args), ...);
        return nb::steal(keyword_names_tuple(names, keyword_count<Args...>()));
    }
}

} // namespace detail

// fn(*positional, **keywords)
template <typename... Args>
ref call(nb::handle fn, const Args &...args) {
    static_assert(detail::keywords_last<Args...>(), "keyword arguments come last");
    PyObject *stack[] = {nullptr, detail::argument(args)...};
    ref names = detail::keyword_names(args...);
    size_t positional = sizeof...(Args) - detail::keyword_count<Args...>();
    return detail::call_result(PyObject_Vectorcall(
        fn.ptr(), stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr()));
}

// obj.method(*positional, **keywords), looked up like the interpreter's method
// calls: a method defined on the class is called unbound with obj as its first
// argument; any other attribute (an instance attribute, a module's function)
// is fetched and called.
template <typename... Args>
ref call_method(nb::handle obj, const char *method, const Args &...args) {
    static_assert(detail::keywords_last<Args...>(), "keyword arguments come last");
    PyObject *stack[] = {obj.ptr(), detail::argument(args)...};
    ref names = detail::keyword_names(args...);
    size_t positional = 1 + sizeof...(Args) - detail::keyword_count<Args...>();
    return detail::call_result(PyObject_VectorcallMethod(
        name(method).ptr(), stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr()));
}

// module.attribute, read now. For a module object whose namespace holds the
// name that is the namespace entry (a module defines no attribute of its own
// under a name that does not start with "__"); anything else is getattr.
ref module_attr(nb::handle module, const char *attribute);

} // namespace simsig
