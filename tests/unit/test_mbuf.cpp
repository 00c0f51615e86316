#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "mbuf.h"
#include "log_capture.h"

#define EXPECT_SKB_ASSERTION(statement, function, text)                                            \
    EXPECT_ASSERTION(statement, function, "src/mbuf", text)

namespace
{

constexpr uint64_t QUARTER = SKB_SIZE / 4;

struct positions {
    uint64_t head; // data - buffer
    uint64_t tail; // ptr - buffer
    uint64_t used;
    uint64_t avail;
    uint64_t data_size;
    bool operator==(const positions &) const = default;
};

positions positions_of(const skb *s)
{
    return {static_cast<uint64_t>(s->data - s->buffer), static_cast<uint64_t>(s->ptr - s->buffer),
            s->used, s->avail, s->data_size};
}

// Writes through the free-space view the way recv or BIO_read would.
void put(skb *s, const std::vector<uint8_t> &bytes)
{
    auto room = skb_free_space(s);
    ASSERT_GE(room.size(), bytes.size());
    std::copy(bytes.begin(), bytes.end(), room.begin());
    skb_produce(s, bytes.size());
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

std::vector<uint8_t> unread(const skb *s)
{
    auto view = skb_unread(s);
    return {view.begin(), view.end()};
}

struct Skb : ::testing::Test {
    skb *s = skb_create(SKB_SIZE);
    void TearDown() override { skb_destroy(s); }
};

using SkbDeathTest = Skb;

} // namespace

TEST_F(Skb, NewBufferIsEmptyWithStorageRightAfterHeader)
{
    EXPECT_EQ(s->size, SKB_SIZE);
    EXPECT_EQ(s->buffer, reinterpret_cast<uint8_t *>(s + 1));
    EXPECT_EQ(s->ptr, s->buffer);
    EXPECT_EQ(s->data, s->buffer);
    EXPECT_EQ(positions_of(s), (positions{0, 0, 0, SKB_SIZE, 0}));
    EXPECT_TRUE(skb_unread(s).empty());
    EXPECT_EQ(skb_free_space(s).data(), s->buffer);
    EXPECT_EQ(skb_free_space(s).size(), SKB_SIZE);
}

TEST_F(Skb, ZeroByteProduceAndConsumeChangeNothing)
{
    skb_produce(s, 0);
    skb_consume(s, 0);
    EXPECT_EQ(positions_of(s), (positions{0, 0, 0, SKB_SIZE, 0}));

    put(s, pattern(100, 1));
    skb_consume(s, 10);
    positions before = positions_of(s);
    skb_produce(s, 0);
    skb_consume(s, 0);
    EXPECT_EQ(positions_of(s), before);
}

TEST_F(Skb, ViewsTrackProduceAndConsume)
{
    put(s, pattern(300, 9));
    skb_consume(s, 120);
    EXPECT_EQ(positions_of(s), (positions{120, 300, 300, SKB_SIZE - 300, 180}));
    EXPECT_EQ(skb_unread(s).data(), s->buffer + 120);
    auto expected = pattern(300, 9);
    EXPECT_EQ(unread(s), std::vector<uint8_t>(expected.begin() + 120, expected.end()));
    EXPECT_EQ(skb_free_space(s).data(), s->buffer + 300);
    EXPECT_EQ(skb_free_space(s).size(), SKB_SIZE - 300);
}

TEST_F(Skb, FillingToCapacityLeavesNoRoom)
{
    skb_produce(s, SKB_SIZE - 1);
    skb_produce(s, 1);
    EXPECT_EQ(s->avail, 0u);
    EXPECT_EQ(s->used, SKB_SIZE);
    EXPECT_EQ(s->data_size, SKB_SIZE);
    EXPECT_TRUE(skb_free_space(s).empty());
    EXPECT_EQ(skb_unread(s).size(), SKB_SIZE);

    // Consumed bytes stay as headroom: no room appears until a compaction.
    skb_consume(s, SKB_SIZE);
    EXPECT_EQ(s->avail, 0u);
    EXPECT_EQ(s->used, SKB_SIZE);
    skb_compact(s);
    EXPECT_EQ(positions_of(s), (positions{0, 0, 0, SKB_SIZE, 0}));
}

TEST_F(Skb, CompactingEmptiedBufferRewindsWithoutCopying)
{
    auto bytes = pattern(5000, 3);
    put(s, bytes);
    skb_consume(s, 5000);
    skb_compact(s);
    EXPECT_EQ(s->ptr, s->buffer);
    EXPECT_EQ(s->data, s->buffer);
    EXPECT_EQ(positions_of(s), (positions{0, 0, 0, SKB_SIZE, 0}));
    // The storage still holds what was written: nothing was moved over it.
    EXPECT_EQ(std::vector<uint8_t>(s->buffer, s->buffer + 5000), bytes);
}

TEST_F(Skb, CompactionThresholdIsStrictlyMoreThanAQuarter)
{
    auto bytes = pattern(QUARTER + 1000, 5);
    put(s, bytes);
    std::vector<uint8_t> rest(bytes.begin() + QUARTER, bytes.end());

    skb_consume(s, QUARTER);
    skb_compact(s);
    EXPECT_EQ(positions_of(s), (positions{QUARTER, QUARTER + 1000, QUARTER + 1000,
                                          SKB_SIZE - QUARTER - 1000, 1000}));
    EXPECT_EQ(unread(s), rest);

    skb_consume(s, 1);
    rest.erase(rest.begin());
    skb_compact(s);
    EXPECT_EQ(s->data, s->buffer);
    EXPECT_EQ(positions_of(s), (positions{0, 999, 999, SKB_SIZE - 999, 999}));
    EXPECT_EQ(unread(s), rest);
}

TEST_F(Skb, ShiftMovesUnreadBytesByOverlappingAmount)
{
    auto bytes = pattern(1000, 11);
    put(s, bytes);
    skb_consume(s, 100);
    // Source and destination overlap by 800 bytes; the move must still preserve the content.
    skb_shift(s, 60);
    EXPECT_EQ(positions_of(s), (positions{40, 940, 940, SKB_SIZE - 940, 900}));
    EXPECT_EQ(unread(s), std::vector<uint8_t>(bytes.begin() + 100, bytes.end()));
}

// Random produce, consume and compact against a plain byte queue, with the capacity small
// enough that the free space runs out and compaction happens often.
TEST(SkbModel, RandomTrafficMatchesByteQueue)
{
    constexpr uint64_t capacity = 4096;
    skb *s = skb_create(capacity);
    std::mt19937_64 rng(20261208);
    std::vector<uint8_t> model;
    uint8_t next = 0;
    for (int step = 0; step < 20000; step++) {
        uint64_t n = rng() % (capacity / 3 + 1);
        if (rng() % 2) {
            n = std::min(n, s->avail);
            auto room = skb_free_space(s);
            for (uint64_t i = 0; i < n; i++) {
                room[i] = next;
                model.push_back(next++);
            }
            skb_produce(s, n);
        } else {
            n = std::min(n, s->data_size);
            auto view = skb_unread(s);
            ASSERT_TRUE(std::equal(view.begin(), view.begin() + n, model.begin()));
            model.erase(model.begin(), model.begin() + static_cast<long>(n));
            skb_consume(s, n);
            skb_compact(s);
        }
        ASSERT_EQ(s->data_size, model.size());
        ASSERT_EQ(s->used, static_cast<uint64_t>(s->ptr - s->buffer));
        ASSERT_LE(static_cast<uint64_t>(s->data - s->buffer), capacity / 4)
            << "compaction left more than a quarter of headroom at step " << step;
    }
    ASSERT_EQ(unread(s), model);
    skb_destroy(s);
}

TEST_F(SkbDeathTest, OverrunsAreAssertions)
{
    skb_produce(s, SKB_SIZE);
    EXPECT_SKB_ASSERTION(skb_produce(s, 1), "skb_produce", "skb->avail >= howmuch");
    skb_consume(s, SKB_SIZE - 10);
    EXPECT_SKB_ASSERTION(skb_consume(s, 11), "skb_consume", "skb->data_size >= howmuch");
}

TEST_F(SkbDeathTest, ShiftBeyondHeadroom)
{
    put(s, pattern(1000, 2));
    skb_consume(s, 100);
    // Beyond both the headroom and used: the unsigned check against used comes first.
    EXPECT_SKB_ASSERTION(skb_shift(s, 1001), "skb_shift", "size <= skb->used");
    EXPECT_SKB_ASSERTION(skb_shift(s, 101), "skb_shift", "skb->data - skb->buffer >= (long)size");
}

TEST_F(SkbDeathTest, InvariantChecksInOrder)
{
    EXPECT_SKB_ASSERTION(skb_destroy(nullptr), "skb_invariant", "skb");
    put(s, pattern(64, 4));
    // Each corruption also breaks a later check, so the reported text shows which comes first.
    EXPECT_SKB_ASSERTION(
        {
            s->avail = SKB_SIZE + 1;
            s->data_size = SKB_SIZE + 1;
            skb_produce(s, 0);
        },
        "skb_invariant", "skb->avail <= skb->size");
    EXPECT_SKB_ASSERTION(
        {
            s->data_size = SKB_SIZE + 1;
            skb_consume(s, 0);
        },
        "skb_invariant", "skb->data_size <= skb->size");
    EXPECT_SKB_ASSERTION(
        {
            s->ptr++;
            skb_compact(s);
        },
        "skb_invariant", "skb->avail == skb->size - (skb->ptr - skb->buffer)");
    EXPECT_SKB_ASSERTION(
        {
            s->data++;
            skb_shift(s, 0);
        },
        "skb_invariant", "skb->data_size == skb->ptr - skb->data");
}
