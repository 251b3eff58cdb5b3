// SQ and CQ index handling over hand-built ring memory with positions that
// wrap around 2^32, and decoding of struct statx images.

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>

#include "ring/completion.h"
#include "ring/statx.h"
#include "ring/submission.h"

namespace {

using namespace uring;

constexpr uint32_t kEntries = 8, kMask = kEntries - 1;

// The rings are plain arrays and the ring fd is -1, so the flush a full
// queue forces fails with -EBADF: that is how "full" shows here.
struct Rings : ::testing::Test {
    uint32_t sq_head = 0, sq_tail = 0, sq_flags = 0, cq_head = 0, cq_tail = 0;
    io_uring_sqe sqes[kEntries] = {};
    io_uring_cqe cqes[kEntries] = {};
    RingState st;

    Rings() {
        st.sq = SqView{&sq_head, &sq_tail, &sq_flags, kMask, kEntries, sqes};
        st.cq = CqView{&cq_head, &cq_tail, kMask, kEntries, cqes};
    }
    static io_uring_sqe image(unsigned n) {  // 64 distinct bytes per n
        io_uring_sqe s;
        auto* b = reinterpret_cast<unsigned char*>(&s);
        for (unsigned i = 0; i < sizeof s; ++i) b[i] = static_cast<unsigned char>(n * 67 + i);
        return s;
    }
    bool slot_holds(uint32_t pos, unsigned n) {
        const io_uring_sqe want = image(n);
        return std::memcmp(&sqes[pos & kMask], &want, sizeof want) == 0;
    }
    // A push that must fail with the queue untouched.
    void expect_refused(bool pair) {
        io_uring_sqe before[kEntries];
        std::memcpy(before, sqes, sizeof sqes);
        const uint32_t tail = sq_tail;
        EXPECT_EQ(pair ? sq_push_pair(st, image(98), image(99)) : sq_push(st, image(97)), -EBADF);
        EXPECT_EQ(sq_tail, tail);
        EXPECT_EQ(std::memcmp(before, sqes, sizeof sqes), 0);
    }
};

TEST_F(Rings, SinglePushWrapsAndAFullQueueTakesNothing) {
    sq_head = sq_tail = 0xFFFFFFF0u;
    int fulls = 0;
    for (unsigned n = 0; n < 28; ++n) {
        if (sq_tail - sq_head == kEntries) {
            expect_refused(false);
            expect_refused(true);
            ++fulls;
            sq_head += 3;  // the kernel consumes a few
        }
        const uint32_t pos = sq_tail;
        ASSERT_EQ(sq_push(st, image(n)), 0);
        EXPECT_EQ(sq_tail, pos + 1);
        EXPECT_TRUE(slot_holds(pos, n)) << n;
    }
    EXPECT_EQ(sq_tail, 12u);  // crossed 2^32
    EXPECT_EQ(fulls, 7);
}

TEST_F(Rings, PairLandsAdjacentAcrossTheArrayEndOrNotAtAll) {
    sq_head = sq_tail = 0xFFFFFFFFu;
    ASSERT_EQ(sq_push_pair(st, image(1), image(2)), 0);
    EXPECT_EQ(sq_tail, 1u);
    EXPECT_TRUE(slot_holds(7, 1));
    EXPECT_TRUE(slot_holds(0, 2));
    for (unsigned n = 3; n < 8; ++n) ASSERT_EQ(sq_push(st, image(n)), 0);
    expect_refused(true);  // one slot left: not even the first half goes in
    ASSERT_EQ(sq_push(st, image(10)), 0);
    sq_head += 2;
    ASSERT_EQ(sq_push_pair(st, image(11), image(12)), 0);
    EXPECT_TRUE(slot_holds(6, 10) && slot_holds(7, 11) && slot_holds(8, 12));
    EXPECT_EQ(sq_tail, 9u);
}

TEST_F(Rings, CqTakeCopiesInOrderAcrossTheWrapAndNoMoreThanTheRing) {
    Completion out[kEntries + 1];
    out[6] = out[kEntries] = Completion{42, 42};
    EXPECT_EQ(cq_take(st, out), 0u);
    cq_head = cq_tail = 0xFFFFFFFCu;
    for (uint32_t i = 0; i < 6; ++i)
        cqes[(cq_tail++) & kMask] = io_uring_cqe{(1ull << 63) + i, -static_cast<int32_t>(i), ~0u};
    ASSERT_EQ(cq_take(st, out), 6u);
    for (uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(out[i].user_data, (1ull << 63) + i);
        EXPECT_EQ(out[i].res, -static_cast<int32_t>(i));
    }
    EXPECT_EQ(out[6].user_data, 42u);
    EXPECT_EQ(cq_head, 2u);
    EXPECT_EQ(cq_take(st, out), 0u);
    EXPECT_EQ(cq_head, 2u);
    cq_tail = cq_head + 1000;  // a tail word claiming more than the ring holds
    ASSERT_EQ(cq_take(st, out), kEntries);
    EXPECT_EQ(out[kEntries].user_data, 42u);
    EXPECT_EQ(cq_head, 2u + kEntries);
}

// A struct statx image: 0xA5 everywhere, then the fields put into it.
struct StatxImage {
    alignas(8) unsigned char b[256];
    StatxImage() { std::memset(b, 0xA5, sizeof b); }
    template <class T>
    StatxImage& put(unsigned off, T v) {
        std::memcpy(b + off, &v, sizeof v);
        return *this;
    }
    StatxImage& time(unsigned off, int64_t sec, uint32_t nsec) { return put(off, sec).put(off + 8, nsec); }
    int64_t at(unsigned i) const { return static_cast<int64_t>(decode_statx(b).fields[i]); }
};

TEST(Statx, FieldsOffsetsTimestampsAndDeviceNumbers) {
    StatxImage img;
    img.put<uint16_t>(0x1C, 0x81A4).put<uint64_t>(0x20, 0x1122334455667788).put<uint32_t>(0x10, 3);
    img.put<uint32_t>(0x14, 0xFFFFFFFE).put<uint32_t>(0x18, 1000).put<uint64_t>(0x28, 1ull << 50);
    img.put<uint32_t>(0x04, 4096).put<uint64_t>(0x30, 0x7EDCBA9876543210);
    img.time(0x40, 1, 5).time(0x60, -1, 500000000).time(0x70, 9223372036, 854775807);
    img.put<uint32_t>(0x80, 8).put<uint32_t>(0x84, 1).put<uint32_t>(0x88, 0xABCDE123).put<uint32_t>(0x8C, 0x12345678);
    // In decode order: mode, ino, dev, nlink, uid, gid, size, atime, mtime,
    // ctime, blksize, blocks, rdev. The device number puts minor 0-7 in bits
    // 0-7, major 0-11 in 8-19, minor 8-19 in 20-31, minor 20-31 in 32-43 and
    // major 12-31 in 44-63.
    const int64_t want[13] = {0x81A4, 0x1122334455667788, int64_t(0xABCDE12345612378), 3, 0xFFFFFFFE, 1000,
                              1ll << 50, 1000000005, INT64_MAX, -500000000, 4096, 0x7EDCBA9876543210, 2049};
    for (unsigned i = 0; i < 13; ++i) EXPECT_EQ(img.at(i), want[i]) << "field " << i;
    EXPECT_EQ(uint64_t(img.at(2)), makedev(0xABCDE123u, 0x12345678u));
}

}  // namespace
