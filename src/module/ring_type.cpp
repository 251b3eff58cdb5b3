// ring_type.cpp - the Ring type: constructor, destructor, method and
// property tables, and the translation of outcomes into Python results.

#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "module/boundary.h"
#include "ops/ops.h"
#include "ring/payload.h"

namespace uring::py {

namespace {

// A result object the interpreter failed to create becomes an internal
// failure, after the interpreter's own exception is reported.
PyObject* created(PyObject* o) {
    if (!o) {
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        throw InternalFailure("PyObject pointer is null");
    }
    return o;
}

}  // namespace

PyObject* finish(Outcome&& out) {
    using K = Outcome::Kind;
    switch (out.kind) {
        case K::Id:
        case K::Object:
            return out.first.release();
        case K::IdPair: {
            PyObject* t = created(PyTuple_New(2));
            PyTuple_SetItem(t, 0, out.first.release());
            PyTuple_SetItem(t, 1, out.second.release());
            return t;
        }
        case K::None:
            return Py_NewRef(Py_None);
        case K::PyError:
            return nullptr;
        case K::NulByte:
            return raise_nul_byte(out.a);
        case K::InvalidSlot:
            return raise_message("invalid fixed-file slot");
        case K::QueueFull:
            return raise_message("submission queue full");
        case K::Errno:
            return raise_errno(static_cast<int>(out.a));
        case K::DataTooLong:
            PyErr_SetString(PyExc_OverflowError, "data longer than 4294967295 bytes cannot be queued in one operation");
            return nullptr;
        case K::Forked:
            return raise_forked();
    }
    throw InternalFailure("unknown operation outcome");
}

PyObject* panic_from_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        // Native allocations never fail softly (see resources.h); the
        // standard containers report theirs this way.
        std::fputs("_uring: memory allocation failed\n", stderr);
        std::abort();
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic(nullptr);
    }
}

namespace {

PyObject* get_eventfd(RingState& st) { return created(PyLong_FromLong(st.event_fd())); }
PyObject* get_fixed_slots(RingState& st) { return created(PyLong_FromUnsignedLong(st.fixed_slots())); }
PyObject* get_inflight(RingState& st) { return created(PyLong_FromSize_t(st.inflight())); }

PyObject* ring_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        PyObject* slots[1] = {};
        if (bind_tuple(kConstructorIndex, args, kwargs, slots) < 0) return nullptr;
        uint32_t entries = default_value<uint32_t>(kConstructor.params[0].def);
        if (slots[0] && !convert(slots[0], entries)) {
            add_conversion_note("entries");
            return nullptr;
        }
        // The kernel side is complete before a Python object exists; if the
        // allocation below fails, `state` unwinds it on the way out.
        RingState state;
        if (int rc = state.setup(entries); rc < 0) return raise_errno(-rc);
        auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!no_args) return nullptr;
        PyObject* self = base_new(type, no_args.get(), nullptr);
        if (!self) return nullptr;
        RingObject* ring = as_ring(self);
        new (&ring->state) RingState(std::move(state));
        new (&ring->access) std::atomic<int32_t>(0);
        return self;
    } catch (...) {
        return panic_from_current_exception();
    }
}

void ring_dealloc(PyObject* self) noexcept {
    RingObject* ring = as_ring(self);
    {
        // Releasing pending entries may run Python code; keep whatever
        // exception is being raised around us intact.
        ErrorScope keep;
        std::destroy_at(&ring->state);
        std::destroy_at(&ring->access);
    }
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

auto ring_methods = method_table(std::make_index_sequence<kMethodCount>{});


PyGetSetDef ring_getset[] = {
    {"eventfd", getter_entry<get_eventfd>, nullptr, "The eventfd to hand to `loop.add_reader`.", nullptr},
    {"fixed_slots", getter_entry<get_fixed_slots>, nullptr,
     "Number of direct-descriptor slots available for linked chains (0 when\nthe kernel lacks sparse fixed-file "
     "registration).",
     nullptr},
    {"inflight", getter_entry<get_inflight>, nullptr, "Number of submissions still awaiting completion.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ring_slots[] = {
    {Py_tp_doc, const_cast<char*>(kConstructor.doc)},
    {Py_tp_new, reinterpret_cast<void*>(ring_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ring_dealloc)},
    {Py_tp_methods, ring_methods.data()},
    {Py_tp_getset, ring_getset},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE (final) and no GC: a Ring references no Python
// object that could form a cycle through it.
PyType_Spec ring_spec = {
    "builtins.Ring",
    static_cast<int>(sizeof(RingObject)),
    0,
    0,
    ring_slots,
};

}  // namespace

PyObject* create_ring_type() { return PyType_FromSpec(&ring_spec); }

}  // namespace uring::py
