// The module's own function type.
//
// Why not nanobind's function objects: nanobind's dispatcher ends in a
// catch (...) that does not rethrow. A pipeline thread that is ended by
// pthread_exit() at interpreter exit unwinds through every function on its
// stack with a forced-unwind exception (frame/frame.hpp); swallowing that
// aborts the process. This type lets that unwind through, binds arguments with
// Python's own rules and messages, has a __dict__ (so __signature__ can be
// set, as the entry points need) and binds as a method when placed on a class.
#include "frame/frame.hpp"
#include "frame/helpers.hpp"
#include "frame/state.hpp"
#include "frame/heap_type.hpp"

#include <string>
#include <vector>

namespace simsig {

namespace {

constexpr size_t kMaxParams = 32;

struct ParamSpec {
    PyObject *name;        // interned, strong
    Param::Kind kind;
    PyObject *default_;    // strong or null (required)
};

struct FunctionSpec {
    std::string qualname;
    std::vector<ParamSpec> params;  // named parameters, then the var_keyword one if any
    size_t n_positional = 0;        // positional-or-keyword parameters
    size_t n_named = 0;             // positional-or-keyword + keyword-only
    bool has_var_keyword = false;
    Impl impl = nullptr;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    FunctionSpec *spec;

    static void release(FunctionObject *f) {
        if (!f->spec)
            return;
        for (ParamSpec &p : f->spec->params) {
            Py_XDECREF(p.name);
            Py_XDECREF(p.default_);
        }
        delete f->spec;
    }
};
using FunctionSlots = HeapTypeSlots<FunctionObject, &FunctionObject::dict>;

PyTypeObject *g_function_type = nullptr;
PyObject *g_method_type = nullptr;  // types.MethodType

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" -- CPython's wording.
std::string quoted_list(const std::vector<std::string> &names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

std::string utf8(PyObject *s) {
    const char *c = PyUnicode_AsUTF8AndSize(s, nullptr);
    return c ? std::string(c) : std::string();
}

PyObject *error_too_many_positional(const FunctionSpec &spec, Py_ssize_t given) {
    size_t required = 0;
    for (size_t i = 0; i < spec.n_positional; ++i)
        if (!spec.params[i].default_)
            ++required;
    std::string q = spec.qualname;
    if (required == spec.n_positional)
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                     q.c_str(), spec.n_positional, spec.n_positional == 1 ? "" : "s", given,
                     given == 1 ? "was" : "were");
    else
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     q.c_str(), required, spec.n_positional, given, given == 1 ? "was" : "were");
    return nullptr;
}

PyObject *error_missing(const FunctionSpec &spec, PyObject **values) {
    for (int pass = 0; pass < 2; ++pass) {
        Param::Kind kind = pass == 0 ? Param::positional_or_keyword : Param::keyword_only;
        std::vector<std::string> missing;
        for (size_t i = 0; i < spec.n_named; ++i)
            if (!values[i] && spec.params[i].kind == kind)
                missing.push_back(utf8(spec.params[i].name));
        if (missing.empty())
            continue;
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s argument%s: %s",
                     spec.qualname.c_str(), missing.size(),
                     pass == 0 ? "positional" : "keyword-only", missing.size() == 1 ? "" : "s",
                     quoted_list(missing).c_str());
        return nullptr;
    }
    return nullptr;
}

Py_ssize_t find_param(const FunctionSpec &spec, PyObject *key) {
    for (size_t i = 0; i < spec.n_named; ++i)
        if (spec.params[i].name == key)
            return (Py_ssize_t) i;
    for (size_t i = 0; i < spec.n_named; ++i) {
        int r = PyObject_RichCompareBool(spec.params[i].name, key, Py_EQ);
        if (r < 0)
            return -2;
        if (r == 1)
            return (Py_ssize_t) i;
    }
    return -1;
}

