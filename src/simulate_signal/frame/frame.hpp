// The module frame: what every other folder may call.
//
// The module is Python semantics written in C++. Where nanobind's own API says
// it the way Python does, that is used directly:
//   - bool(x), in a condition / as a C++ bool         -> nb::bool_(x) / static_cast<bool>(...)
//   - a == b, a != b                                  -> a.equal(b), a.not_equal(b)
//   - str(x), repr(x), len(x)                         -> nb::str(x), nb::repr(x), nb::len(x)
//   - "text", 1.5, 3, True                            -> nb::str, nb::float_, nb::int_, nb::bool_
//   - {}, [], lst.append(x)                           -> nb::dict(), nb::list(), lst.append(x)
//   - (a, b, c), list(iterable)                       -> nb::make_tuple(a, b, c), nb::list(...)
//   - obj[key], obj[key] = value                      -> obj[key] (as a ref), obj[key] = value
//   - for item in obj: ...                            -> for (nb::handle item : obj)
//     (obj held as a ref or handle: a typed nb::list or nb::tuple iterates its
//     storage directly, borrowed, which only a local no Python code sees may do)
// The helpers below, and those of the frame's other headers, are the one way
// each remaining piece of those semantics is written:
//   - an interned str for a string literal            -> name("literal")
//   - read a module global at the moment of use       -> global(G::row)      (frame/globals.hpp)
//   - call a module-level helper through the module   -> call_helper<fn>(args...)
//                                                        (frame/helpers.hpp)
//   - fn(a, k=v), obj.method(a, k=v) on hot paths     -> call / call_method  (frame/calls.hpp)
//   - getattr(obj, name[, default]), hasattr          -> attr / attr_or(_none) / has_attr
//   - getattr(obj, name, None), call only if callable -> hook(obj, "name")
//   - isinstance(obj, cls), item in container         -> is_instance / contains
//   - d[key] if key in d (owned, never borrowed)      -> dict_get(d, key)
//   - obj.get(key[, default])                         -> method_get / get
//   - a, b = iterable                                 -> unpack(iterable, 2)
//   - `value or fallback`                             -> or_else(value, fallback)
//   - (a, b), dict(m), {"k": v, ...}, fn(**kwargs)    -> pair / dict_copy / dict_of /
//                                                        call_with_kwargs
//   - "%S: %R" % ..., str(a) + str(b)                 -> format / concat
//   - raise X(msg) / from None / from exc             -> raise / raise_from_none / raise_from
//   - except Exception as exc: ...                    -> catch_exception(...)
//   - one level deeper in a recursive walk            -> recursing(" while ...", f)
//   - logger.debug / logger.warning                   -> log_debug / log_warning
//   - a module-level function or method               -> def_function / make_function
//
// Every Python reference is held in a `ref` (an nb::object; see References).
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace nb = nanobind;

// How CPython ends a pipeline (daemon) thread at interpreter exit. 3.12 and
// 3.13 end a daemon thread that asks for the GIL once finalization has begun
// with pthread_exit() (POSIX) or _endthreadex() (Windows):
//  - glibc's pthread_exit unwinds the thread's C++ frames. libstdc++ enters
//    `catch (...)` handlers for that unwind, as the exception
//    abi::__forced_unwind, so every handler that would touch Python first
//    lets it through (SIMSIG_LET_FORCED_UNWIND_THROUGH). libc++abi runs only
//    the destructors then.
//  - macOS's pthread_exit and Windows' _endthreadex end the thread without
//    running its C++ frames.
// Either way no Python may be touched on the way out: destructors that call
// the C API ask thread_being_ended() first, and references are released
// through frame/exit_safe.h.
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define SIMSIG_LET_FORCED_UNWIND_THROUGH                                                          \
    catch (abi::__forced_unwind &) {                                                             \
        throw;                                                                                   \
    }
#else
#define SIMSIG_LET_FORCED_UNWIND_THROUGH
#endif

