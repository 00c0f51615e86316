#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "hash64.h"
#include "log_capture.h"
#include "perm64.h"

static constexpr const char *NODE_STAMP = "n && n->magic == &HASH64_NODE_MAGIC";

namespace
{

struct entry {
    int payload;
    hash64_node node;
};

uint64_t bucket_index(const hash64 *h, uint64_t key)
{
    return perm64(key) % h->nhash;
}

size_t bucket_length(const list_head *b)
{
    size_t n = 0;
    for (const list_node *l = b->sentinel.next; l != &b->sentinel; l = l->next)
        n++;
    return n;
}

} // namespace

TEST(Perm64, ReferenceValues)
{
    EXPECT_EQ(perm64(0), 0x00cd937209d1f785u);
    EXPECT_EQ(perm64(1), 0x0399a414cc69a944u);
    EXPECT_EQ(perm64(2), 0x09ae9abc203f0494u);
    EXPECT_EQ(perm64(~uint64_t{0}), 0x04cb413c209e6601u);
}

TEST(Perm64, MerpIsTheInverseBothWays)
{
    for (uint64_t x : {uint64_t{0}, uint64_t{1}, ~uint64_t{0}}) {
        EXPECT_EQ(merp64(perm64(x)), x);
        EXPECT_EQ(perm64(merp64(x)), x);
    }
    std::mt19937_64 rng(0x5eed);
    for (int i = 0; i < 100000; i++) {
        uint64_t x = rng();
        ASSERT_EQ(merp64(perm64(x)), x) << std::hex << x;
        ASSERT_EQ(perm64(merp64(x)), x) << std::hex << x;
    }
}

TEST(Hash64, NodeLifecycle)
{
    int payload = 7;
    hash64_node n;
    EXPECT_EQ(hash64_node_init(&n, &payload), &n);
    EXPECT_EQ(n.magic, &HASH64_NODE_MAGIC);
    EXPECT_EQ(n.value, &payload);
    EXPECT_EQ(n.key, 0u);
    EXPECT_EQ(n.link.owner, &n);
    EXPECT_TRUE(node_not_in_list_p(&n.link));

    hash64 *h = mkhash64(5);
    EXPECT_EQ(h->magic, &HASH64_MAGIC);
    uint64_t key = 42;
    hash64_insert(h, &key, &n);
    EXPECT_EQ(n.key, 42u);
    list_node_unlink(&n.link);

    // Uninit clears the stamp and the link but keeps value and key.
    hash64_node_uninit(&n);
    EXPECT_EQ(n.magic, nullptr);
    EXPECT_EQ(n.link.magic, nullptr);
    EXPECT_EQ(n.link.next, nullptr);
    EXPECT_EQ(n.value, &payload);
    EXPECT_EQ(n.key, 42u);

    hash64_node_begin(&n, nullptr);
    EXPECT_EQ(n.magic, &HASH64_NODE_MAGIC);
    EXPECT_EQ(n.key, 0u);
    EXPECT_EQ(n.link.owner, &n);
    EXPECT_TRUE(node_not_in_list_p(&n.link));
    EXPECT_EQ(hash64_destroy(h), 0);
}

TEST(Hash64, LookupFindsInsertedKeysOnly)
{
    hash64 *h = mkhash64(7);
    const uint64_t absent = 12345;
    EXPECT_EQ(hash64_lookup(h, &absent), nullptr);

    std::vector<entry> entries(500);
    for (size_t i = 0; i < entries.size(); i++) {
        entries[i].payload = static_cast<int>(i);
        hash64_node_init(&entries[i].node, &entries[i]);
        uint64_t key = i * 3;
        hash64_insert(h, &key, &entries[i].node);
    }
    for (size_t i = 0; i < entries.size(); i++) {
        uint64_t key = i * 3;
        EXPECT_EQ(hash64_lookup(h, &key), &entries[i]);
        key = i * 3 + 1;
        EXPECT_EQ(hash64_lookup(h, &key), nullptr);
    }

    for (auto &e : entries) {
        list_node_unlink(&e.node.link);
        hash64_node_uninit(&e.node);
    }
    EXPECT_EQ(hash64_lookup(h, &absent), nullptr);
    EXPECT_EQ(hash64_destroy(h), 0);
}

TEST(Hash64, DuplicateKeysFirstInsertedWins)
{
    hash64 *h = mkhash64(16);
    entry first{1, {}}, second{2, {}};
    hash64_node_init(&first.node, &first);
    hash64_node_init(&second.node, &second);
    const uint64_t key = 0xdeadbeef;
    EXPECT_EQ(hash64_insert(h, &key, &first.node), 1);
    EXPECT_EQ(hash64_insert(h, &key, &second.node), 0);
    EXPECT_EQ(hash64_lookup(h, &key), &first);

    list_node_unlink(&first.node.link);
    EXPECT_EQ(hash64_lookup(h, &key), &second);
    list_node_unlink(&second.node.link);
    EXPECT_EQ(hash64_lookup(h, &key), nullptr);
    EXPECT_EQ(hash64_destroy(h), 0);
}

