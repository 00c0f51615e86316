// Fixed-size chained hash table keyed by 64-bit integers; entries live in the caller's objects.
#pragma once

#include "list.h"

struct hash64 {
    const magic_stamp *magic;
    uint64_t nhash;
    list_head *tab;
};

struct hash64_node {
    const magic_stamp *magic;
    void *value;
    uint64_t key;
    list_node link;
};

hash64 *mkhash64(uint64_t nhash);
int hash64_destroy(hash64 *h);
hash64_node *hash64_node_init(hash64_node *n, void *value);
void hash64_node_begin(hash64_node *n, void *value);
void hash64_node_uninit(hash64_node *n);
int hash64_insert(hash64 *h, const uint64_t *key, hash64_node *n);
void *hash64_lookup(hash64 *h, const uint64_t *key);
