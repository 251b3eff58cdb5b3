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

// Makes the cached int equal to `v` (`is_signed`: the bits of an int64_t)
// and returns it borrowed; null with the interpreter's exception set, the
// cache unchanged, if the int cannot be created.
[[gnu::noinline]] PyObject* refill(CachedInt& c, uint64_t v, bool is_signed) {
    PyObject* o = is_signed ? PyLong_FromLongLong(static_cast<int64_t>(v)) : PyLong_FromUnsignedLongLong(v);
    if (!o) return nullptr;
    c.obj = Ref::steal(o);
    c.value = v;
    return o;
}

// An int equal to `v`, borrowed from the cache; null as for refill().
PyObject* cached_int(CachedInt& c, uint64_t v, bool is_signed) {
    if (c.obj && c.value == v) [[likely]]
        return c.obj.get();
    return refill(c, v, is_signed);
}

// The same, ending the call as an internal failure if the int cannot be
// created.
PyObject* cached_int_or_fail(CachedInt& c, uint64_t v, bool is_signed) {
    if (c.obj && c.value == v) [[likely]]
        return c.obj.get();
    return checked(refill(c, v, is_signed));
}

// Out of line: it would crowd the registers of reap's loop.
[[gnu::noinline]] PyObject* statx_tuple(RingState& st, const StatxBuffer& buf) {
    // The cache slot of each of the 13 fields, or none for values that
    // differ from file to file.
    constexpr unsigned kNone = kCachedInts;
    static constexpr unsigned kSlotOf[13] = {kMode, kNone, kDev,  kNlink, kUid,    kGid,  kNone,
                                             kNone, kNone, kNone, kBlksize, kNone, kRdev};
    const StatxValues v = decode_statx(buf.bytes);
    // The items, borrowed from the cache or new, come first and the tuple
    // takes its own references in one call. A failure is reported through
    // the unraisable hook, Python code that must never find a tuple with
    // empty items among the collector's objects: none exists at any point.
    PyObject* it[13];
    unsigned made = 0;
    auto release_new = [&] {
        for (unsigned i = 0; i < made; ++i)
            if (kSlotOf[i] == kNone) Py_DecRef(it[i]);
    };
    for (; made < 13; ++made) {
        const unsigned i = made;
        const bool is_signed = i >= StatxValues::kSignedFirst && i <= StatxValues::kSignedLast;
        if (kSlotOf[i] != kNone) {
            it[i] = cached_int(st.ints[kSlotOf[i]], v.fields[i], false);
        } else {
            it[i] = is_signed ? PyLong_FromLongLong(static_cast<int64_t>(v.fields[i]))
                              : PyLong_FromUnsignedLongLong(v.fields[i]);
        }
        if (!it[i]) {
            release_new();
            creation_failed();
        }
    }
    PyObject* tuple = PyTuple_Pack(13, it[0], it[1], it[2], it[3], it[4], it[5], it[6], it[7], it[8], it[9],
                                   it[10], it[11], it[12]);
    release_new();
    return checked(tuple);
}

// The payload a completion carries: borrowed from the entry (the buffer of a
// read that filled it) or created and owned by `made`. The entry itself is
// left whole, so a failure further on can be retried from it.
PyObject* payload_for(RingState& st, PendingOp& op, int32_t res, Ref& made) {
    if (res >= 0) {
        if (auto* r = std::get_if<Read>(&op)) {
            // The kernel never reports more than was asked; if it ever did,
            // the whole buffer is the answer and nothing past it is read.
            if (static_cast<uint32_t>(res) >= r->len) return r->buffer.get();
            made = Ref::steal(checked(PyBytes_FromStringAndSize(PyBytes_AsString(r->buffer.get()), res)));
            return made.get();
        }
        if (auto* s = std::get_if<Statx>(&op)) {
            made = Ref::steal(statx_tuple(st, *s->buffer));
            return made.get();
        }
    }
    return Py_None;
}

