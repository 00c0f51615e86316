#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "list.h"
#include "log_capture.h"

namespace
{

struct item {
    int id;
    list_node node;
};

struct fixture : ::testing::Test {
    list_head x;
    list_head y;
    item a{1, {}};
    item b{2, {}};
    item c{3, {}};

    void SetUp() override
    {
        list_head_init(&x);
        list_head_init(&y);
        for (item *i : {&a, &b, &c})
            list_node_init(&i->node, i);
    }
};

using List = fixture;
using ListDeathTest = fixture;

void *drain_owner(list_head *h)
{
    return list_pop(h);
}

} // namespace

TEST_F(List, FreshHeadIsEmptyAndUninitsToCleared)
{
    EXPECT_EQ(list_peek(&x), nullptr);
    EXPECT_EQ(list_pop(&x), nullptr);
    EXPECT_EQ(list_pop_node(&x), nullptr);
    EXPECT_TRUE(list_empty(&x));
    EXPECT_EQ(list_head_uninit(&x), 0);
    EXPECT_EQ(x.magic, nullptr);
    EXPECT_EQ(x.sentinel.magic, nullptr);
    EXPECT_EQ(x.sentinel.next, nullptr);
    EXPECT_EQ(x.sentinel.prev, nullptr);
}

TEST_F(List, PushPopIsFifoAndPushTellsWhetherListWasEmpty)
{
    EXPECT_EQ(list_push(&x, &a.node), 1);
    EXPECT_EQ(list_push(&x, &b.node), 0);
    EXPECT_EQ(list_push(&x, &c.node), 0);
    EXPECT_FALSE(list_empty(&x));

    // Peek shows the front without taking it.
    EXPECT_EQ(list_peek(&x), &a);
    EXPECT_EQ(list_peek(&x), &a);

    EXPECT_EQ(list_pop(&x), &a);
    EXPECT_EQ(list_pop_node(&x), &b.node);
    EXPECT_EQ(list_pop(&x), &c);
    EXPECT_EQ(list_pop(&x), nullptr);
    EXPECT_TRUE(list_empty(&x));

    // Popped nodes are free again: self-linked, still stamped, owner kept.
    for (item *i : {&a, &b, &c}) {
        EXPECT_TRUE(node_not_in_list_p(&i->node));
        EXPECT_EQ(i->node.magic, &LIST_NODE_MAGIC);
        EXPECT_EQ(i->node.owner, i);
    }

    // Emptied by pops, the list reports the next push as a first one again.
    EXPECT_EQ(list_push(&x, &c.node), 1);
    EXPECT_EQ(list_pop(&x), &c);
}

TEST_F(List, RepushMovesNodeToBack)
{
    list_push(&x, &a.node);
    list_push(&x, &b.node);
    EXPECT_EQ(list_push(&x, &a.node), 0);
    EXPECT_EQ(drain_owner(&x), &b);
    EXPECT_EQ(drain_owner(&x), &a);
    EXPECT_EQ(drain_owner(&x), nullptr);

    // Re-pushing the node that is already last, or the only node, keeps the ring intact.
    list_push(&x, &a.node);
    list_push(&x, &b.node);
    list_push(&x, &b.node);
    EXPECT_EQ(drain_owner(&x), &a);
    EXPECT_EQ(list_push(&x, &b.node), 0);
    EXPECT_EQ(drain_owner(&x), &b);
    EXPECT_EQ(drain_owner(&x), nullptr);
}

TEST_F(List, PushMovesNodeBetweenLists)
{
    list_push(&x, &a.node);
    list_push(&x, &b.node);
    list_push(&y, &c.node);

    EXPECT_EQ(list_push(&y, &a.node), 0);
    EXPECT_EQ(list_peek(&x), &b);
    EXPECT_EQ(drain_owner(&y), &c);
    EXPECT_EQ(drain_owner(&y), &a);
    EXPECT_EQ(drain_owner(&y), nullptr);

    // Moving the last node out leaves the source list empty and well formed.
    EXPECT_EQ(list_push(&y, &b.node), 1);
    EXPECT_TRUE(list_empty(&x));
    EXPECT_EQ(list_pop(&x), nullptr);
    EXPECT_EQ(list_head_uninit(&x), 0);
}

// The whole list joins the end of another, in order, and the source is left empty and whole;
// moving an empty list changes nothing.
TEST_F(List, MoveAllAppendsInOrderAndEmptiesTheSource)
{
    list_push(&x, &a.node);
    list_push(&x, &b.node);
    list_push(&y, &c.node);
    list_move_all(&y, &x);
    EXPECT_TRUE(list_empty(&x));
    list_move_all(&y, &x);
    list_move_all(&x, &y);
    EXPECT_TRUE(list_empty(&y));
    EXPECT_EQ(drain_owner(&x), &c);
    EXPECT_EQ(drain_owner(&x), &a);
    EXPECT_EQ(drain_owner(&x), &b);
    EXPECT_EQ(drain_owner(&x), nullptr);
    EXPECT_EQ(list_head_uninit(&x), 0);
    EXPECT_EQ(list_head_uninit(&y), 0);
}

