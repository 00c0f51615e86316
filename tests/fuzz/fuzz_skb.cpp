// The socket buffer against a trivial model: the input is a capacity followed by a program of
// produce, consume, shift and compact steps, each bounded the way the callers bound them (by
// avail, data_size or the headroom). After every step the buffer must hold exactly the
// model's unread bytes at the model's position.
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "mbuf.h"

namespace
{

// Small capacities reach the edges in a few steps; the real one checks the quarter rule at
// the threshold the system runs with.
constexpr uint64_t CAPACITIES[] = {1, 2, 3, 4, 5, 7, 8, 16, 17, 100, 4096, 65537, SKB_SIZE};
constexpr size_t FULL_COMPARE_MAX = 65537;
constexpr size_t EDGE_COMPARE = 64;

// The bytes written come from a fixed pseudo-random table whose length is prime, so a run
// moved to the wrong place never compares equal by accident of a power-of-two period.
constexpr size_t PATTERN_SZ = 65521;
uint8_t pattern[PATTERN_SZ];

struct model {
    uint64_t size;
    uint64_t headroom = 0; // consumed bytes before the unread ones
    // The unread bytes are bytes[front..]; the consumed front is dropped now and then, so a
    // long run of small reads does not move the whole string each time.
    std::string bytes;
    size_t front = 0;
    uint64_t written = 0; // bytes produced so far, the position in the pattern

    size_t unread_size() const { return bytes.size() - front; }
    const char *unread() const { return bytes.data() + front; }
    void drop(size_t n)
    {
        front += n;
        if (front > bytes.size() / 2) {
            bytes.erase(0, front);
            front = 0;
        }
    }
};

enum op : uint8_t {
    OP_PRODUCE,
    OP_CONSUME,
    OP_COMPACT,
    OP_SHIFT,
    OP_FILL,
    OP_DRAIN,
    OP_READ_AND_COMPACT,
    OP_COUNT,
};

// Amounts are read in as many bytes as the capacity needs, then bounded by the limit.
uint64_t amount(const uint8_t **data, size_t *size, uint64_t capacity, uint64_t limit)
{
    size_t bytes = capacity > 0xffff ? 3 : capacity > 0xff ? 2 : 1;
    return fz::take_number(data, size, bytes) % (limit + 1);
}

void check_content(const skb *b, const model &m)
{
    auto unread = skb_unread(b);
    FZ_CHECK(unread.size() == m.unread_size());
    if (m.unread_size() <= FULL_COMPARE_MAX) {
        FZ_CHECK(memcmp(unread.data(), m.unread(), m.unread_size()) == 0);
        return;
    }
    // The real capacity compares its two ends each step and everything at the end.
    size_t n = m.unread_size();
    FZ_CHECK(memcmp(unread.data(), m.unread(), EDGE_COMPARE) == 0);
    FZ_CHECK(
        memcmp(unread.data() + n - EDGE_COMPARE, m.unread() + n - EDGE_COMPARE, EDGE_COMPARE) == 0);
}

void check(const skb *b, const model &m)
{
    skb_invariant(b);
    FZ_CHECK(b->buffer == reinterpret_cast<const uint8_t *>(b + 1));
    FZ_CHECK(b->size == m.size);
    FZ_CHECK(static_cast<uint64_t>(b->data - b->buffer) == m.headroom);
    FZ_CHECK(b->data_size == m.unread_size());
    FZ_CHECK(b->used == m.headroom + m.unread_size());
    FZ_CHECK(b->avail == m.size - m.headroom - m.unread_size());
    FZ_CHECK(skb_free_space(b).size() == b->avail && skb_free_space(b).data() == b->ptr);
    check_content(b, m);
}

void produce(skb *b, model &m, uint64_t n)
{
    auto room = skb_free_space(b);
    for (uint64_t done = 0; done < n;) {
        size_t at = m.written % PATTERN_SZ;
        size_t chunk = std::min<uint64_t>(n - done, PATTERN_SZ - at);
        memcpy(room.data() + done, pattern + at, chunk);
        m.bytes.append(reinterpret_cast<const char *>(pattern + at), chunk);
        done += chunk;
        m.written += chunk;
    }
    skb_produce(b, n);
}

void consume(skb *b, model &m, uint64_t n)
{
    FZ_CHECK(memcmp(skb_unread(b).data(), m.unread(), n) == 0);
    skb_consume(b, n);
    m.drop(n);
    m.headroom += n;
}

// The quarter rule: the headroom goes once it is more than a quarter of the capacity, or
// when nothing is left to read (then nothing needs to move).
void compact(skb *b, model &m)
{
    skb_compact(b);
    if (m.unread_size() == 0 || m.headroom > m.size / 4)
        m.headroom = 0;
}

void shift(skb *b, model &m, uint64_t n)
{
    skb_shift(b, n);
    m.headroom -= n;
}

void step(skb *b, model &m, op o, const uint8_t **data, size_t *size)
{
    switch (o) {
    case OP_PRODUCE:
        produce(b, m, amount(data, size, m.size, b->avail));
        break;
    case OP_CONSUME:
        consume(b, m, amount(data, size, m.size, b->data_size));
        break;
    case OP_COMPACT:
        compact(b, m);
        break;
    case OP_SHIFT:
        shift(b, m, amount(data, size, m.size, m.headroom));
        break;
    case OP_FILL:
        produce(b, m, b->avail);
        break;
    case OP_DRAIN:
        consume(b, m, b->data_size);
        break;
    case OP_READ_AND_COMPACT:
        // What every reader in the system does: take some, then compact.
        consume(b, m, amount(data, size, m.size, b->data_size));
        compact(b, m);
        break;
    case OP_COUNT:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    uint32_t x = 2463534242u;
    for (auto &byte : pattern) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    constexpr size_t n_capacities = sizeof(CAPACITIES) / sizeof(CAPACITIES[0]);
    model m;
    m.size = CAPACITIES[fz::take_number(&data, &size, 1) % n_capacities];
    skb *b = skb_create(m.size);
    check(b, m);
    while (size > 0) {
        auto o = static_cast<op>(fz::take_number(&data, &size, 1) % OP_COUNT);
        step(b, m, o, &data, &size);
        check(b, m);
    }
    FZ_CHECK(memcmp(skb_unread(b).data(), m.unread(), m.unread_size()) == 0);
    skb_destroy(b);
    return 0;
}
