// First-in first-out queue of pointers that any number of threads may fill and
// empty at once without locks: a linked list with a dummy front node changed
// only by compare-and-exchange. Nodes that leave the list go to a recycle list
// and are freed once the monotonic seconds count has advanced by more than 2,
// so a thread may safely hold a node it read for up to two seconds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct lfqueue_node {
    void* value;
    std::atomic<lfqueue_node*> next;
    std::atomic<lfqueue_node*> next_recycled;
    int32_t retired_at; // monotonic seconds when the node went onto the recycle list
};

using lfqueue_alloc_fn = void* (*)(void* ctx, size_t size);
using lfqueue_free_fn = void (*)(void* ctx, void* ptr);
// Monotonic seconds; the queue reads the steady clock unless given another.
using lfqueue_clock_fn = int32_t (*)();

struct lfqueue {
    std::atomic<lfqueue_node*> head{nullptr}; // the dummy; the oldest value is in head->next
    std::atomic<lfqueue_node*> tail{nullptr};
    lfqueue_node* recycle_first = nullptr; // touched only by the thread holding `reclaiming`
    std::atomic<lfqueue_node*> recycle_last{nullptr};
    std::atomic<int64_t> size{0};
    std::atomic<int32_t> reclaiming{0};
    lfqueue_alloc_fn alloc_fn = nullptr;
    lfqueue_free_fn free_fn = nullptr;
    void* alloc_ctx = nullptr;
    lfqueue_clock_fn seconds = nullptr; // set before init, or left null for the steady clock
};

// 0, or the system error number when memory could not be obtained.
int lfqueue_init(lfqueue* q);
int lfqueue_init_mf(lfqueue* q, void* ctx, lfqueue_alloc_fn alloc, lfqueue_free_fn release);
// 0, or -1 when no node could be allocated. `value` must not be null.
int lfqueue_enq(lfqueue* q, void* value);
// Oldest value, or null when empty.
void* lfqueue_deq(lfqueue* q);
// Oldest value; waits (1 ms sleeps) until there is one.
void* lfqueue_deq_must(lfqueue* q);
// As lfqueue_deq / lfqueue_deq_must, for queues with a single consumer thread only.
void* lfqueue_single_deq(lfqueue* q);
void* lfqueue_single_deq_must(lfqueue* q);
int64_t lfqueue_size(lfqueue* q);
void lfqueue_sleep(unsigned int milliseconds);
// Only when no other thread uses the queue: hands remaining values and every node to free_fn.
void lfqueue_destroy(lfqueue* q);
