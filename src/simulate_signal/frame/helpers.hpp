// Module-level helpers, reached by their C++ symbol.
//
// A helper is a C++ function `ref fn(nb::handle...)`, declared in its folder's
// header and registered once under its Python name:
//
//   def_helper<typed_runtime_graph>("_typed_runtime_graph", {arg("graph")});
//
// and called by that symbol, so an editor finds the body and every caller:
//
//   call_helper<typed_runtime_graph>(graph);
//
// The namespace is still read at the moment of use. While it holds the
// function object the registration made, the C++ body runs directly (a
// typed call); anything that replaced it is called as Python would call it.
#pragma once

#include "frame/calls.hpp"
#include "frame/frame.hpp"

#include <cstddef>
#include <type_traits>
#include <utility>

namespace simsig {

namespace detail {

constexpr size_t kMaxHelperParams = 8;

// What one registration made: the interned name, the function object (strong,
// kept for the process, so its address is never reused) and the default of
// each parameter (strong, null where the parameter is required).
template <auto Fn>
struct helper_slot {
    static inline PyObject *name = nullptr;
    static inline PyObject *own = nullptr;
    static inline PyObject *defaults[kMaxHelperParams] = {};
};

template <typename>
struct helper_traits;
template <typename R, typename... Params>
struct helper_traits<R (*)(Params...)> {
    static constexpr size_t arity = sizeof...(Params);
    static_assert((std::is_same_v<Params, nb::handle> && ...),
                  "a helper takes its arguments as nb::handle");
    static_assert(arity <= kMaxHelperParams, "too many parameters for a helper");
};

// Fn(args...) as a ref; None for a void helper or an empty result.
template <auto Fn, typename... Handles>
ref invoke(const Handles &...args) {
    if constexpr (std::is_void_v<decltype(Fn(args...))>) {
        Fn(args...);
        return ref(nb::none());
    } else {
        ref result = Fn(args...);
        return result.is_valid() ? result : ref(nb::none());
    }
}

template <auto Fn, size_t... I>
ref call_from(const Call &call, std::index_sequence<I...>) {
    return invoke<Fn>(call[I]...);
}

// Fn(given..., then the defaults of the parameters left out); false, with
// nothing called, when one of those is required.
template <auto Fn, size_t... I>
bool call_with_defaults(const nb::handle *given, size_t count, ref &out,
                        std::index_sequence<I...>) {
    nb::handle all[sizeof...(I) + 1] = {
        (I < count ? given[I] : nb::handle(helper_slot<Fn>::defaults[I]))...};
    for (size_t i = count; i < sizeof...(I); ++i)
        if (!all[i])
            return false;
    out = invoke<Fn>(all[I]...);
    return true;
}

inline nb::handle as_argument(nb::handle h) { return h; }
inline nb::handle as_argument(const char *literal) { return name(literal); }
inline nb::handle as_argument(const kwarg &keyword) { return keyword.value; }
inline nb::handle as_call_argument(nb::handle h) { return h; }
inline nb::handle as_call_argument(const char *literal) { return name(literal); }
inline const kwarg &as_call_argument(const kwarg &keyword) { return keyword; }

void keep_helper(PyObject *&name_slot, PyObject *&own_slot, PyObject **defaults,
                 const char *python_name, nb::handle fn, std::initializer_list<Param> params);

} // namespace detail

// The body a function object runs for the typed C++ function Fn: each
// parameter bound to the next argument.
template <auto Fn>
ref body_of(const Call &call) {
    return detail::call_from<Fn>(
        call, std::make_index_sequence<detail::helper_traits<decltype(Fn)>::arity>{});
}

// Defines the helper `Fn` in the namespace as `python_name`.
template <auto Fn>
ref def_helper(const char *python_name, std::initializer_list<Param> params,
               const char *doc = nullptr) {
    using slot = detail::helper_slot<Fn>;
    ref fn = def_function(python_name, params, body_of<Fn>, doc);
    detail::keep_helper(slot::name, slot::own, slot::defaults, python_name, fn, params);
    return fn;
}

// Whether the namespace holds the registration's own function for Fn now.
template <auto Fn>
bool helper_is_own() {
    using slot = detail::helper_slot<Fn>;
    return global(nb::handle(slot::name)).ptr() == slot::own;
}

// Fn(args...) as the namespace holds it now. Arguments are handles, string
// literals (passed as interned str) or keyword arguments (kwarg, last, naming
// the parameters in their order). Parameters left out take their defaults,
// as a Python call would.
template <auto Fn, typename... Args>
ref call_helper(const Args &...args) {
    using slot = detail::helper_slot<Fn>;
    constexpr size_t arity = detail::helper_traits<decltype(Fn)>::arity;
    static_assert(sizeof...(Args) <= arity, "more arguments than parameters");
    ref current = global(nb::handle(slot::name));
    if (current.ptr() == slot::own) {
        const nb::handle given[sizeof...(Args) + 1] = {detail::as_argument(args)...};
        ref out;
        if (detail::call_with_defaults<Fn>(given, sizeof...(Args), out,
                                           std::make_index_sequence<arity>{}))
            return out;
    }
    return call(current, detail::as_call_argument(args)...);
}

} // namespace simsig