namespace simsig {

// ---------------------------------------------------------------------------
// References.
//
// `ref` is the module's name for an owned Python reference. Releasing one is
// safe even on a daemon thread that the interpreter ends at exit: every
// decrement in the module goes through frame/exit_safe.h, which leaks instead
// once interpreter exit has begun.
using ref = nb::object;
bool interpreter_exiting() noexcept;

// ---------------------------------------------------------------------------
// Names: interned Python strings, created once per literal and kept for the
// life of the process. Use only with string literals: a literal's address is
// its key, and a small direct-mapped table of recent ones answers inline.
namespace detail {
struct RecentName {
    const char *literal;
    PyObject *interned;
};
constexpr size_t kRecentNames = 1024;
extern RecentName g_recent_names[kRecentNames];
inline size_t recent_name_slot(const char *literal) {
    return (reinterpret_cast<uintptr_t>(literal) >> 3) % kRecentNames;
}
nb::handle name_slow(const char *literal);
} // namespace detail

inline nb::handle name(const char *literal) {
    const detail::RecentName &slot = detail::g_recent_names[detail::recent_name_slot(literal)];
    return slot.literal == literal ? nb::handle(slot.interned) : detail::name_slow(literal);
}

// ---------------------------------------------------------------------------
// The module namespace.
nb::handle module();
nb::handle module_dict();

// The value bound to the interned `name` in the module namespace now
// (NameError if unbound). The module's own globals are read by their row in
// frame/globals.hpp.
ref global(nb::handle name);
// Binds a name at set-up (a function, a class, a sibling import).
void set_global(const char *name, nb::handle value);

// Import `name` the way `from module_name import name` does.
ref from_import(const char *module_name, const char *name);
// `from module_name import a, b`: one import, then each name in order.
std::vector<ref> from_import(const char *module_name, std::initializer_list<const char *> names);
ref import_module(const char *module_name);
// sys.modules[module_name] when it is loaded (and initialised), else empty.
ref loaded_module(nb::handle module_name);
// importlib.import_module(module_name) for the `importlib` given (the module
// global): the loaded module directly while that is the importlib imported
// at set-up with its own import_module and the name is absolute.
ref importlib_import_module(nb::handle importlib, nb::handle module_name);
void remember_importlib(nb::handle importlib);

// ---------------------------------------------------------------------------
// Attributes, each named by an interned literal: nanobind's obj.attr("name")
// makes a new str at every use. A missing attribute gives the default and any
// other error raises: nanobind's getattr with a default and its hasattr
// swallow every error, not only AttributeError.
ref attr(nb::handle obj, const char *name);           // obj.name (raises)
ref attr_or_none(nb::handle obj, const char *name);   // getattr(obj, name, None)
ref attr_or(nb::handle obj, const char *name, nb::handle fallback);
ref attr_or(nb::handle obj, nb::handle name, nb::handle fallback);  // getattr(obj, name, fallback)
bool has_attr(nb::handle obj, const char *name);      // hasattr(obj, name)
void set_attr(nb::handle obj, const char *name, nb::handle value);
// getattr(obj, name, None) if callable, else an empty ref (test with `if (h)`);
// nanobind has no such lookup.
ref hook(nb::handle obj, const char *name);

// ---------------------------------------------------------------------------
// Small Python semantics that nanobind does not write the same way.

// isinstance(obj, cls) for a class object: nanobind's isinstance takes a C++ type.
bool is_instance(nb::handle obj, nb::handle cls);
// item in container, for any container: nanobind has contains() only on typed
// dicts, sets and mappings, each with its own lookup instead of the `in` operator.
inline bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}
// `value or fallback`: nanobind has no such expression.
inline ref or_else(nb::handle value, nb::handle fallback) {
    return ref(nb::borrow(nb::bool_(value) ? value : fallback));
}
// expression_type == "STRATEGY": anything else is a signal.
inline bool is_strategy(nb::handle expression_type) {
    return expression_type.equal(name("STRATEGY"));
}
// PyUnicode_FromFormat: %S is str(), %R is repr(), %s a C string. Not
// nb::str::format, which calls str.format() with its own placeholders.
ref format(const char *fmt, ...);
// str(a) + str(b) + ...: cheaper than format() where only %S pieces and
// interned literals (name("...")) are joined. nanobind has no such join.
ref concat(std::initializer_list<nb::handle> parts);
// obj.get(key) / obj.get(key, default), through the object's own `get`
// (a plain dict is looked up directly, which is the same thing). nanobind's
// dict::get never calls a `get` and swallows lookup errors (PyDict_GetItem).
ref method_get(nb::handle obj, nb::handle key);
ref method_get(nb::handle obj, nb::handle key, nb::handle default_value);
// mapping.get("key") / mapping.get("key", default): method_get with an interned key.
inline ref get(nb::handle mapping, const char *key) { return method_get(mapping, name(key)); }
inline ref get(nb::handle mapping, const char *key, nb::handle default_value) {
    return method_get(mapping, name(key), default_value);
}
// `a, b = iterable`: exactly n items, else the interpreter's ValueError.
// nanobind has no unpacking.
std::vector<ref> unpack(nb::handle iterable, size_t n);

