#include "hash64.h"

#include "perm64.h"

static constexpr char THIS_FILE[] = "src/hash64";

static inline void hash64_node_invariant(const hash64_node *n)
{
    ZD_ASSERT(n && n->magic == &HASH64_NODE_MAGIC);
}

// Mixing first lets descriptors, counters and aligned pointers spread evenly even when the
// bucket count is small or not prime.
static list_head *bucket_of(const hash64 *h, uint64_t key)
{
    return &h->tab[perm64(key) % h->nhash];
}

hash64 *mkhash64(uint64_t nhash)
{
    auto *h = static_cast<hash64 *>(xmalloc(sizeof(hash64)));
    auto *tab = static_cast<list_head *>(xcalloc(nhash, sizeof(list_head)));
    h->nhash = nhash;
    h->magic = &HASH64_MAGIC;
    h->tab = tab;
    for (uint64_t i = 0; i < nhash; i++)
        list_head_init(&h->tab[i]);
    return h;
}

// The table owns no entries, so one still linked into a bucket would be left pointing at freed
// memory; that is a caller's bug and stops the process here rather than later.
int hash64_destroy(hash64 *h)
{
    for (uint64_t i = 0; i < h->nhash; i++) {
        ZD_ASSERT(list_empty(&h->tab[i]));
        list_head_uninit(&h->tab[i]);
    }
    free(h->tab);
    free(h);
    return 0;
}

hash64_node *hash64_node_init(hash64_node *n, void *value)
{
    n->value = value;
    n->magic = &HASH64_NODE_MAGIC;
    n->key = 0;
    list_node_init(&n->link, n);
    return n;
}

void hash64_node_begin(hash64_node *n, void *value)
{
    n->value = value;
    n->magic = &HASH64_NODE_MAGIC;
    n->key = 0;
    list_node_begin(&n->link, n);
}

void hash64_node_uninit(hash64_node *n)
{
    hash64_node_invariant(n);
    n->magic = nullptr;
    list_node_uninit(&n->link);
}

// Equal keys are not refused: they queue up in insertion order, and a lookup finds the oldest.
int hash64_insert(hash64 *h, const uint64_t *key, hash64_node *n)
{
    hash64_node_invariant(n);
    n->key = *key;
    ZD_ASSERT(h->nhash);
    return list_push(bucket_of(h, n->key), &n->link);
}

void *hash64_lookup(hash64 *h, const uint64_t *key)
{
    uint64_t wanted = *key;
    ZD_ASSERT(h->nhash);
    list_head *bucket = bucket_of(h, wanted);
    for (list_node *l = bucket->sentinel.next; l != &bucket->sentinel; l = l->next) {
        auto *n = static_cast<hash64_node *>(l->owner);
        hash64_node_invariant(n);
        if (n->key == wanted)
            return n->value;
    }
    return nullptr;
}