TEST(Hash64, InsertTellsWhetherBucketWasEmpty)
{
    hash64 *h = mkhash64(8);
    const uint64_t k1 = 1;
    uint64_t k2 = 2;
    while (bucket_index(h, k2) != bucket_index(h, k1))
        k2++;
    uint64_t k3 = 2;
    while (bucket_index(h, k3) == bucket_index(h, k1))
        k3++;

    entry e[3] = {};
    for (auto &x : e)
        hash64_node_init(&x.node, &x);
    EXPECT_EQ(hash64_insert(h, &k1, &e[0].node), 1);
    EXPECT_EQ(hash64_insert(h, &k2, &e[1].node), 0);
    EXPECT_EQ(hash64_insert(h, &k3, &e[2].node), 1);
    EXPECT_EQ(bucket_length(&h->tab[bucket_index(h, k1)]), 2u);
    EXPECT_EQ(hash64_lookup(h, &k2), &e[1]);

    // Re-inserting an entry under another key moves it rather than linking it twice.
    EXPECT_EQ(hash64_insert(h, &k3, &e[0].node), 0);
    EXPECT_EQ(bucket_length(&h->tab[bucket_index(h, k1)]), 1u);
    EXPECT_EQ(bucket_length(&h->tab[bucket_index(h, k3)]), 2u);
    EXPECT_EQ(hash64_lookup(h, &k1), nullptr);
    EXPECT_EQ(hash64_lookup(h, &k3), &e[2]);

    for (auto &x : e)
        list_node_unlink(&x.node.link);
    EXPECT_EQ(hash64_destroy(h), 0);
}

TEST(Hash64, OneBucketHoldsEverything)
{
    hash64 *h = mkhash64(1);
    std::vector<entry> entries(64);
    for (size_t i = 0; i < entries.size(); i++) {
        hash64_node_init(&entries[i].node, &entries[i]);
        uint64_t key = 1000 - i;
        EXPECT_EQ(hash64_insert(h, &key, &entries[i].node), i == 0 ? 1 : 0);
    }
    EXPECT_EQ(bucket_length(&h->tab[0]), entries.size());
    for (size_t i = 0; i < entries.size(); i++) {
        uint64_t key = 1000 - i;
        EXPECT_EQ(hash64_lookup(h, &key), &entries[i]);
    }
    for (auto &e : entries)
        list_node_unlink(&e.node.link);
    EXPECT_EQ(hash64_destroy(h), 0);
}

// Page-aligned addresses share their low bits; without mixing they would all share a bucket.
TEST(Hash64, AlignedKeysSpreadOverBuckets)
{
    constexpr uint64_t buckets = 16;
    constexpr size_t count = 1024;
    hash64 *h = mkhash64(buckets);
    std::vector<entry> entries(count);
    for (size_t i = 0; i < count; i++) {
        hash64_node_init(&entries[i].node, &entries[i]);
        uint64_t key = 0x7f0000000000u + i * 4096;
        hash64_insert(h, &key, &entries[i].node);
    }
    for (uint64_t b = 0; b < buckets; b++) {
        size_t len = bucket_length(&h->tab[b]);
        EXPECT_GT(len, count / buckets / 2) << "bucket " << b;
        EXPECT_LT(len, count / buckets * 2) << "bucket " << b;
    }
    for (auto &e : entries)
        list_node_unlink(&e.node.link);
    EXPECT_EQ(hash64_destroy(h), 0);
}

TEST(Hash64DeathTest, DestroyWithEntry)
{
    hash64 *h = mkhash64(4);
    entry e{};
    hash64_node_init(&e.node, &e);
    const uint64_t key = 9;
    hash64_insert(h, &key, &e.node);
    EXPECT_ASSERTION(hash64_destroy(h), "hash64_destroy", "src/hash64", "list_empty(&h->tab[i])");
    EXPECT_ASSERTION(hash64_node_uninit(&e.node), "list_node_uninit", "src/list",
                     "node_not_in_list_p(n)");
    list_node_unlink(&e.node.link);
    EXPECT_EQ(hash64_destroy(h), 0);
}

TEST(Hash64DeathTest, TableWithoutBuckets)
{
    hash64 *h = mkhash64(0);
    EXPECT_EQ(h->nhash, 0u);
    entry e{};
    hash64_node_init(&e.node, &e);
    const uint64_t key = 1;
    EXPECT_ASSERTION(hash64_insert(h, &key, &e.node), "hash64_insert", "src/hash64", "h->nhash");
    EXPECT_ASSERTION(hash64_lookup(h, &key), "hash64_lookup", "src/hash64", "h->nhash");
    // The entry is checked before the table.
    hash64_node bare{};
    EXPECT_ASSERTION(hash64_insert(h, &key, &bare), "hash64_node_invariant", "src/hash64",
                     NODE_STAMP);
    EXPECT_EQ(hash64_destroy(h), 0);
}

TEST(Hash64DeathTest, UnstampedEntries)
{
    hash64 *h = mkhash64(1);
    const uint64_t key = 3;
    hash64_node bare{};
    EXPECT_ASSERTION(hash64_insert(h, &key, nullptr), "hash64_node_invariant", "src/hash64",
                     NODE_STAMP);
    EXPECT_ASSERTION(hash64_node_uninit(&bare), "hash64_node_invariant", "src/hash64", NODE_STAMP);

    // A lookup checks every entry it walks past, not only the one it returns.
    entry e{};
    hash64_node_init(&e.node, &e);
    hash64_insert(h, &key, &e.node);
    e.node.magic = nullptr;
    const uint64_t other = 4;
    EXPECT_ASSERTION(hash64_lookup(h, &other), "hash64_node_invariant", "src/hash64", NODE_STAMP);
    list_node_unlink(&e.node.link);
    EXPECT_EQ(hash64_destroy(h), 0);
}
