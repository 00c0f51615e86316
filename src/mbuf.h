// The fixed-capacity linear byte buffer of every socket. Unread bytes and free space are each
// one contiguous run, so either can go in one piece to recv, send, SSL_read or BIO_write.
#pragma once

#include <span>

#include "util.h"

struct skb {
    uint8_t *buffer;
    uint64_t size;
    uint8_t *ptr;  // first free byte, end of the unread bytes
    uint8_t *data; // first unread byte
    uint64_t used;
    uint64_t avail;
    uint64_t data_size;
};

inline constexpr char MBUF_H_FILE[] = "src/mbuf";
inline constexpr uint64_t SKB_SIZE = 1048576;
// skb_compact moves unread bytes only past this much headroom.
static_assert(SKB_SIZE / 4 == 262144);

static inline void skb_invariant(const skb *skb)
{
    ZD_ASSERT_IN(MBUF_H_FILE, skb, "skb");
    ZD_ASSERT_IN(MBUF_H_FILE, skb->avail <= skb->size, "skb->avail <= skb->size");
    ZD_ASSERT_IN(MBUF_H_FILE, skb->data_size <= skb->size, "skb->data_size <= skb->size");
    ZD_ASSERT_IN(MBUF_H_FILE,
                 skb->avail == skb->size - static_cast<uint64_t>(skb->ptr - skb->buffer),
                 "skb->avail == skb->size - (skb->ptr - skb->buffer)");
    ZD_ASSERT_IN(MBUF_H_FILE, skb->data_size == static_cast<uint64_t>(skb->ptr - skb->data),
                 "skb->data_size == skb->ptr - skb->data");
}

static inline skb *skb_create(uint64_t size)
{
    auto *s = static_cast<skb *>(malloc(sizeof(skb) + size));
    ZD_ASSERT_IN(MBUF_H_FILE, s, "skb");
    s->buffer = reinterpret_cast<uint8_t *>(s + 1);
    s->size = size;
    s->ptr = s->buffer;
    s->data = s->buffer;
    s->used = 0;
    s->avail = size;
    s->data_size = 0;
    return s;
}

static inline void skb_destroy(skb *skb)
{
    skb_invariant(skb);
    free(skb);
}

static inline void skb_produce(skb *skb, uint64_t howmuch)
{
    skb_invariant(skb);
    ZD_ASSERT_IN(MBUF_H_FILE, skb->avail >= howmuch, "skb->avail >= howmuch");
    skb->ptr += howmuch;
    skb->used += howmuch;
    skb->avail -= howmuch;
    skb->data_size += howmuch;
}

static inline void skb_consume(skb *skb, uint64_t howmuch)
{
    skb_invariant(skb);
    ZD_ASSERT_IN(MBUF_H_FILE, skb->data_size >= howmuch, "skb->data_size >= howmuch");
    skb->data += howmuch;
    skb->data_size -= howmuch;
}

static inline void skb_shift(skb *skb, uint64_t size)
{
    skb_invariant(skb);
    ZD_ASSERT_IN(MBUF_H_FILE, size <= skb->used, "size <= skb->used");
    ZD_ASSERT_IN(MBUF_H_FILE, skb->data - skb->buffer >= static_cast<long>(size),
                 "skb->data - skb->buffer >= (long)size");
    memmove(skb->data - size, skb->data, skb->data_size);
    skb->ptr -= size;
    skb->data -= size;
    skb->used -= size;
    skb->avail += size;
}

// Unread bytes move at most once per quarter of the capacity consumed; a buffer its reader
// keeps emptying never needs a copy.
static inline void skb_compact(skb *skb)
{
    skb_invariant(skb);
    uint64_t headroom = static_cast<uint64_t>(skb->data - skb->buffer);
    if (skb->data_size == 0 || headroom > skb->size / 4)
        skb_shift(skb, headroom);
}

// Views for the callers that hand the runs to system and library calls.
static inline std::span<uint8_t> skb_unread(const skb *skb)
{
    return {skb->data, static_cast<size_t>(skb->data_size)};
}

static inline std::span<uint8_t> skb_free_space(const skb *skb)
{
    return {skb->ptr, static_cast<size_t>(skb->avail)};
}
