// Calls made the way the interpreter makes them, without the objects a
// general call builds on the way (for hot paths; everything else may keep
// nanobind's call syntax):
//
//   obj.method(a, b)   -> call_method(obj, "method", a, b)   no bound method object
//   fn(a, b)           -> call(fn, a, b)                     no argument tuple
//   fn(a, k=v)         -> static const keywords kw{"k"};     keyword names interned and
//                         call_kw(fn, kw, a, v)              packed once per call site
//
// Arguments are handles (a `ref` or nb::handle); temporaries live until the
// call returns.
#pragma once

#include "frame/frame.hpp"

#include <initializer_list>
#include <vector>

namespace simsig {

namespace detail {
inline ref call_result(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return ref(nb::steal(result));
}
} // namespace detail

// obj.method(*args), looked up like the interpreter's method calls: a method
// defined on the class is called unbound with obj as its first argument; any
// other attribute (an instance attribute, a module's function) is fetched
// and called.
template <typename... Args>
ref call_method(nb::handle obj, const char *method, const Args &...args) {
    PyObject *stack[] = {obj.ptr(), nb::handle(args).ptr()...};
    return detail::call_result(PyObject_VectorcallMethod(
        name(method).ptr(), stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
        nullptr));
}

// fn(*args)
template <typename... Args>
ref call(nb::handle fn, const Args &...args) {
    PyObject *stack[] = {nullptr, nb::handle(args).ptr()...};
    return detail::call_result(PyObject_Vectorcall(
        fn.ptr(), stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// module.attribute, read now. For a module object whose namespace holds the
// name that is the namespace entry (a module defines no attribute of its own
// under a name that does not start with "__"); anything else is getattr.
ref module_attr(nb::handle module, const char *attribute);

// The keyword names of one call site. The tuple of interned names is built at
// the first call (under the GIL) and kept for the life of the process.
class keywords {
public:
    keywords(std::initializer_list<const char *> names) : m_names(names) {}
    size_t size() const { return m_names.size(); }
    PyObject *tuple() const;

private:
    std::vector<const char *> m_names;
    mutable PyObject *m_tuple = nullptr;
};

// fn(*positional, **dict(zip(kw, keyword_values))): the last kw.size()
// arguments are the keyword values, in the order of kw.
template <typename... Args>
ref call_kw(nb::handle fn, const keywords &kw, const Args &...args) {
    PyObject *stack[] = {nullptr, nb::handle(args).ptr()...};
    size_t positional = sizeof...(Args) - kw.size();
    return detail::call_result(PyObject_Vectorcall(
        fn.ptr(), stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.tuple()));
}

} // namespace simsig
