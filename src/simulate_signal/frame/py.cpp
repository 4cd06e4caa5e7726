// Python semantics helpers shared by the whole module (see frame.hpp).
#include "frame/frame.hpp"
#include "frame/globals.hpp"
#include "frame/state.hpp"

#include <cstdarg>
#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>  // the running thread's stack
#elif defined(_WIN32)
#include <windows.h>  // GetCurrentThreadStackLimits
#endif

namespace simsig {

// Read inline by every reference release (frame/exit_safe.h).
extern "C" {
int simsig_exiting_flag = 0;
}

bool interpreter_exiting() noexcept { return simsig_interpreter_exiting(); }
void mark_interpreter_exiting() noexcept {
#if defined(_MSC_VER)
    *(volatile int *) &simsig_exiting_flag = 1;
#else
    __atomic_store_n(&simsig_exiting_flag, 1, __ATOMIC_RELAXED);
#endif
}

namespace detail {
RecentName g_recent_names[kRecentNames];

nb::handle name_slow(const char *literal) {
    // Guarded by the GIL: interning runs no Python code, so it cannot release it.
    static auto *cache = new std::unordered_map<const char *, PyObject *>();
    auto it = cache->find(literal);
    PyObject *s = it != cache->end() ? it->second : nullptr;
    if (!s) {
        s = PyUnicode_InternFromString(literal);
        if (!s)
            throw nb::python_error();
        cache->emplace(literal, s);
    }
    g_recent_names[recent_name_slot(literal)] = {literal, s};
    return s;
}
} // namespace detail

// ---------------------------------------------------------------------------
// Module namespace

// Every function reads and writes the namespace of one module object, so the
// process loads the module once: a second load of the file (under any name) or
// an import in a legacy-config subinterpreter is refused with ImportError while
// the first module keeps its namespace. Interpreters with their own config are
// refused by CPython itself (Py_mod_multiple_interpreters).
//
// All of it is guarded by the GIL (legacy-config subinterpreters share it).
namespace {
enum class Load { none, running, done, failed };
Load g_load = Load::none;
// Strong and never released, so a loaded module is never gone and a later load
// stays refused: running pipelines and the process-wide objects built at its
// load belong to it. A failed load's module is kept too (functions it made may
// still be called); the next load takes over from it.
PyObject *g_module = nullptr;
PyObject *g_module_dict = nullptr;  // borrowed from g_module
std::string g_module_where;          // "'name' from 'file'", for the refusal
int64_t g_module_interpreter = -1;   // id of the interpreter that loaded it

// `text` (a new reference, or null) as UTF-8, then released: the buffer is
// the string's own, so it is copied first.
std::string utf8_or(PyObject *text, const char *fallback) {
    const char *s = text ? PyUnicode_AsUTF8AndSize(text, nullptr) : nullptr;
    std::string out = s ? std::string(s) : std::string(fallback);
    if (!s)
        PyErr_Clear();
    Py_XDECREF(text);
    return out;
}
} // namespace

bool claim_module(PyObject *m) noexcept {
    if (m == g_module)
        return true;  // importlib.reload runs the exec again on the same module
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_load == Load::running || g_load == Load::done) {
        PyErr_Format(PyExc_ImportError,
                     "tallowmere.simulate_signal can be loaded only once per process; it is "
                     "already loaded as %s%s",
                     g_module_where.c_str(),
                     interpreter == g_module_interpreter ? "" : " in another interpreter");
        return false;
    }
    std::string where;
    try {
        where.append("'").append(utf8_or(PyModule_GetNameObject(m), "?"));
        where.append("' from '").append(utf8_or(PyModule_GetFilenameObject(m), "?"));
        where.append("'");
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
    PyObject *dict = PyModule_GetDict(m);  // borrowed; never fails on a module
    g_module = Py_NewRef(m);
    g_module_dict = dict;
    g_module_where.swap(where);
    g_module_interpreter = interpreter;
    g_load = Load::running;
    return true;
}

void module_load_finished(PyObject *m, bool succeeded) noexcept {
    if (m == g_module && g_load != Load::done)
        g_load = succeeded ? Load::done : Load::failed;
}

nb::handle module() { return g_module; }
nb::handle module_dict() { return g_module_dict; }

ref global(nb::handle n) {
    ref value = dict_get(g_module_dict, n);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", n.ptr());
        throw nb::python_error();
    }
    return value;
}

void set_global(const char *n, nb::handle value) {
    if (PyDict_SetItem(g_module_dict, name(n).ptr(), value.ptr()))
        throw nb::python_error();
}