// ---------------------------------------------------------------------------
// Containers, each held in a `ref` like every other reference.

// dict[key] owned, or an empty ref when the key is missing (a failed lookup
// raises). Never a borrowed value: code run later (a finalizer, a key's
// __eq__) may replace or delete it. nanobind's dict::get swallows lookup
// errors (an unhashable key reads as missing).
ref dict_get(nb::handle dict, nb::handle key);
// dict(mapping): a new plain dict, built as the dict type builds it. nanobind's
// dict has no constructor from another object.
inline ref dict_copy(nb::handle mapping) {
    return nb::handle(reinterpret_cast<PyObject *>(&PyDict_Type))(mapping);
}
// (a, b): PyTuple_Pack's failure raises, where nb::make_tuple would write
// into the tuple PyTuple_New failed to make.
inline ref pair(nb::handle a, nb::handle b) {
    PyObject *t = PyTuple_Pack(2, a.ptr(), b.ptr());
    if (!t)
        throw nb::python_error();
    return ref(nb::steal(t));
}
// {"key": value, ...}: a new dict, keys (string literals, interned) in the
// order given. nanobind has no dict display; its d["key"] makes a new str.
ref dict_of(std::initializer_list<std::pair<const char *, nb::handle>> items);
// fn(**kwargs), kwargs a dict handed to PyObject_Call as it is: nanobind's
// fn(**kwargs) re-packs the items as vectorcall keywords, not checking keys are str.
inline ref call_with_kwargs(nb::handle fn, nb::handle kwargs) {
    ref args = nb::steal(PyTuple_New(0));
    if (!args)
        throw nb::python_error();
    PyObject *result = PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr());
    if (!result)
        throw nb::python_error();
    return ref(nb::steal(result));
}

// ---------------------------------------------------------------------------
// Raising. Each builds exception_type(message) (or exception_type() when the
// message is empty/null) and raises it by throwing nb::python_error.
// nanobind's raise_from chains only from a caught python_error, with a format
// string; these also raise `from None` and chain from a stored exception.
ref new_exception(nb::handle exception_type, nb::handle message = nb::handle());
ref new_exception(nb::handle exception_type, const char *message);
// raise X(msg): inside a handler, pass the handled exception as `context`.
[[noreturn]] void raise(nb::handle exception_type, const char *message,
                        nb::handle context = nb::handle());
[[noreturn]] void raise(nb::handle exception_type, nb::handle message,
                        nb::handle context = nb::handle());
// raise X(msg) from None (context: the exception being handled, if any).
[[noreturn]] void raise_from_none(nb::handle exception_type, const char *message,
                                  nb::handle context = nb::handle());
[[noreturn]] void raise_from_none(nb::handle exception_type, nb::handle message,
                                  nb::handle context = nb::handle());
// raise X(msg) from cause.
[[noreturn]] void raise_from(nb::handle exception_type, const char *message, nb::handle cause);
[[noreturn]] void raise_from(nb::handle exception_type, nb::handle message, nb::handle cause);
// raise exc (an exception instance), e.g. to re-raise a stored error.
[[noreturn]] void raise_object(nb::handle exception);