PyObject *run_impl(const FunctionSpec &spec, const Call &call) {
    try {
        nb::object result = spec.impl(call);
        if (!result.is_valid())
            return Py_NewRef(Py_None);
        return result.release().ptr();
    }
    SIMSIG_LET_FORCED_UNWIND_THROUGH
    catch (nb::python_error &e) {
        e.restore();
    } catch (nb::cast_error &) {
        PyErr_Format(PyExc_TypeError, "%s(): unexpected argument type", spec.qualname.c_str());
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    // No catch (...): every exception the module throws is a std::exception,
    // and libc++abi enters such a handler for the forced unwind that ends a
    // thread at exit, which can then neither be swallowed nor rethrown.
    return nullptr;
}

// Binds as CPython binds, with its messages: nanobind would report any mismatch
// as "incompatible function arguments".
PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    const FunctionSpec &spec = *reinterpret_cast<FunctionObject *>(callable)->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if ((size_t) nargs > spec.n_positional)
        return error_too_many_positional(spec, nargs);

    PyObject *values[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i)
        values[i] = args[i];

    PyObject *kwargs = nullptr;  // owned
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject *key = PyTuple_GetItem(kwnames, j);
            PyObject *value = args[nargs + j];
            Py_ssize_t idx = find_param(spec, key);
            if (idx == -2) {
                Py_XDECREF(kwargs);
                return nullptr;
            }
            if (idx >= 0) {
                if (values[idx]) {
                    Py_XDECREF(kwargs);
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                                 spec.qualname.c_str(), key);
                    return nullptr;
                }
                values[idx] = value;
            } else if (spec.has_var_keyword) {
                if (!kwargs && !(kwargs = PyDict_New()))
                    return nullptr;
                if (PyDict_SetItem(kwargs, key, value)) {
                    Py_DECREF(kwargs);
                    return nullptr;
                }
            } else {
                Py_XDECREF(kwargs);
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             spec.qualname.c_str(), key);
                return nullptr;
            }
        }
    }

    bool complete = true;
    for (size_t i = 0; i < spec.n_named; ++i) {
        if (values[i])
            continue;
        if (spec.params[i].default_)
            values[i] = spec.params[i].default_;
        else
            complete = false;
    }
    if (!complete) {
        Py_XDECREF(kwargs);
        return error_missing(spec, values);
    }

    if (spec.has_var_keyword && !kwargs && !(kwargs = PyDict_New()))
        return nullptr;

    Call call;
    call.m_values = values;
    call.m_count = spec.n_named;
    call.m_kwargs = kwargs;
    PyObject *result = run_impl(spec, call);
    if (kwargs && !interpreter_exiting())
        Py_DECREF(kwargs);
    return result;
}

// ---------------------------------------------------------------------------
// Type slots

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None)
        return Py_NewRef(self);
#ifdef Py_LIMITED_API
    return PyObject_CallFunctionObjArgs(g_method_type, self, obj, nullptr);
#else
    return PyMethod_New(self, obj);  // types.MethodType(self, obj), without the call
#endif
}

PyObject *function_repr(PyObject *self) {
    const FunctionSpec &spec = *reinterpret_cast<FunctionObject *>(self)->spec;
    return PyUnicode_FromFormat("<function %s at %p>", spec.qualname.c_str(), self);
}