ref import_module(const char *module_name) {
    PyObject *m = PyImport_ImportModule(module_name);
    if (!m)
        throw nb::python_error();
    return ref(nb::steal(m));
}

ref from_import(const char *module_name, const char *n) {
    return std::move(from_import(module_name, {n})[0]);
}

std::vector<ref> from_import(const char *module_name, std::initializer_list<const char *> names) {
    // A loaded module that has every name: what the import would give.
    if (ref loaded = loaded_module(name(module_name))) {
        std::vector<ref> values;
        for (const char *n : names) {
            PyObject *value = PyObject_GetAttr(loaded.ptr(), name(n).ptr());
            if (!value) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                    throw nb::python_error();
                PyErr_Clear();
                break;
            }
            values.emplace_back(nb::steal(value));
        }
        if (values.size() == names.size())
            return values;
    }
    ref fromlist = nb::steal(PyTuple_New((Py_ssize_t) names.size()));
    if (!fromlist)
        throw nb::python_error();
    Py_ssize_t i = 0;
    for (const char *n : names)
        if (PyTuple_SetItem(fromlist.ptr(), i++, name(n).inc_ref().ptr()))
            throw nb::python_error();
    // The interned name keeps its hash: sys.modules is asked without rehashing it.
    PyObject *m = PyImport_ImportModuleLevelObject(name(module_name).ptr(), module_dict().ptr(),
                                                   nullptr, fromlist.ptr(), 0);
    if (!m)
        throw nb::python_error();
    ref mod = nb::steal(m);
    std::vector<ref> values;
    for (const char *n : names) {
        PyObject *value = PyObject_GetAttr(mod.ptr(), name(n).ptr());
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                throw nb::python_error();
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n, module_name);
            throw nb::python_error();
        }
        values.emplace_back(nb::steal(value));
    }
    return values;
}

// ---------------------------------------------------------------------------
// Attributes

ref attr(nb::handle obj, const char *n) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name(n).ptr());
    if (!value)
        throw nb::python_error();
    return ref(nb::steal(value));
}

ref attr_or(nb::handle obj, const char *n, nb::handle fallback) {
    return attr_or(obj, name(n), fallback);
}

namespace {
// getattr(obj, key) that reports a missing attribute as 0 instead of an
// AttributeError (1: found, -1: any other error). Where the API offers the
// interpreter's own optional lookup, a plain miss creates no exception at all.
int lookup_attr(PyObject *obj, PyObject *key, PyObject **value) {
#if PY_VERSION_HEX >= 0x030D0000 && (!defined(Py_LIMITED_API) || Py_LIMITED_API >= 0x030D0000)
    return PyObject_GetOptionalAttr(obj, key, value);
#elif !defined(Py_LIMITED_API)
    return _PyObject_LookupAttr(obj, key, value);
#else
    *value = PyObject_GetAttr(obj, key);
    if (*value)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    return 0;
#endif
}
} // namespace

ref attr_or(nb::handle obj, nb::handle key, nb::handle fallback) {
    PyObject *value = nullptr;
    int found = lookup_attr(obj.ptr(), key.ptr(), &value);
    if (found < 0)
        throw nb::python_error();
    return found ? ref(nb::steal(value)) : ref(nb::borrow(fallback));
}

ref attr_or_none(nb::handle obj, const char *n) { return attr_or(obj, n, Py_None); }

bool has_attr(nb::handle obj, const char *n) {
    PyObject *value = nullptr;
    int found = lookup_attr(obj.ptr(), name(n).ptr(), &value);
    if (found < 0)
        throw nb::python_error();
    Py_XDECREF(value);
    return found == 1;
}

void set_attr(nb::handle obj, const char *n, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name(n).ptr(), value.ptr()))
        throw nb::python_error();
}

ref hook(nb::handle obj, const char *n) {
    ref value = attr_or_none(obj, n);
    if (PyCallable_Check(value.ptr()))
        return value;
    return ref();
}

// ---------------------------------------------------------------------------
// Small semantics

bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

ref format(const char *fmt, ...) {
    va_list vargs;
    va_start(vargs, fmt);
    PyObject *s = PyUnicode_FromFormatV(fmt, vargs);
    va_end(vargs);
    if (!s)
        throw nb::python_error();
    return ref(nb::steal(s));
}

ref concat(std::initializer_list<nb::handle> parts) {
    ref out;
    for (nb::handle part : parts) {
        ref piece = nb::steal(PyObject_Str(part.ptr()));
        if (!piece)
            throw nb::python_error();
        if (!out) {
            out = std::move(piece);
            continue;
        }
        PyObject *joined = PyUnicode_Concat(out.ptr(), piece.ptr());
        if (!joined)
            throw nb::python_error();
        out = nb::steal(joined);
    }
    return out ? out : ref(nb::borrow(empty_str()));
}

