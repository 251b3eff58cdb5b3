// boundary.h - the one path every call takes from Python into the ring:
// bind, take the instance, convert in parameter order, run the operation,
// release, and turn the outcome into a value or an exception. Nothing a
// method does escapes as a C++ exception: the guard at the end raises
// PanicException instead.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <exception>
#include <tuple>
#include <utility>

#include "module/binding.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/ring_object.h"
#include "module/methods.h"
#include "ops/outcome.h"

namespace uring::py {

// Turns an operation's outcome into the call's result.
PyObject* finish(Outcome&& out);

// The internal-failure guard's handler, for use inside `catch (...)`.
PyObject* panic_from_current_exception() noexcept;

namespace detail {

template <class... A>
std::tuple<A...> arguments_of(Outcome (*)(RingState&, A...));

template <unsigned I>
using ArgumentsOf = decltype(arguments_of(MethodAt<I>::op));

template <unsigned I, size_t K, class T>
bool convert_one(PyObject* slot, T& value) {
    constexpr Param param = kSignatures[I].params[K];
    if (!slot) {
        if constexpr (std::is_integral_v<T>) {
            value = default_value<T>(param.def);
            return true;
        } else {
            return false;  // binding guarantees required parameters are present
        }
    }
    if (convert(slot, value)) return true;
    add_conversion_note(param.name);
    return false;
}

template <unsigned I, size_t... K>
[[gnu::always_inline]] inline PyObject* convert_and_run(RingObject* ring, PyObject* const* slots,
                                                        std::index_sequence<K...>) {
    ArgumentsOf<I> values;
    if (!(convert_one<I, K>(slots[K], std::get<K>(values)) && ...)) return nullptr;
    Outcome out = MethodAt<I>::op(ring->state, std::move(std::get<K>(values))...);
    // The common result, an id, skips finish()'s dispatch.
    if (out.kind == Outcome::Kind::Id) return out.first.release();
    return finish(std::move(out));
}

template <unsigned I>
[[gnu::always_inline]] inline PyObject* with_access(RingObject* ring, PyObject* const* slots) {
    constexpr size_t N = std::tuple_size_v<ArgumentsOf<I>>;
    constexpr bool exclusive = kSignatures[I].access == Access::Exclusive;
    using Guard = std::conditional_t<exclusive, ExclusiveAccess, SharedAccess>;
    Guard guard(ring->access);
    if (!guard.try_take()) return exclusive ? raise_already_borrowed() : raise_already_mutably_borrowed();
    // The rings are shared with the parent's kernel instance after a fork.
    // A fork made by Python code that conversion runs is caught by the push.
    if (ring->state.foreign()) return raise_forked();
    return convert_and_run<I>(ring, slots, std::make_index_sequence<N>{});
}

}  // namespace detail

// Calls that name arguments or leave some out go through binding first;
// kept out of line so the positional path stays small.
template <unsigned I>
[[gnu::noinline]] PyObject* bound_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[kSignatures[I].nparams] = {};
    if (bind_vector(I, args, nargs, kwnames, slots) < 0) return nullptr;
    return detail::with_access<I>(as_ring(self), slots);
}

template <unsigned I>
[[gnu::flatten]] PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                      PyObject* kwnames) noexcept {
    constexpr size_t N = kSignatures[I].nparams;
    try {
        // PyVectorcall_NARGS, without the call it is in the limited API.
        const auto nargs = static_cast<Py_ssize_t>(static_cast<size_t>(nargsf) & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
        // The common call passes arguments by position only: nothing to bind
        // beyond leaving out trailing optional ones.
        if (!kwnames && nargs == static_cast<Py_ssize_t>(N)) return detail::with_access<I>(as_ring(self), args);
        if constexpr (kSignatures[I].nrequired < N) {
            if (!kwnames && nargs >= kSignatures[I].nrequired && nargs < static_cast<Py_ssize_t>(N)) {
                PyObject* slots[N] = {};
                std::copy_n(args, nargs, slots);
                return detail::with_access<I>(as_ring(self), slots);
            }
        }
        return bound_entry<I>(self, args, nargs, kwnames);
    } catch (...) {
        return panic_from_current_exception();
    }
}

template <unsigned I>
[[gnu::flatten]] PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    try {
        return detail::with_access<I>(as_ring(self), nullptr);
    } catch (...) {
        return panic_from_current_exception();
    }
}

template <unsigned I>
constexpr PyMethodDef method_def() {
    static_assert(row_is_sound<I>(), "this method's row disagrees with its operation");
    constexpr Signature s = kSignatures[I];
    if constexpr (s.nparams == 0) {
        return {s.name, reinterpret_cast<PyCFunction>(noargs_entry<I>), METH_NOARGS, s.doc};
    } else {
        return {s.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_entry<I>)),
                METH_FASTCALL | METH_KEYWORDS, s.doc};
    }
}

// The method table, one entry per row and the sentinel.
template <size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> method_table(std::index_sequence<I...>) {
    return {method_def<I>()..., PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

// Properties: shared access, no arguments, an integer value.
template <auto Get>
PyObject* getter_entry(PyObject* self, void*) noexcept {
    try {
        RingObject* ring = as_ring(self);
        SharedAccess guard(ring->access);
        if (!guard.try_take()) return raise_already_mutably_borrowed();
        return Get(ring->state);
    } catch (...) {
        return panic_from_current_exception();
    }
}

}  // namespace uring::py