// The (user_data, result, payload) triple of one completion. Its entry is
// released once the triple holds its own references; if any object cannot
// be created, the call ends as an internal failure with the entry untouched.
[[gnu::always_inline]] inline PyObject* triple_for(RingState& st, const io_uring_cqe& cqe) {
    const uint64_t user_data = cqe.user_data;
    const int32_t res = cqe.res;
    // PyTuple_Pack takes its own references: the triple borrows the entry's
    // id object, the cached result and the payload, and only a payload built
    // here is dropped again.
    PyObject* result = cached_int_or_fail(st.ints[kResult], static_cast<uint64_t>(static_cast<int64_t>(res)), true);
    PyObject* triple = nullptr;
    st.pending.consume(user_data, [&](Pending* p) {
        if (p) {
            Ref made;
            triple = checked(PyTuple_Pack(3, p->id.get(), result, payload_for(st, p->op, res, made)));
        } else {
            const Ref ud = Ref::steal(checked(PyLong_FromUnsignedLongLong(user_data)));
            triple = checked(PyTuple_Pack(3, ud.get(), result, Py_None));
        }
    });
    return triple;
}

// After a triple failed: keeps `list` for the next reap if it holds any
// triple, and returns how many of the `n` completions whose triples were to
// go in from item `at` on made it (up to the first empty item).
[[gnu::cold, gnu::noinline]] uint32_t hold_built(RingState& st, Ref& list, uint32_t at, uint32_t n) {
    uint32_t built = at;
    while (built < at + n && PyList_GetItem(list.get(), built)) ++built;
    if (built) {
        st.held = std::move(list);
        st.held_count = built;
    }
    return built - at;
}

// Sets items at, at + 1, ... of `list` to the triples of `posted`. Should one
// fail, only the completions before it go back to the kernel, the triples
// built are held for the next reap, and the failure goes on: nothing is lost
// and nothing comes back twice. The loop keeps no count of its own for that
// (the list's filled items are the count), and `posted` never leaves this
// frame, so its fields stay in registers.
[[gnu::always_inline]] inline void fill(RingState& st, PostedCompletions& posted, Ref& list, uint32_t at) {
    const uint32_t n = posted.size();
    try {
        for (uint32_t i = 0; i < n; ++i) PyList_SetItem(list.get(), at + i, triple_for(st, posted[i]));
    } catch (...) {
        posted.keep_from(hold_built(st, list, at, n));
        throw;
    }
}

// A list of `n` items for fill(), hidden from the collector until it is
// complete: releasing entries can run Python code (a finalizer of a written
// bytes subclass, say), which must never find a list with empty items. If it
// cannot be created, every completion stays posted.
[[gnu::always_inline]] inline Ref new_result_list(PostedCompletions& posted, uint32_t n) {
    Ref list = Ref::steal(PyList_New(n));
    if (!list) {
        posted.keep_from(0);
        creation_failed();
    }
    if (n) PyObject_GC_UnTrack(list.get());
    return list;
}

// reap after a failed one: the triples held from it first, then the
// completions posted since (the failed one among them).
[[gnu::cold, gnu::noinline]] PyObject* reap_after_failure(RingState& st) {
    PostedCompletions posted(st);
    const uint32_t k = st.held_count;  // at least 1
    Ref list = new_result_list(posted, k + posted.size());
    for (uint32_t j = 0; j < k; ++j) {
        PyObject* t = PyList_GetItem(st.held.get(), j);
        Py_IncRef(t);
        PyList_SetItem(list.get(), j, t);
    }
    st.held = Ref();
    st.held_count = 0;
    fill(st, posted, list, k);
    PyObject_GC_Track(list.get());
    return list.release();
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
    if (st.held) [[unlikely]]
        return reap_after_failure(st);
    PostedCompletions posted(st);
    const uint32_t n = posted.size();
    Ref list = new_result_list(posted, n);
    fill(st, posted, list, 0);
    if (n) PyObject_GC_Track(list.get());
    return list.release();
}

}  // namespace uring