// `try: f() except Exception as exc: ...` -- runs f; returns the exception
// object if f raised an Exception (the error is cleared), an empty ref if it
// returned. A BaseException that is not an Exception propagates. `matching`
// narrows the class (e.g. PyExc_TypeError).
template <typename F>
ref catch_exception(F &&f, PyObject *matching = PyExc_Exception) {
    try {
        f();
    } catch (nb::python_error &e) {
        if (!e.matches(matching))
            throw;
        return ref(nb::borrow(e.value()));
    }
    return ref();
}

// Scopes whose destructors call the C API (restore the handled exception,
// leave a recursion level) are entered through these functions, never
// declared bare. A thread being ended at interpreter exit has neither the GIL
// nor a thread state: such a scope then touches nothing.
inline bool thread_being_ended() noexcept {
#if defined(__GLIBCXX__)
    return false;  // libstdc++ shows that unwind to inside(), which abandons the scope
#elif defined(__linux__) && !defined(Py_LIMITED_API)
    return !PyGILState_Check();
#elif defined(__linux__)
    return interpreter_exiting();  // the stable ABI has no GIL test: the exit flag stands for it
#else
    return false;  // macOS and Windows end the thread without running its C++ frames
#endif
}

namespace detail {
template <typename Scope, typename F>
decltype(auto) inside(Scope &scope, F &&f) {
#if defined(__GLIBCXX__)
    // libstdc++ names that unwind: the scope is abandoned here.
    try {
        return f();
    } catch (abi::__forced_unwind &) {
        scope.abandon();
        throw;
    }
#else
    (void) scope;
    return f();
#endif
}

class handled_exception_scope {
public:
    explicit handled_exception_scope(nb::handle handled) : m_outer(PyErr_GetHandledException()) {
        PyErr_SetHandledException(handled.ptr());
    }
    ~handled_exception_scope() {
        if (m_abandoned || thread_being_ended())
            return;
        PyErr_SetHandledException(m_outer);
        Py_XDECREF(m_outer);
    }
    void abandon() noexcept { m_abandoned = true; }
    handled_exception_scope(const handled_exception_scope &) = delete;
    handled_exception_scope &operator=(const handled_exception_scope &) = delete;

private:
    PyObject *m_outer;  // strong or null
    bool m_abandoned = false;
};

class recursion_guard {
public:
    explicit recursion_guard(const char *where);
    ~recursion_guard() {
        if (!m_abandoned && !thread_being_ended())
            Py_LeaveRecursiveCall();
    }
    void abandon() noexcept { m_abandoned = true; }
    recursion_guard(const recursion_guard &) = delete;
    recursion_guard &operator=(const recursion_guard &) = delete;

private:
    bool m_abandoned = false;
};
} // namespace detail

// f() run as the body of `except ...:` handling `handled`: an exception
// raised inside gets `handled` as its __context__, exactly as Python chains
// it. The exception handled before is handled again afterwards, however f
// ends, a forced unwind excepted (above).
template <typename F>
decltype(auto) while_handling(nb::handle handled, F &&f) {
    detail::handled_exception_scope scope(handled);
    return detail::inside(scope, std::forward<F>(f));
}

// f() one recursion level deeper. Recursive walkers enter one level per step,
// so a very deep input raises RecursionError instead of overflowing the C
// stack. The interpreter's count alone is not enough: CPython 3.13 allows
// 10000 C levels, more than a walker's frames fit in a thread's stack, so the
// stack left is checked as well. `where` ends the message: " while ...".
bool c_stack_nearly_full() noexcept;
template <typename F>
decltype(auto) recursing(const char *where, F &&f) {
    detail::recursion_guard guard(where);
    return detail::inside(guard, std::forward<F>(f));
}

// ---------------------------------------------------------------------------
// What the frame needs from the namespace above it: the module's logger, its
// clock and its threading module, each read through the module global at the
// moment of use (frame/globals.cpp), so a replacement is seen at once.
ref module_logger();     // logger
double monotonic();      // time.monotonic()
ref module_threading();  // threading

