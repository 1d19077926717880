// Lock-free FIFO of pointers. Nodes that leave the list are not freed at once:
// another thread may still be looking at one it read a moment ago. They wait on
// a recycle list until the monotonic seconds count has moved on by more than 2.
// Every operation on a shared field is sequentially consistent, which also
// orders the plain fields (`value`, `retired_at`) that are written before a
// node is published; no separate fences are needed.
#include "lfqueue.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <new>
#include <thread>

namespace {

constexpr int32_t grace_seconds = 2;

void* lfq_default_alloc(void* /*ctx*/, size_t size)
{
    return ::operator new(size, std::nothrow);
}

void lfq_default_free(void* /*ctx*/, void* ptr)
{
    ::operator delete(ptr);
}

int32_t lfq_seconds(const lfqueue* q)
{
    if (q->seconds != nullptr)
        return q->seconds();
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<int32_t>(static_cast<uint32_t>(s.count()));
}

bool lfq_older_than_grace(int32_t now, int32_t retired_at)
{
    const auto age =
        static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(retired_at));
    return age > grace_seconds;
}

lfqueue_node* lfq_new_node(lfqueue* q, void* value)
{
    void* mem = q->alloc_fn(q->alloc_ctx, sizeof(lfqueue_node));
    if (mem == nullptr) {
        errno = ENOMEM;
        std::perror("malloc");
        return nullptr;
    }
    auto* node = new (mem) lfqueue_node;
    node->value = value;
    node->next.store(nullptr);
    node->next_recycled.store(nullptr);
    node->retired_at = 0;
    return node;
}

void lfq_free_node(lfqueue* q, lfqueue_node* node)
{
    node->~lfqueue_node();
    q->free_fn(q->alloc_ctx, node);
}

bool lfq_still(const std::atomic<lfqueue_node*>& var, const lfqueue_node* seen)
{
    return var.load() == seen;
}

void lfq_enqueue(lfqueue* q, lfqueue_node* node)
{
    lfqueue_node* t = nullptr;
    for (;;) {
        t = q->tail.load();
        lfqueue_node* next = nullptr;
        if (t->next.compare_exchange_strong(next, node))
            break;
        // Another enqueue linked its node but has not moved the tail yet:
        // move it for that thread rather than spin while it is descheduled.
        q->tail.compare_exchange_strong(t, next);
    }
    q->tail.compare_exchange_strong(t, node);
}

// Appends a node that has left the list to the recycle list.
void lfq_recycle_free(lfqueue* q, lfqueue_node* node)
{
    lfqueue_node* last = nullptr;
    for (;;) {
        last = q->recycle_last.load();
        lfqueue_node* expected = nullptr;
        if (last->next_recycled.compare_exchange_strong(expected, node))
            break;
    }
    const int32_t now = lfq_seconds(q);
    node->retired_at = now;
    // `last` may have been read by another recycler just before this append
    // and may be retired long ago; its grace starts now that it stops being
    // the newest node, otherwise a pass could free it under that thread.
    last->retired_at = now;
    q->recycle_last.compare_exchange_strong(last, node);
}

// The reclaim pass: frees recycled nodes past their grace, never the newest.
void lfq_check_free(lfqueue* q)
{
    int32_t idle = 0;
    if (q->reclaiming.compare_exchange_strong(idle, 1)) {
        const int32_t now = lfq_seconds(q);
        lfqueue_node* node = q->recycle_first;
        while (node != nullptr && node != q->recycle_last.load()) {
            lfqueue_node* next = node->next_recycled.load();
            if (!lfq_older_than_grace(now, node->retired_at))
                break; // every later node was recycled later
            lfq_free_node(q, node);
            node = next;
        }
        q->recycle_first = node;
        int32_t busy = 1;
        q->reclaiming.compare_exchange_strong(busy, 0);
    }
}

// Unlinks the oldest value; the node that was the dummy is stored in `*old_dummy`.
void* lfq_unlink_oldest(lfqueue* q, lfqueue_node** old_dummy)
{
    for (;;) {
        lfqueue_node* h = q->head.load();
        if (!lfq_still(q->head, h))
            continue;
        lfqueue_node* n = h->next.load();
        if (lfq_still(q->tail, h)) {
            if (n == nullptr)
                return nullptr;
            q->tail.compare_exchange_strong(h, n); // help the lagging enqueue
            continue;
        }
        if (n == nullptr)
            return nullptr;
        void* value = n->value;
        if (q->head.compare_exchange_strong(h, n)) {
            *old_dummy = h;
            return value;
        }
    }
}

