// Circular doubly linked list with a sentinel; nodes live inside the objects they link, and
// heads and nodes carry magic stamps so a stray pointer stops the process instead of being
// followed.
#pragma once

#include "util.h"

struct magic_stamp {
    uint64_t unused;
};
// Only the addresses of the stamps matter; each is one 8-byte read-only object.
static_assert(sizeof(magic_stamp) == 8);
extern const magic_stamp LIST_HEAD_MAGIC;
extern const magic_stamp LIST_NODE_MAGIC;
extern const magic_stamp HASH64_MAGIC;
extern const magic_stamp HASH64_NODE_MAGIC;

struct list_node {
    const magic_stamp *magic;
    list_node *next;
    list_node *prev;
    void *owner;
};

struct list_head {
    const magic_stamp *magic;
    list_node sentinel;
};

inline constexpr char LIST_H_FILE[] = "src/list";

static inline bool node_not_in_list_p(const list_node *n)
{
    ZD_ASSERT_IN(LIST_H_FILE, (n->next == n) == (n->prev == n), "(n->next == n) == (n->prev == n)");
    return n->next == n;
}

static inline bool list_empty(const list_head *h)
{
    return node_not_in_list_p(&h->sentinel);
}

list_head *list_head_init(list_head *h);
int list_head_uninit(list_head *h);
list_node *list_node_init(list_node *n, void *owner);
void list_node_begin(list_node *n, void *owner);
void list_node_uninit(list_node *n);
int list_push(list_head *h, list_node *n);
list_node *list_node_unlink(list_node *n);
void *list_peek(list_head *h);
void *list_pop(list_head *h);
list_node *list_pop_node(list_head *h);
// Moves every node of `from`, in order, to the end of `to`, leaving `from` empty.
void list_move_all(list_head *to, list_head *from);
