// IdMap against std::unordered_map as a model, value lifetimes, and the
// pending records' release of the Python references they hold.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <unordered_map>
#include <vector>

#include "ring/ring_state.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

// The engine's only interpreter dependency, recorded instead of performed.
static std::vector<PyObject*> g_decrefs;
static int g_increfs = 0;
extern "C" void Py_IncRef(PyObject*) { ++g_increfs; }
extern "C" void Py_DecRef(PyObject* p) { g_decrefs.push_back(p); }

namespace {

using uring::IdMap;

// Counts constructions (moves included) against destructions.
struct Counted {
    static inline long live = 0;
    uint64_t v;
    explicit Counted(uint64_t x) : v(x) { ++live; }
    Counted(Counted&& o) noexcept : v(o.v) { ++live; }
    Counted& operator=(Counted&& o) noexcept { v = o.v; return *this; }
    ~Counted() { --live; }
};
const auto kNoDuplicate = [](Counted&&) { FAIL() << "unexpected displaced value"; };

// Keys whose hashes share their top 20 bits share one home slot in any table
// of up to 2^20 slots. The 0xFFFFF cluster lives at the last slot, so its run
// wraps onto the 0 cluster at the start of the array.
constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
constexpr uint64_t inverse(uint64_t a) {  // Newton's iteration mod 2^64, a odd
    uint64_t x = a;
    for (int i = 0; i < 6; ++i) x *= 2 - a * x;
    return x;
}
static_assert(inverse(kMul) * kMul == 1);
uint64_t colliding_key(uint64_t top20, uint64_t i) { return inverse(kMul) * ((top20 << 44) | i); }

TEST(IdMap, MatchesModelUnderRandomOperations) {
    std::mt19937_64 rng(20240611);
    std::vector<uint64_t> spread = {0, ~0ull}, clustered;
    for (uint64_t i = 1; i <= 6000; ++i) spread.insert(spread.end(), {i, rng()});
    for (uint64_t i = 0; i < 400; ++i) clustered.insert(clustered.end(), {colliding_key(0, i), colliding_key(0xFFFFF, i)});

    IdMap<Counted> m;
    std::unordered_map<uint64_t, uint64_t> model;
    m.consume(1, [](Counted* c) { EXPECT_EQ(c, nullptr); });  // empty table
    for (int step = 0; step < 200000; ++step) {
        const auto& keys = rng() % 3 ? spread : clustered;
        const uint64_t k = keys[rng() % keys.size()];
        const auto it = model.find(k);
        const unsigned op = rng() % 10;
        if (op < (step < 100000 ? 6u : 3u)) {  // grow first, then drain
            const uint64_t v = rng();
            bool displaced = false;
            m.insert(k, Counted(v), [&](Counted&& old) {
                displaced = true;
                ASSERT_NE(it, model.end());
                EXPECT_EQ(old.v, it->second);
            });
            EXPECT_EQ(displaced, it != model.end());
            model[k] = v;
        } else if (op < 8) {
            const bool fail = rng() % 8 == 0;  // a use that throws leaves the value in place
            try {
                m.consume(k, [&](Counted* c) {
                    ASSERT_EQ(c != nullptr, it != model.end()) << k;
                    if (c) { EXPECT_EQ(c->v, it->second); }
                    if (fail) throw k;
                });
            } catch (uint64_t) {
            }
            if (!fail) model.erase(k);
        } else {
            m.erase(k);
            model.erase(k);
        }
        if (step == 99999) { EXPECT_GE(m.capacity(), 16384u); }
        if (step % 25000 == 24999) {
            ASSERT_EQ(m.size(), model.size());
            ASSERT_EQ(Counted::live, static_cast<long>(model.size()));
            for (auto [key, v] : model) ASSERT_TRUE(m.find(key) && m.find(key)->v == v) << key;
        }
    }
    m.clear();
    EXPECT_EQ(Counted::live, 0);
}

TEST(IdMap, ClearDestroysAndAbandonDoesNot) {
    IdMap<Counted> m;
    for (uint64_t k = 1; k <= 100; ++k) m.insert(k, Counted(k), kNoDuplicate);
    m.clear();
    EXPECT_EQ(Counted::live, 0);
    {
#if defined(__SANITIZE_ADDRESS__)
        __lsan::ScopedDisabler abandoned_on_purpose;  // abandon() leaks by design
#endif
        for (uint64_t k = 1; k <= 100; ++k) m.insert(k, Counted(k), kNoDuplicate);
        m.abandon();
    }
    EXPECT_EQ(Counted::live, 100);
    EXPECT_EQ(m.size(), 0u);
    m.insert(5, Counted(5), kNoDuplicate);  // still usable afterwards
    m.clear();
    EXPECT_EQ(Counted::live, 100);
    Counted::live = 0;
}

PyObject* fake(int i) {
    static int objects[8];
    return reinterpret_cast<PyObject*>(&objects[i]);
}
size_t released(PyObject* p) { return static_cast<size_t>(std::count(g_decrefs.begin(), g_decrefs.end(), p)); }

TEST(Pending, EntriesReleaseTheirReferencesExactlyOnce) {
    using namespace uring;
    const auto none = [](Pending&&) {};
    g_decrefs.clear();
    {
        RingState st;  // never set up: destruction only releases the table
        st.pending.insert(1, Pending(Read{Ref::steal(fake(0)), 10}, Ref::steal(fake(5))), none);
        st.pending.insert(2, Write{Ref::borrow(fake(1))}, none);
        EXPECT_EQ(g_increfs, 1);
        std::vector<Ref> refs;
        refs.push_back(Ref::steal(fake(2)));
        refs.push_back(Ref::steal(fake(3)));
        st.pending.insert(3, WriteVectored{std::move(refs), nullptr}, none);
        size_t nul_at;  // owned C buffers must survive the moves of growth, too (ASan)
        st.pending.insert(4, Statx{make_path_copy("a/b", 3, &nul_at), make_statx_buffer()}, none);
        for (uint64_t k = 100; k < 400; ++k) st.pending.insert(k, NoBuffers{}, none);
        EXPECT_TRUE(g_decrefs.empty()) << "growth must move references, not drop them";

        st.pending.erase(2);
        EXPECT_EQ(g_decrefs, std::vector<PyObject*>{fake(1)});
        st.pending.consume(1, [](Pending* p) {
            EXPECT_EQ(std::get<Read>(p->op).buffer.get(), fake(0));
            EXPECT_EQ(p->id.get(), fake(5));
            EXPECT_EQ(released(fake(0)), 0u);
        });
        EXPECT_EQ(released(fake(0)), 1u);
        EXPECT_EQ(released(fake(5)), 1u);
        bool displaced = false;
        st.pending.insert(3, Write{Ref::steal(fake(4))},
                          [&](Pending&& old) { displaced = std::holds_alternative<WriteVectored>(old.op); });
        EXPECT_TRUE(displaced);
        EXPECT_TRUE(released(fake(2)) == 1 && released(fake(3)) == 1 && released(fake(4)) == 0);
    }
    EXPECT_EQ(released(fake(4)), 1u);
    EXPECT_EQ(g_decrefs.size(), 6u);
}

}  // namespace