// With one consumer no dequeuer can still hold the old dummy, but an enqueuer
// may have read it as the tail just before it moved on, so it is recycled too.
void* lfq_single_dequeue(lfqueue* q)
{
    lfqueue_node* old_dummy = nullptr;
    void* value = lfq_unlink_oldest(q, &old_dummy);
    if (value != nullptr)
        lfq_recycle_free(q, old_dummy);
    return value;
}

// The multi-consumer dequeue is the same step followed by a reclaim pass (also
// when the queue was empty); the single-consumer one leaves reclaiming to enqueue.
void* lfq_dequeue(lfqueue* q)
{
    void* value = lfq_single_dequeue(q);
    lfq_check_free(q);
    return value;
}

void* lfq_take_when_present(lfqueue* q, void* (*take)(lfqueue*))
{
    void* value = nullptr;
    while ((value = take(q)) == nullptr)
        lfqueue_sleep(1);
    q->size.fetch_sub(1);
    return value;
}

} // namespace

int lfqueue_init(lfqueue* q)
{
    return lfqueue_init_mf(q, nullptr, lfq_default_alloc, lfq_default_free);
}

int lfqueue_init_mf(lfqueue* q, void* ctx, lfqueue_alloc_fn alloc, lfqueue_free_fn release)
{
    q->alloc_fn = alloc;
    q->free_fn = release;
    q->alloc_ctx = ctx;
    q->head.store(nullptr);
    q->tail.store(nullptr);
    lfqueue_node* dummy = lfq_new_node(q, nullptr);
    if (dummy == nullptr)
        return ENOMEM;
    lfqueue_node* anchor = lfq_new_node(q, nullptr);
    if (anchor == nullptr) {
        lfq_free_node(q, dummy);
        return ENOMEM;
    }
    anchor->retired_at = lfq_seconds(q);
    q->head.store(dummy);
    q->tail.store(dummy);
    q->recycle_first = anchor;
    q->recycle_last.store(anchor);
    q->size.store(0);
    q->reclaiming.store(0);
    return 0;
}

int lfqueue_enq(lfqueue* q, void* value)
{
    // A null value would read as "empty" and be lost, leaving `size` wrong for good.
    if (value == nullptr)
        return -1;
    lfqueue_node* node = lfq_new_node(q, value);
    if (node == nullptr)
        return -1;
    lfq_enqueue(q, node);
    lfq_check_free(q);
    q->size.fetch_add(1);
    return 0;
}

void* lfqueue_deq(lfqueue* q)
{
    void* value = lfq_dequeue(q);
    if (value != nullptr)
        q->size.fetch_sub(1);
    return value;
}

void* lfqueue_deq_must(lfqueue* q)
{
    return lfq_take_when_present(q, lfq_dequeue);
}

void* lfqueue_single_deq(lfqueue* q)
{
    void* value = lfq_single_dequeue(q);
    if (value != nullptr)
        q->size.fetch_sub(1);
    return value;
}

void* lfqueue_single_deq_must(lfqueue* q)
{
    return lfq_take_when_present(q, lfq_single_dequeue);
}

int64_t lfqueue_size(lfqueue* q)
{
    return q->size.fetch_add(0);
}

void lfqueue_sleep(unsigned int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void lfqueue_destroy(lfqueue* q)
{
    if (q->head.load() == nullptr)
        return; // never initialised, or already destroyed
    while (void* value = lfqueue_deq(q))
        q->free_fn(q->alloc_ctx, value);
    lfqueue_node* last = q->recycle_last.load();
    for (lfqueue_node* node = q->recycle_first; node != nullptr && node != last;) {
        lfqueue_node* next = node->next_recycled.load();
        lfq_free_node(q, node);
        node = next;
    }
    if (last != nullptr)
        lfq_free_node(q, last);
    // Once drained the dummy is both head and tail.
    lfq_free_node(q, q->head.load());
    q->head.store(nullptr);
    q->tail.store(nullptr);
    q->recycle_first = nullptr;
    q->recycle_last.store(nullptr);
    q->size.store(0);
}
