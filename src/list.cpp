#include "list.h"

static constexpr char THIS_FILE[] = "src/list";

const magic_stamp LIST_HEAD_MAGIC = {0};
const magic_stamp LIST_NODE_MAGIC = {0};
const magic_stamp HASH64_MAGIC = {0};
const magic_stamp HASH64_NODE_MAGIC = {0};

static inline void list_head_invariants(const list_head *h)
{
    ZD_ASSERT(h);
    ZD_ASSERT(h->magic == &LIST_HEAD_MAGIC);
}

static inline void list_node_invariants(const list_node *n)
{
    ZD_ASSERT(n);
    ZD_ASSERT(n->magic == &LIST_NODE_MAGIC);
}

static void link_self(list_node *n)
{
    n->next = n;
    n->prev = n;
}

static void unlink_node(list_node *n)
{
    n->prev->next = n->next;
    n->next->prev = n->prev;
    link_self(n);
}

list_node *list_node_init(list_node *n, void *owner)
{
    n->magic = &LIST_NODE_MAGIC;
    link_self(n);
    n->owner = owner;
    return n;
}

void list_node_begin(list_node *n, void *owner)
{
    list_node_init(n, owner);
}

list_head *list_head_init(list_head *h)
{
    h->magic = &LIST_HEAD_MAGIC;
    list_node_init(&h->sentinel, nullptr);
    return h;
}

void list_node_uninit(list_node *n)
{
    ZD_ASSERT(node_not_in_list_p(n));
    n->magic = nullptr;
    n->next = nullptr;
    n->prev = nullptr;
    n->owner = nullptr;
}

int list_head_uninit(list_head *h)
{
    ZD_ASSERT(list_empty(h));
    list_node_uninit(&h->sentinel);
    h->magic = nullptr;
    return 0;
}

int list_push(list_head *h, list_node *n)
{
    list_head_invariants(h);
    list_node_invariants(n);
    int was_empty = list_empty(h) ? 1 : 0;
    n->prev->next = n->next;
    n->next->prev = n->prev;
    list_node *last = h->sentinel.prev;
    n->prev = last;
    h->sentinel.prev = n;
    n->next = &h->sentinel;
    last->next = n;
    return was_empty;
}

list_node *list_node_unlink(list_node *n)
{
    list_node_invariants(n);
    unlink_node(n);
    return n;
}

void *list_peek(list_head *h)
{
    list_head_invariants(h);
    if (list_empty(h))
        return nullptr;
    return h->sentinel.next->owner;
}

list_node *list_pop_node(list_head *h)
{
    list_head_invariants(h);
    if (list_empty(h))
        return nullptr;
    list_node *front = h->sentinel.next;
    list_node_invariants(front);
    unlink_node(front);
    return front;
}

void *list_pop(list_head *h)
{
    list_node *front = list_pop_node(h);
    return front ? front->owner : nullptr;
}

void list_move_all(list_head *to, list_head *from)
{
    list_head_invariants(to);
    list_head_invariants(from);
    if (list_empty(from))
        return;
    list_node *first = from->sentinel.next;
    list_node *last = from->sentinel.prev;
    list_node *tail = to->sentinel.prev;
    tail->next = first;
    first->prev = tail;
    last->next = &to->sentinel;
    to->sentinel.prev = last;
    link_self(&from->sentinel);
}
