#include "lfqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Allocation callbacks that count, and can be told to refuse.
struct counting_heap {
    std::atomic<int> allocs{0};
    std::atomic<int> frees{0};
    std::atomic<int> refuse_after{-1}; // allocations still granted; -1 for no limit

    static void* alloc(void* ctx, size_t size)
    {
        auto* heap = static_cast<counting_heap*>(ctx);
        int left = heap->refuse_after.load();
        while (left >= 0 && !heap->refuse_after.compare_exchange_weak(left, left - 1)) {}
        if (left == 0)
            return nullptr;
        heap->allocs.fetch_add(1);
        return ::operator new(size, std::nothrow);
    }
    static void release(void* ctx, void* ptr)
    {
        static_cast<counting_heap*>(ctx)->frees.fetch_add(1);
        ::operator delete(ptr);
    }
    int live() const { return allocs.load() - frees.load(); }
};

struct counted_queue {
    counting_heap heap;
    lfqueue q;
    counted_queue() { EXPECT_EQ(lfqueue_init_mf(&q, &heap, counting_heap::alloc, counting_heap::release), 0); }
};

int values[8];

TEST(LfQueue, NewQueueIsEmptyAndDestroyReturnsItsNodes)
{
    counted_queue c;
    EXPECT_EQ(lfqueue_deq(&c.q), nullptr);
    EXPECT_EQ(lfqueue_single_deq(&c.q), nullptr);
    EXPECT_EQ(lfqueue_size(&c.q), 0);
    lfqueue_destroy(&c.q);
    EXPECT_EQ(c.heap.allocs.load(), 2);
    EXPECT_EQ(c.heap.live(), 0);
}

TEST(LfQueue, ValuesComeOutInOrderAndSizeFollows)
{
    counted_queue c;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(lfqueue_enq(&c.q, &values[i]), 0);
    EXPECT_EQ(lfqueue_deq(&c.q), &values[0]);
    EXPECT_EQ(lfqueue_size(&c.q), 2);
    ASSERT_EQ(lfqueue_enq(&c.q, &values[3]), 0);
    EXPECT_EQ(lfqueue_single_deq(&c.q), &values[1]);
    EXPECT_EQ(lfqueue_deq(&c.q), &values[2]);
    EXPECT_EQ(lfqueue_single_deq(&c.q), &values[3]);
    EXPECT_EQ(lfqueue_deq(&c.q), nullptr);
    EXPECT_EQ(lfqueue_size(&c.q), 0);
    lfqueue_destroy(&c.q);
    EXPECT_EQ(c.heap.live(), 0);
}

TEST(LfQueue, RefusedValuesLeaveTheQueueUnchanged)
{
    counted_queue c;
    ASSERT_EQ(lfqueue_enq(&c.q, &values[0]), 0);
    EXPECT_EQ(lfqueue_enq(&c.q, nullptr), -1); // would read as "empty" and be lost
    c.heap.refuse_after = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(lfqueue_enq(&c.q, &values[1]), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("malloc: ") + std::strerror(ENOMEM) + "\n");
    c.heap.refuse_after = -1;
    EXPECT_EQ(lfqueue_size(&c.q), 1);
    EXPECT_EQ(lfqueue_deq(&c.q), &values[0]);
    EXPECT_EQ(lfqueue_deq(&c.q), nullptr);
    lfqueue_destroy(&c.q);
    EXPECT_EQ(c.heap.live(), 0);
}

TEST(LfQueue, InitWithoutMemoryReportsAndKeepsNothing)
{
    counting_heap heap;
    heap.refuse_after = 1;
    lfqueue q;
    testing::internal::CaptureStderr();
    EXPECT_EQ(lfqueue_init_mf(&q, &heap, counting_heap::alloc, counting_heap::release), ENOMEM);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("malloc: ") + std::strerror(ENOMEM) + "\n");
    EXPECT_EQ(heap.allocs.load(), 1);
    EXPECT_EQ(heap.live(), 0);
    lfqueue_destroy(&q); // harmless on a queue that never came up
    EXPECT_EQ(heap.live(), 0);
}

TEST(LfQueue, DestroyHandsRemainingValuesToTheReleaseCallback)
{
    counted_queue c;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(lfqueue_enq(&c.q, counting_heap::alloc(&c.heap, 24)), 0);
    counting_heap::release(&c.heap, lfqueue_deq(&c.q));
    lfqueue_destroy(&c.q);
    EXPECT_EQ(c.heap.live(), 0); // the two values left count as well as the nodes
    EXPECT_EQ(lfqueue_size(&c.q), 0);
}