// logger.debug / logger.warning, %-style.
template <typename... Args>
void log_debug(const char *fmt, Args &&...args) {
    attr(module_logger(), "debug")(fmt, std::forward<Args>(args)...);
}
template <typename... Args>
void log_warning(const char *fmt, Args &&...args) {
    attr(module_logger(), "warning")(fmt, std::forward<Args>(args)...);
}

// ---------------------------------------------------------------------------
// Functions and methods of the module.
//
// A function is a small callable type of the module's own: vectorcall, a
// __dict__ (so __signature__ can be set), binds as a method on classes, and
// reports its parameters to inspect.signature. Not nanobind's function
// objects: they have no __dict__, and their dispatcher swallows the forced
// unwind that ends a pipeline thread at exit (frame/native_function.cpp).

struct Param {
    enum Kind { positional_or_keyword, keyword_only, var_keyword };
    const char *name;
    Kind kind;
    nb::handle default_value;   // empty: required
};
inline Param arg(const char *n) { return {n, Param::positional_or_keyword, {}}; }
inline Param arg(const char *n, nb::handle d) { return {n, Param::positional_or_keyword, d}; }
inline Param kwonly(const char *n) { return {n, Param::keyword_only, {}}; }
inline Param kwonly(const char *n, nb::handle d) { return {n, Param::keyword_only, d}; }
inline Param var_kwargs(const char *n) { return {n, Param::var_keyword, {}}; }
// Defaults, kept alive for the life of the process.
nb::handle none();
nb::handle true_();
nb::handle false_();
nb::handle zero_float();
nb::handle empty_str();

// The arguments of one call, bound to the parameters in order. args[i] is a
// borrowed reference valid for the duration of the call.
class Call {
public:
    nb::handle operator[](size_t i) const { return nb::handle(m_values[i]); }
    size_t size() const { return m_count; }
    nb::handle kwargs() const { return m_kwargs; } // the var_keyword dict, if any

    PyObject **m_values = nullptr;
    size_t m_count = 0;
    nb::handle m_kwargs;
};

using Impl = nb::object (*)(const Call &);

// The body of `fn` when it is one of the module's own functions and `nargs`
// positional arguments fill its parameters exactly (no default, no keyword,
// no **kwargs): calling the body then is what calling `fn` would do. Null
// otherwise.
Impl own_body(nb::handle fn, size_t nargs) noexcept;
// body(call), with a C++ failure turned into the Python error the function
// object would have raised.
ref call_body(Impl body, const Call &call);

// fn(*args) through its body when fn is one of the module's own functions and
// the arguments bind by position (parameters left out take their defaults).
// False, with nothing called, otherwise.
bool call_own_positional(nb::handle fn, PyObject *const *args, size_t nargs, ref &out);

// fn(*args) for positional handles: the body directly where that is the same.
template <typename... Args>
ref call_function(nb::handle fn, const Args &...args) {
    PyObject *values[] = {nullptr, nb::handle(args).ptr()...};
    ref out;
    if (call_own_positional(fn, values + 1, sizeof...(Args), out))
        return out;
    PyObject *result = PyObject_Vectorcall(
        fn.ptr(), values + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!result)
        throw nb::python_error();
    return ref(nb::steal(result));
}

// A new function object. `qualname` may be "Class.method".
ref make_function(const char *qualname, std::initializer_list<Param> params, Impl impl,
                  const char *doc = nullptr);
ref make_function(const char *qualname, const std::vector<Param> &params, Impl impl,
                  const char *doc = nullptr);
// Define a module-level function, bound in the namespace under its name.
ref def_function(const char *name, std::initializer_list<Param> params, Impl impl,
                 const char *doc = nullptr);
ref def_function(const char *name, const std::vector<Param> &params, Impl impl,
                 const char *doc = nullptr);

// A callable that accepts any arguments and returns `value`
// (`lambda *args, **kwargs: value`), frame/constant_factory.cpp.
ref constant_factory(nb::handle value);

// A plain Python class: type(name, bases, namespace) with __module__ and
// __qualname__ set. Methods made with make_function bind like functions.
ref make_class(const char *name, nb::handle bases, nb::dict namespace_);

} // namespace simsig