// __signature__: what was set on the function, else one built from its parameters.
PyObject *function_get_signature(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    try {
        if (f->dict)
            if (ref set = dict_get(f->dict, name("__signature__")))
                return set.release().ptr();
        ref inspect = import_module("inspect");
        ref parameter = attr(inspect, "Parameter");
        nb::list params;
        for (const ParamSpec &p : f->spec->params) {
            const char *kind = p.kind == Param::positional_or_keyword ? "POSITIONAL_OR_KEYWORD"
                               : p.kind == Param::keyword_only        ? "KEYWORD_ONLY"
                                                                      : "VAR_KEYWORD";
            if (p.default_)
                params.append(parameter(nb::handle(p.name), attr(parameter, kind),
                                        nb::arg("default") = nb::handle(p.default_)));
            else
                params.append(parameter(nb::handle(p.name), attr(parameter, kind)));
        }
        return attr(inspect, "Signature")(params).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

int function_set_signature(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (!f->dict && !(f->dict = PyDict_New()))
        return -1;
    if (!value)
        return PyDict_DelItem(f->dict, name("__signature__").ptr());
    return PyDict_SetItem(f->dict, name("__signature__").ptr(), value);
}

PyGetSetDef function_getset[] = {
    {"__signature__", function_get_signature, function_set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, (void *) FunctionSlots::dealloc},
    {Py_tp_traverse, (void *) FunctionSlots::traverse},
    {Py_tp_clear, (void *) FunctionSlots::clear},
    {Py_tp_call, (void *) PyVectorcall_Call},
    {Py_tp_descr_get, (void *) function_descr_get},
    {Py_tp_repr, (void *) function_repr},
    {Py_tp_getset, (void *) function_getset},
    {Py_tp_members, (void *) function_members},
    {0, nullptr},
};

// A heap type from a spec rather than nb::class_: calls through a bound
// __call__ would pass nanobind's dispatcher and its catch (...).
PyType_Spec function_spec = {
    "tallowmere.simulate_signal.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

} // namespace

void init_function_type() {
    if (g_function_type)
        return;
    PyObject *tp = PyType_FromSpec(&function_spec);
    if (!tp)
        throw nb::python_error();
    g_function_type = reinterpret_cast<PyTypeObject *>(tp);
    g_method_type = attr(import_module("types"), "MethodType").release().ptr();
}

ref make_function(const char *qualname, std::initializer_list<Param> params, Impl impl,
                  const char *doc) {
    return make_function(qualname, std::vector<Param>(params), impl, doc);
}

ref make_function(const char *qualname, const std::vector<Param> &params, Impl impl,
                  const char *doc) {
    init_function_type();
    if (params.size() > kMaxParams)
        throw std::length_error("too many parameters");
    auto *spec = new FunctionSpec();
    spec->qualname = qualname;
    spec->impl = impl;
    for (const Param &p : params) {
        if (p.kind == Param::var_keyword) {
            spec->has_var_keyword = true;
            continue;
        }
        spec->params.push_back({name(p.name).inc_ref().ptr(), p.kind,
                                p.default_value ? p.default_value.inc_ref().ptr() : nullptr});
        if (p.kind == Param::positional_or_keyword)
            ++spec->n_positional;
    }
    spec->n_named = spec->params.size();
    for (const Param &p : params)
        if (p.kind == Param::var_keyword)
            spec->params.push_back({name(p.name).inc_ref().ptr(), p.kind, nullptr});

    auto *f = PyObject_GC_New(FunctionObject, g_function_type);
    if (!f) {
        delete spec;
        throw nb::python_error();
    }
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->spec = spec;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    ref fn = nb::steal(reinterpret_cast<PyObject *>(f));

    std::string q(qualname);
    std::string short_name = q.substr(q.rfind('.') == std::string::npos ? 0 : q.rfind('.') + 1);
    nb::dict d = nb::steal<nb::dict>(PyDict_New());
    d[name("__name__")] = nb::str(short_name.c_str());
    d[name("__qualname__")] = nb::str(qualname);
    d[name("__module__")] = name("tallowmere.simulate_signal");
    d[name("__doc__")] = doc ? nb::object(nb::str(doc)) : nb::none();
    f->dict = d.release().ptr();
    return fn;
}

Impl own_body(nb::handle fn, size_t nargs) noexcept {
    if (!g_function_type || Py_TYPE(fn.ptr()) != g_function_type)
        return nullptr;
    const FunctionSpec &spec = *reinterpret_cast<FunctionObject *>(fn.ptr())->spec;
    if (nargs != spec.n_named || spec.has_var_keyword)
        return nullptr;
    return spec.impl;
}

bool call_own_positional(nb::handle fn, PyObject *const *args, size_t nargs, ref &out) {
    if (!g_function_type || Py_TYPE(fn.ptr()) != g_function_type)
        return false;
    const FunctionSpec &spec = *reinterpret_cast<FunctionObject *>(fn.ptr())->spec;
    if (spec.has_var_keyword || nargs > spec.n_positional)
        return false;
    PyObject *values[kMaxParams];
    for (size_t i = 0; i < spec.n_named; ++i) {
        values[i] = i < nargs ? args[i] : spec.params[i].default_;
        if (!values[i])
            return false;  // a required parameter left out: the call raises as Python's would
    }
    Call call;
    call.m_values = values;
    call.m_count = spec.n_named;
    out = call_body(spec.impl, call);
    return true;
}

ref call_body(Impl body, const Call &call) {
    try {
        ref result = body(call);
        return result.is_valid() ? result : ref(nb::none());
    }
    SIMSIG_LET_FORCED_UNWIND_THROUGH
    catch (nb::python_error &) {
        throw;
    } catch (nb::cast_error &) {
        PyErr_SetString(PyExc_TypeError, "unexpected argument type");
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    throw nb::python_error();
}

ref def_function(const char *function_name, std::initializer_list<Param> params, Impl impl,
                 const char *doc) {
    return def_function(function_name, std::vector<Param>(params), impl, doc);
}

ref def_function(const char *function_name, const std::vector<Param> &params, Impl impl,
                 const char *doc) {
    ref fn = make_function(function_name, params, impl, doc);
    set_global(function_name, fn);
    return fn;
}

namespace detail {
void keep_helper(PyObject *&name_slot, PyObject *&own_slot, PyObject **defaults,
                 const char *python_name, nb::handle fn, std::initializer_list<Param> params) {
    name_slot = name(python_name).ptr();
    PyObject *old = own_slot;
    own_slot = fn.inc_ref().ptr();
    Py_XDECREF(old);
    size_t i = 0;
    for (const Param &p : params) {
        PyObject *previous = defaults[i];
        defaults[i++] = p.default_value ? p.default_value.inc_ref().ptr() : nullptr;
        Py_XDECREF(previous);
    }
}
} // namespace detail

} // namespace simsig