TEST(LfQueue, RecycledNodesAreFreedAfterTheirGraceButNeverTheNewest)
{
    counted_queue c;
    ASSERT_EQ(lfqueue_enq(&c.q, &values[0]), 0);
    ASSERT_EQ(lfqueue_enq(&c.q, &values[1]), 0);
    const int live_before = c.heap.live(); // two dummies, anchor and one value node
    const auto retired = steady::now();
    ASSERT_EQ(lfqueue_deq(&c.q), &values[0]);
    ASSERT_EQ(lfqueue_deq(&c.q), &values[1]);
    const auto last_retired = steady::now();
    while (steady::now() - retired < milliseconds(1900)) {
        EXPECT_EQ(lfqueue_deq(&c.q), nullptr); // runs a reclaim pass
        ASSERT_EQ(c.heap.live(), live_before);
        std::this_thread::sleep_for(milliseconds(20));
    }
    std::this_thread::sleep_until(last_retired + milliseconds(3050));
    EXPECT_EQ(lfqueue_deq(&c.q), nullptr);
    // The anchor and the first dummy go; the newest recycled node stays however old.
    EXPECT_EQ(c.heap.live(), live_before - 2);
    // Once another node follows it, the old newest node gets a fresh grace: a
    // recycler may have read it as the newest an instant before.
    ASSERT_EQ(lfqueue_enq(&c.q, &values[2]), 0);
    ASSERT_EQ(lfqueue_deq(&c.q), &values[2]);
    EXPECT_EQ(lfqueue_deq(&c.q), nullptr);
    EXPECT_EQ(c.heap.live(), live_before - 1);
    lfqueue_destroy(&c.q);
    EXPECT_EQ(c.heap.live(), 0);
}

TEST(LfQueue, SingleDequeueKeepsTheOldDummyForLateEnqueuers)
{
    counted_queue c;
    ASSERT_EQ(lfqueue_enq(&c.q, &values[0]), 0);
    const int frees_before = c.heap.frees.load();
    // An enqueuer may have read the old dummy as the tail just before; freeing
    // it at once would let that enqueuer write into freed memory.
    EXPECT_EQ(lfqueue_single_deq(&c.q), &values[0]);
    EXPECT_EQ(c.heap.frees.load(), frees_before);
    lfqueue_destroy(&c.q);
    EXPECT_EQ(c.heap.live(), 0);
}

TEST(LfQueue, WaitingDequeuesReturnAValueEnqueuedLater)
{
    for (auto take : {lfqueue_deq_must, lfqueue_single_deq_must}) {
        counted_queue c;
        std::thread producer([&] {
            std::this_thread::sleep_for(milliseconds(50));
            EXPECT_EQ(lfqueue_enq(&c.q, &values[5]), 0);
        });
        const auto t0 = steady::now();
        EXPECT_EQ(take(&c.q), &values[5]);
        EXPECT_GE(steady::now() - t0, milliseconds(40));
        producer.join();
        EXPECT_EQ(lfqueue_size(&c.q), 0);
        lfqueue_destroy(&c.q);
        EXPECT_EQ(c.heap.live(), 0);
    }
}

// Producers enqueue pointers into `slots`; every value must come out exactly
// once, and each consumer must see any one producer's values in order.
void run_stress(int producers, int consumers, int per_producer, void* (*take)(lfqueue*))
{
    counted_queue c;
    const int total = producers * per_producer;
    std::vector<int> slots(total);
    auto seen = std::make_unique<std::atomic<int>[]>(total);
    std::atomic<int> taken{0};
    std::atomic<int> out_of_order{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            for (int i = 0; i < per_producer; ++i)
                while (lfqueue_enq(&c.q, &slots[p * per_producer + i]) != 0) {}
        });
    for (int k = 0; k < consumers; ++k)
        threads.emplace_back([&] {
            std::vector<int> last(producers, -1);
            while (taken.load() < total) {
                auto* v = static_cast<int*>(take(&c.q));
                if (v == nullptr) {
                    std::this_thread::yield();
                    continue;
                }
                const int index = static_cast<int>(v - slots.data());
                seen[index].fetch_add(1);
                taken.fetch_add(1);
                const int producer = index / per_producer;
                if (index <= last[producer])
                    out_of_order.fetch_add(1);
                last[producer] = index;
            }
        });
    for (auto& t : threads)
        t.join();
    int wrong = 0;
    for (int i = 0; i < total; ++i)
        wrong += seen[i].load() != 1;
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(out_of_order.load(), 0);
    EXPECT_EQ(lfqueue_size(&c.q), 0);
    EXPECT_EQ(lfqueue_deq(&c.q), nullptr);
    lfqueue_destroy(&c.q);
    EXPECT_EQ(c.heap.live(), 0);
}

TEST(LfQueueStress, ManyProducersManyConsumers)
{
    run_stress(4, 4, 20000, lfqueue_deq);
}

TEST(LfQueueStress, ManyProducersOneSingleConsumer)
{
    run_stress(4, 1, 20000, lfqueue_single_deq);
}

} // namespace
