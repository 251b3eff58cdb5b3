// payload.cpp - building reap's results from completions and pending entries.

#include "ring/payload.h"

#include <Python.h>

#include "ring/completion.h"
#include "ring/statx.h"

namespace uring {

namespace {

// Failed creation of a result object: the pending exception, if any, is
// reported as unraisable and the call ends as an internal failure.
[[noreturn, gnu::cold]] void creation_failed() {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    throw InternalFailure("PyObject pointer is null");
}

PyObject* checked(PyObject* o) {
    if (!o) creation_failed();
    return o;
}

// Which of RingState::ints keeps which repeating value: the result, and the
// statx fields that most files in a tree share.
enum CacheSlot : unsigned { kResult, kMode, kDev, kNlink, kUid, kGid, kBlksize, kRdev };
static_assert(kRdev < kCachedInts);

// An int equal to `v` (`is_signed`: the bits of an int64_t), borrowed from
// the cache, which is refilled when it holds another value.
PyObject* cached_int(CachedInt& c, uint64_t v, bool is_signed) {
    if (!c.obj || c.value != v) [[unlikely]] {
        c.obj = Ref::steal(
            checked(is_signed ? PyLong_FromLongLong(static_cast<int64_t>(v)) : PyLong_FromUnsignedLongLong(v)));
        c.value = v;
    }
    return c.obj.get();
}

PyObject* statx_tuple(RingState& st, const StatxBuffer& buf) {
    // The cache slot of each of the 13 fields, or none for values that
    // differ from file to file.
    constexpr unsigned kNone = kCachedInts;
    static constexpr unsigned kSlotOf[13] = {kMode, kNone, kDev,  kNlink, kUid,    kGid,  kNone,
                                             kNone, kNone, kNone, kBlksize, kNone, kRdev};
    const StatxValues v = decode_statx(buf.bytes);
    // Every item exists before the tuple does: a failure reports itself
    // through the unraisable hook, Python code that must not find a tuple
    // with empty items among the collector's objects.
    Ref items[13];
    for (unsigned i = 0; i < 13; ++i) {
        const bool is_signed = i >= StatxValues::kSignedFirst && i <= StatxValues::kSignedLast;
        if (kSlotOf[i] != kNone) {
            items[i] = Ref::borrow(cached_int(st.ints[kSlotOf[i]], v.fields[i], false));
        } else {
            items[i] = Ref::steal(checked(is_signed ? PyLong_FromLongLong(static_cast<int64_t>(v.fields[i]))
                                                    : PyLong_FromUnsignedLongLong(v.fields[i])));
        }
    }
    PyObject* tuple = checked(PyTuple_New(13));
    for (unsigned i = 0; i < 13; ++i) PyTuple_SetItem(tuple, i, items[i].release());
    return tuple;
}

PyObject* read_payload(Read& r, int32_t res) {
    // The kernel never reports more than was asked; if it ever did, the
    // whole buffer is the answer and nothing past it is read.
    if (static_cast<uint32_t>(res) >= r.len) return r.buffer.release();
    return checked(PyBytes_FromStringAndSize(PyBytes_AsString(r.buffer.get()), res));
}

// The payload a completion carries; null stands for None.
Ref payload_for(RingState& st, PendingOp& op, int32_t res) {
    if (res >= 0) {
        if (auto* r = std::get_if<Read>(&op)) return Ref::steal(read_payload(*r, res));
        if (auto* s = std::get_if<Statx>(&op)) return Ref::steal(statx_tuple(st, *s->buffer));
    }
    return Ref();
}

}  // namespace

bool new_read_buffer(uint32_t len, Ref& out, uint64_t& addr) {
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len));
    if (!b) return false;
    addr = reinterpret_cast<uintptr_t>(PyBytes_AsString(b));
    out = Ref::steal(b);
    return true;
}

Ref new_id_object(uint64_t id) { return Ref::steal(PyLong_FromUnsignedLongLong(id)); }

PyObject* reap_completions(RingState& st) {
    const PostedCompletions posted(st);
    const uint32_t n = posted.size();
    Ref list = Ref::steal(checked(PyList_New(n)));
    // Releasing entries can run Python code (a finalizer of a written bytes
    // subclass, say), which must never find a list with empty items: the
    // collector forgets the list until it is complete.
    if (n) PyObject_GC_UnTrack(list.get());
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t user_data = posted[i].user_data;
        const int32_t res = posted[i].res;
        // PyTuple_Pack takes its own references: the triple borrows the
        // entry's id object, the cached result and None, and only a payload
        // built here is dropped again.
        PyObject* result = cached_int(st.ints[kResult], static_cast<uint64_t>(static_cast<int64_t>(res)), true);
        PyObject* triple = nullptr;
        // The entry is released when consume() returns, after the triple has
        // taken its own references.
        st.pending.consume(user_data, [&](Pending* p) {
            if (p) {
                const Ref payload = payload_for(st, p->op, res);
                triple = PyTuple_Pack(3, p->id.get(), result, payload ? payload.get() : Py_None);
            } else {
                Ref ud = Ref::steal(checked(PyLong_FromUnsignedLongLong(user_data)));
                triple = PyTuple_Pack(3, ud.get(), result, Py_None);
            }
        });
        PyList_SetItem(list.get(), i, checked(triple));
    }
    if (n) PyObject_GC_Track(list.get());
    return list.release();
}

}  // namespace uring