TEST_F(List, UnlinkWorksWithoutHeadAndIsNoopOnFreeNode)
{
    EXPECT_EQ(list_node_unlink(&a.node), &a.node);
    EXPECT_EQ(a.node.next, &a.node);
    EXPECT_EQ(a.node.prev, &a.node);
    EXPECT_EQ(a.node.magic, &LIST_NODE_MAGIC);
    EXPECT_EQ(a.node.owner, &a);

    list_push(&x, &a.node);
    list_push(&x, &b.node);
    list_push(&x, &c.node);
    EXPECT_EQ(list_node_unlink(&b.node), &b.node);
    EXPECT_TRUE(node_not_in_list_p(&b.node));
    EXPECT_EQ(b.node.owner, &b);
    EXPECT_EQ(drain_owner(&x), &a);
    EXPECT_EQ(drain_owner(&x), &c);
    EXPECT_EQ(drain_owner(&x), nullptr);
}

TEST_F(List, NodeUninitClearsFreeNodeWithoutCheckingStamp)
{
    list_push(&x, &a.node);
    list_node_unlink(&a.node);
    list_node_uninit(&a.node);
    EXPECT_EQ(a.node.magic, nullptr);
    EXPECT_EQ(a.node.next, nullptr);
    EXPECT_EQ(a.node.prev, nullptr);
    EXPECT_EQ(a.node.owner, nullptr);

    // A self-linked node that was never stamped is accepted too.
    list_node raw{};
    raw.next = &raw;
    raw.prev = &raw;
    list_node_uninit(&raw);
    EXPECT_EQ(raw.next, nullptr);

    // list_node_begin has the same effect as list_node_init.
    list_node_begin(&raw, &b);
    EXPECT_EQ(raw.magic, &LIST_NODE_MAGIC);
    EXPECT_TRUE(node_not_in_list_p(&raw));
    EXPECT_EQ(list_push(&y, &raw), 1);
    EXPECT_EQ(list_pop(&y), &b);
}

TEST_F(ListDeathTest, UninitOfNonEmptyHeadOrListedNode)
{
    list_push(&x, &a.node);
    EXPECT_ASSERTION(list_head_uninit(&x), "list_head_uninit", "src/list", "list_empty(h)");
    EXPECT_ASSERTION(list_node_uninit(&a.node), "list_node_uninit", "src/list",
                     "node_not_in_list_p(n)");
}

TEST_F(ListDeathTest, ClearedOrNullHeadStopsEveryHeadOperation)
{
    list_head_uninit(&y);
    using op = void (*)(list_head *, list_node *);
    const op ops[] = {
        [](list_head *h, list_node *n) { list_push(h, n); },
        [](list_head *h, list_node *) { list_peek(h); },
        [](list_head *h, list_node *) { list_pop(h); },
        [](list_head *h, list_node *) { list_pop_node(h); },
    };
    for (op f : ops) {
        EXPECT_ASSERTION(f(&y, &a.node), "list_head_invariants", "src/list",
                         "h->magic == &LIST_HEAD_MAGIC");
        EXPECT_ASSERTION(f(nullptr, &a.node), "list_head_invariants", "src/list", "h");
    }
    // Never-initialised memory is caught by the same stamp.
    list_head garbage;
    memset(&garbage, 0x5a, sizeof(garbage));
    EXPECT_ASSERTION(list_peek(&garbage), "list_head_invariants", "src/list",
                     "h->magic == &LIST_HEAD_MAGIC");
}

TEST_F(ListDeathTest, BadNodeIsCaughtAfterHead)
{
    list_node unstamped{};
    unstamped.next = &unstamped;
    unstamped.prev = &unstamped;
    EXPECT_ASSERTION(list_push(&x, nullptr), "list_node_invariants", "src/list", "n");
    EXPECT_ASSERTION(list_push(&x, &unstamped), "list_node_invariants", "src/list",
                     "n->magic == &LIST_NODE_MAGIC");
    EXPECT_ASSERTION(list_node_unlink(&unstamped), "list_node_invariants", "src/list",
                     "n->magic == &LIST_NODE_MAGIC");
    // The head is checked before the node.
    EXPECT_ASSERTION(list_push(nullptr, nullptr), "list_head_invariants", "src/list", "h");

    // Pop checks the front node's stamp; peek does not look at it.
    list_push(&x, &a.node);
    a.node.magic = nullptr;
    EXPECT_EQ(list_peek(&x), &a);
    EXPECT_ASSERTION(list_pop(&x), "list_node_invariants", "src/list",
                     "n->magic == &LIST_NODE_MAGIC");
    EXPECT_ASSERTION(list_pop_node(&x), "list_node_invariants", "src/list",
                     "n->magic == &LIST_NODE_MAGIC");
    a.node.magic = &LIST_NODE_MAGIC;
}

TEST_F(ListDeathTest, HalfSelfLinkedRingIsCaught)
{
    list_push(&x, &a.node);
    x.sentinel.next = &x.sentinel; // prev still points at a
    const char *text = "(n->next == n) == (n->prev == n)";
    EXPECT_ASSERTION(list_empty(&x), "node_not_in_list_p", "src/list", text);
    EXPECT_ASSERTION(list_peek(&x), "node_not_in_list_p", "src/list", text);
    EXPECT_ASSERTION(list_pop(&x), "node_not_in_list_p", "src/list", text);
    EXPECT_ASSERTION(list_push(&x, &b.node), "node_not_in_list_p", "src/list", text);
    // The consistency check comes before the emptiness check.
    EXPECT_ASSERTION(list_head_uninit(&x), "node_not_in_list_p", "src/list", text);
    x.sentinel.next = &a.node;
}
