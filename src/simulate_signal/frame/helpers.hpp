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

// What one registration made: the interned name and the function object
// (strong, kept for the process, so its address is never reused).
template <auto Fn> struct helper_slot {
    static inline PyObject *name = nullptr;
    static inline PyObject *own = nullptr;
};

template <typename> struct helper_traits;
template <typename R, typename... Params> struct helper_traits<R (*)(Params...)> {
    static constexpr size_t arity = sizeof...(Params);
    static_assert((std::is_same_v<Params, nb::handle> && ...),
                  "a helper takes its arguments as nb::handle");
};

template <auto Fn, size_t... I> ref call_from(const Call &call, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<decltype(Fn(call[I]...))>) {
        Fn(call[I]...);
        return ref();
    } else {
        return ref(Fn(call[I]...));
    }
}

inline nb::handle as_argument(nb::handle h) { return h; }
inline nb::handle as_argument(const char *literal) { return name(literal); }
inline nb::handle as_argument(const kwarg &keyword) { return keyword.value; }
inline const kwarg &as_call_argument(const kwarg &keyword) { return keyword; }
inline nb::handle as_call_argument(const nb::handle &h) { return h; }
inline nb::handle as_call_argument(const char *literal) { return name(literal); }

void keep_helper(PyObject *&name_slot, PyObject *&own_slot, const char *python_name, nb::handle fn);

}  // namespace detail

// The body a function object runs for the typed C++ function Fn: each
// parameter bound to the next argument.
template <auto Fn> ref body_of(const Call &call) {
    return detail::call_from<Fn>(
        call, std::make_index_sequence<detail::helper_traits<decltype(Fn)>::arity>{});
}

// Defines the helper `Fn` in the namespace as `python_name`.
template <auto Fn>
ref def_helper(const char *python_name, std::initializer_list<Param> params,
               const char *doc = nullptr) {
    ref fn = def_function(python_name, params, body_of<Fn>, doc);
    detail::keep_helper(detail::helper_slot<Fn>::name, detail::helper_slot<Fn>::own, python_name,
                        fn);
    return fn;
}

// Fn(args...) as the namespace holds it now. Arguments are handles, string
// literals (passed as interned str) or keyword arguments (kwarg, last, naming
// the parameters in their order). Fewer arguments than parameters leave the
// rest to their defaults, as a Python call would.
template <auto Fn, typename... Args> ref call_helper(const Args &...args) {
    using slot = detail::helper_slot<Fn>;
    ref current = global(nb::handle(slot::name));
    if constexpr (sizeof...(Args) == detail::helper_traits<decltype(Fn)>::arity) {
        if (current.ptr() == slot::own) {
            if constexpr (std::is_void_v<decltype(Fn(detail::as_argument(args)...))>) {
                Fn(detail::as_argument(args)...);
                return ref(nb::none());
            } else {
                ref result = Fn(detail::as_argument(args)...);
                return result.is_valid() ? result : ref(nb::none());
            }
        }
    }
    return call(current, detail::as_call_argument(args)...);
}

}  // namespace simsig