ref dict_get(nb::handle dict, nb::handle key) {
#if PY_VERSION_HEX >= 0x030D0000 && (!defined(Py_LIMITED_API) || Py_LIMITED_API >= 0x030D0000)
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(dict.ptr(), key.ptr(), &value) < 0)
        throw nb::python_error();
    return ref(nb::steal(value));
#else
    // Taken at once, before anything else can run.
    PyObject *value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!value && PyErr_Occurred())
        throw nb::python_error();
    return ref(nb::borrow(value));
#endif
}

ref dict_of(std::initializer_list<std::pair<const char *, nb::handle>> items) {
    ref d = nb::steal(PyDict_New());
    if (!d)
        throw nb::python_error();
    for (const auto &[key, value] : items)
        if (PyDict_SetItem(d.ptr(), name(key).ptr(), value.ptr()))
            throw nb::python_error();
    return d;
}

ref method_get(nb::handle obj, nb::handle key) {
    if (PyDict_CheckExact(obj.ptr())) {
        ref value = dict_get(obj, key);
        return value ? value : ref(nb::none());
    }
    return attr(obj, "get")(key);
}

ref method_get(nb::handle obj, nb::handle key, nb::handle default_value) {
    if (PyDict_CheckExact(obj.ptr())) {
        ref value = dict_get(obj, key);
        return value ? value : ref(nb::borrow(default_value));
    }
    return attr(obj, "get")(key, default_value);
}

std::vector<ref> unpack(nb::handle iterable, size_t n) {
    // A tuple of exactly n items unpacks as its iteration would, without it.
    if (PyTuple_CheckExact(iterable.ptr()) && size_t(PyTuple_Size(iterable.ptr())) == n) {
        std::vector<ref> items;
        items.reserve(n);
        for (size_t i = 0; i < n; ++i)
            items.emplace_back(nb::borrow(PyTuple_GetItem(iterable.ptr(), Py_ssize_t(i))));
        return items;
    }
    ref iterator = nb::steal(PyObject_GetIter(iterable.ptr()));
    if (!iterator) {
        // Only "not iterable" is reworded; an __iter__ that raises keeps its error.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !PySequence_Check(iterable.ptr()) &&
            !PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(iterable.ptr())),
                                    "__iter__")) {
            PyErr_Clear();
            ref type_name = nb::steal(PyType_GetName(Py_TYPE(iterable.ptr())));
            if (!type_name)
                throw nb::python_error();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %U object", type_name.ptr());
        }
        throw nb::python_error();
    }
    std::vector<ref> items;
    while (items.size() <= n) {
        PyObject *item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (PyErr_Occurred())
                throw nb::python_error();
            break;
        }
        items.emplace_back(nb::steal(item));
    }
    if (items.size() < n) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                     items.size());
        throw nb::python_error();
    }
    if (items.size() > n) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
        throw nb::python_error();
    }
    return items;
}

nb::handle none() { return Py_None; }
nb::handle true_() { return Py_True; }
nb::handle false_() { return Py_False; }
nb::handle zero_float() {
    static PyObject *zero = PyFloat_FromDouble(0.0);
    return zero;
}
nb::handle empty_str() { return name(""); }

// ---------------------------------------------------------------------------
// Raising

ref new_exception(nb::handle exception_type, nb::handle message) {
    PyObject *exc = message
                        ? PyObject_CallFunctionObjArgs(exception_type.ptr(), message.ptr(), nullptr)
                        : PyObject_CallNoArgs(exception_type.ptr());
    if (!exc)
        throw nb::python_error();
    return ref(nb::steal(exc));
}

ref new_exception(nb::handle exception_type, const char *message) {
    if (!message)
        return new_exception(exception_type, nb::handle());
    return new_exception(exception_type, nb::str(message));
}

namespace {
// Raise `exc` with the chaining of a raise statement: __context__ is the
// handled exception, __cause__ and __suppress_context__ as the statement says.
[[noreturn]] void raise_chained(nb::handle exc, nb::handle context, nb::handle cause,
                                bool suppress_context) {
    if (PyExceptionInstance_Check(exc.ptr())) {
        if (context && context.ptr() != exc.ptr())
            PyException_SetContext(exc.ptr(), context.inc_ref().ptr());
        if (suppress_context) {
            // Also sets __suppress_context__, as a raise ... from statement does.
            PyException_SetCause(exc.ptr(), cause ? cause.inc_ref().ptr() : nullptr);
        }
    }
    PyErr_SetRaisedException(exc.inc_ref().ptr());
    throw nb::python_error();
}
} // namespace

