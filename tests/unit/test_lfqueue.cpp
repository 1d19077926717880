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

// Allocation callbacks that count, and can be told to refuse.
struct counting_heap {
    std::atomic<int> allocs{0}, frees{0};
    std::atomic<bool> refuse{false};

    static void* alloc(void* ctx, size_t size)
    {
        auto* heap = static_cast<counting_heap*>(ctx);
        if (heap->refuse)
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

std::atomic<int32_t> fake_seconds{100};

struct counted_queue {
    counting_heap heap;
    lfqueue q;
    explicit counted_queue(bool fake_clock = false)
    {
        if (fake_clock)
            q.seconds = [] { return fake_seconds.load(); };
        EXPECT_EQ(lfqueue_init_mf(&q, &heap, counting_heap::alloc, counting_heap::release), 0);
    }
    ~counted_queue()
    {
        lfqueue_destroy(&q);
        EXPECT_EQ(heap.live(), 0) << "destroy hands back every node and value";
    }
};

int values[8];

TEST(LfQueue, OrderSizeAndRefusedValues)
{
    counted_queue c;
    EXPECT_EQ(lfqueue_deq(&c.q), nullptr);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(lfqueue_enq(&c.q, &values[i]), 0);
    EXPECT_EQ(lfqueue_enq(&c.q, nullptr), -1); // would read as "empty" and be lost
    c.heap.refuse = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(lfqueue_enq(&c.q, &values[7]), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("malloc: ") + std::strerror(ENOMEM) + "\n");
    c.heap.refuse = false;
    EXPECT_EQ(lfqueue_size(&c.q), 3);
    EXPECT_EQ(lfqueue_deq(&c.q), &values[0]);
    EXPECT_EQ(lfqueue_deq(&c.q), &values[1]);
    EXPECT_EQ(lfqueue_size(&c.q), 1);
    EXPECT_EQ(lfqueue_deq(&c.q), &values[2]);
    // What is left goes to the release callback on destroy (counted by the destructor).
    ASSERT_EQ(lfqueue_enq(&c.q, counting_heap::alloc(&c.heap, 24)), 0);
}

// A recycled node is freed once the seconds count has moved on by more than
// two, the newest never; an old newest node gets a fresh grace when another
// node follows it, since a recycler may have read it an instant before.
TEST(LfQueue, RecycledNodesWaitOutTheirGrace)
{
    fake_seconds = 100;
    counted_queue c(true); // the anchor is retired at 100
    ASSERT_EQ(lfqueue_enq(&c.q, &values[0]), 0);
    ASSERT_EQ(lfqueue_enq(&c.q, &values[1]), 0);
    const int live = c.heap.live();
    fake_seconds = 110;
    // The first dummy retires at 110, and the anchor gets a fresh grace.
    ASSERT_EQ(lfqueue_deq(&c.q), &values[0]);
    ASSERT_EQ(lfqueue_deq(&c.q), &values[1]); // the second dummy is the newest
    fake_seconds = 112;
    EXPECT_EQ(lfqueue_deq(&c.q), nullptr); // runs a reclaim pass
    EXPECT_EQ(c.heap.live(), live) << "two seconds are no more than two";
    fake_seconds = 113;
    EXPECT_EQ(lfqueue_deq(&c.q), nullptr);
    EXPECT_EQ(c.heap.live(), live - 2) << "the anchor and the first dummy go";
    fake_seconds = 1000;
    EXPECT_EQ(lfqueue_deq(&c.q), nullptr);
    EXPECT_EQ(c.heap.live(), live - 2) << "the newest stays however old";
    ASSERT_EQ(lfqueue_enq(&c.q, &values[2]), 0);
    ASSERT_EQ(lfqueue_deq(&c.q), &values[2]);
    EXPECT_EQ(lfqueue_deq(&c.q), nullptr);
    EXPECT_EQ(c.heap.live(), live - 1) << "the old newest got a fresh grace";
}

// The waiting dequeues return a value enqueued later. With one consumer the old
// dummy is still recycled, not freed: an enqueuer may have read it as the tail.
TEST(LfQueue, WaitingAndSingleConsumerDequeues)
{
    for (auto take : {lfqueue_deq_must, lfqueue_single_deq_must}) {
        counted_queue c;
        std::thread producer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(lfqueue_enq(&c.q, &values[5]), 0);
        });
        EXPECT_EQ(take(&c.q), &values[5]);
        producer.join();
        EXPECT_EQ(lfqueue_size(&c.q), 0);
    }
    counted_queue c;
    EXPECT_EQ(lfqueue_single_deq(&c.q), nullptr);
    ASSERT_EQ(lfqueue_enq(&c.q, &values[1]), 0);
    ASSERT_EQ(lfqueue_enq(&c.q, &values[2]), 0);
    const int frees = c.heap.frees.load();
    EXPECT_EQ(lfqueue_single_deq(&c.q), &values[1]);
    EXPECT_EQ(lfqueue_single_deq(&c.q), &values[2]);
    EXPECT_EQ(lfqueue_size(&c.q), 0);
    EXPECT_EQ(c.heap.frees.load(), frees);
}

// Every value comes out exactly once, and each consumer sees any one
// producer's values in order.
TEST(LfQueueStress, ManyProducersAndConsumers)
{
    constexpr int producers = 4, consumers = 4, per_producer = 20000;
    constexpr int total = producers * per_producer;
    counted_queue c;
    std::vector<int> slots(total);
    auto seen = std::make_unique<std::atomic<int>[]>(total);
    std::atomic<int> taken{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            for (int i = 0; i < per_producer; ++i)
                while (lfqueue_enq(&c.q, &slots[p * per_producer + i]) != 0) {
                }
        });
    for (int k = 0; k < consumers; ++k)
        threads.emplace_back([&] {
            std::vector<int> last(producers, -1);
            while (taken < total) {
                auto* v = static_cast<int*>(lfqueue_deq(&c.q));
                if (v == nullptr) {
                    std::this_thread::yield();
                    continue;
                }
                const auto index = static_cast<int>(v - slots.data());
                wrong += ++seen[index] != 1 || index <= last[index / per_producer];
                last[index / per_producer] = index;
                ++taken;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0) << "a value twice, or out of its producer's order";
    EXPECT_EQ(lfqueue_size(&c.q), 0);
}

} // namespace