void raise(nb::handle exception_type, const char *message, nb::handle context) {
    ref exc = new_exception(exception_type, message);
    if (!context) {
        PyErr_SetObject(exception_type.ptr(), exc.ptr());
        throw nb::python_error();
    }
    raise_chained(exc, context, nb::handle(), false);
}

void raise(nb::handle exception_type, nb::handle message, nb::handle context) {
    ref exc = new_exception(exception_type, message);
    if (!context) {
        PyErr_SetObject(exception_type.ptr(), exc.ptr());
        throw nb::python_error();
    }
    raise_chained(exc, context, nb::handle(), false);
}

void raise_from_none(nb::handle exception_type, const char *message, nb::handle context) {
    raise_chained(new_exception(exception_type, message), context, nb::handle(), true);
}

void raise_from_none(nb::handle exception_type, nb::handle message, nb::handle context) {
    raise_chained(new_exception(exception_type, message), context, nb::handle(), true);
}

void raise_from(nb::handle exception_type, const char *message, nb::handle cause) {
    raise_chained(new_exception(exception_type, message), cause, cause, true);
}

void raise_from(nb::handle exception_type, nb::handle message, nb::handle cause) {
    raise_chained(new_exception(exception_type, message), cause, cause, true);
}

void raise_object(nb::handle exception) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.ptr())), exception.ptr());
    throw nb::python_error();
}

// ---------------------------------------------------------------------------
// C stack headroom (the stack grows down on every platform built here).

// The reserve is a quarter of the thread's stack, at least 16 KiB and at most
// 256 KiB. Measured on x86-64 (CPython 3.12 and 3.13): one level of a walker
// takes under 1 KiB, and the deepest level's own calls plus the unwinding of
// the RecursionError under 4 KiB, so the floor leaves room for a Python callee
// at that level. A fixed large reserve would fill a small stack (128 KiB, the
// default thread stack on musl) and refuse even a two-node graph.
namespace {

// [low, high): this thread's stack, from the platform's own call; {0, 0}
// where there is none (the walkers then rely on the interpreter's count).
struct StackBounds {
    uintptr_t low = 0, high = 0;
};

StackBounds this_thread_stack() noexcept {
    StackBounds bounds;
#if defined(__linux__)
    // glibc and musl: the attributes of the running thread, its stack included.
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void *addr = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr)
            bounds = {reinterpret_cast<uintptr_t>(addr), reinterpret_cast<uintptr_t>(addr) + size};
        pthread_attr_destroy(&attr);
    }
#elif defined(__APPLE__)
    // macOS gives the stack's top (its highest address) and size.
    auto top = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(pthread_self()));
    size_t size = pthread_get_stacksize_np(pthread_self());
    if (top && size)
        bounds = {top - size, top};
#elif defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    bounds = {static_cast<uintptr_t>(low), static_cast<uintptr_t>(high)};
#endif
    return bounds;
}

} // namespace

bool c_stack_nearly_full() noexcept {
    constexpr size_t kMinReserve = 16 * 1024, kMaxReserve = 256 * 1024;
    // [low, limit): the reserve at the bottom of this thread's stack. A frame
    // outside the stack (another stack switched to) is not judged.
    thread_local uintptr_t low = 0, limit = 0;
    thread_local bool known = false;
    if (!known) {
        known = true;
        StackBounds stack = this_thread_stack();
        if (stack.high > stack.low) {
            low = stack.low;
            limit =
                low + std::clamp<size_t>((stack.high - stack.low) / 4, kMinReserve, kMaxReserve);
        }
    }
    // The address of a local stands for this frame's depth: portable, where
    // a builtin frame address is a compiler's own.
    volatile char marker = 0;
    auto here = reinterpret_cast<uintptr_t>(&marker);
    return here >= low && here < limit;
}

detail::recursion_guard::recursion_guard(const char *where) {
    if (Py_EnterRecursiveCall(where))
        throw nb::python_error();
    if (c_stack_nearly_full()) {
        Py_LeaveRecursiveCall();
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        throw nb::python_error();
    }
}

// ---------------------------------------------------------------------------
// Classes

ref make_class(const char *class_name, nb::handle bases, nb::dict namespace_) {
    namespace_[name("__module__")] = name("tallowmere.simulate_signal");
    namespace_[name("__qualname__")] = nb::str(class_name);
    PyObject *cls = PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "sOO",
                                          class_name, bases.ptr(), namespace_.ptr());
    if (!cls)
        throw nb::python_error();
    return ref(nb::steal(cls));
}

} // namespace simsig
