// The queue library: FIFO of copies, waiting pop, capacity, two threads.
#include "yvk_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

struct Element {
    int sequence;
    char tag[12];
};

class QueueTest : public testing::Test {
protected:
    void SetUp() override { fQueue = queue_new(4, sizeof(Element), "test"); }
    void TearDown() override { queue_free(fQueue); }

    int push(int sequence) {
        Element element{sequence, "x"};
        return queue_push(fQueue, &element, sizeof element);
    }
    yvk_queue* fQueue = nullptr;
};

TEST_F(QueueTest, PopsInPushOrderAsCopies) {
    ASSERT_NE(fQueue, nullptr);
    Element element{1, "first"};
    ASSERT_EQ(queue_push(fQueue, &element, sizeof element), 0);
    element.sequence = 99; // the queue holds its own copy
    ASSERT_EQ(push(2), 0);
    EXPECT_EQ(queue_get_currnum(fQueue), 2);

    int size = 0;
    auto* first = static_cast<Element*>(queue_pop(fQueue, &size, 0));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(size, static_cast<int>(sizeof(Element)));
    EXPECT_EQ(first->sequence, 1);
    EXPECT_STREQ(first->tag, "first");
    auto* second = static_cast<Element*>(queue_pop(fQueue, nullptr, 0));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->sequence, 2);
    EXPECT_EQ(queue_get_currnum(fQueue), 0);
}

TEST_F(QueueTest, PoppedElementStaysReadableWhileOtherThreadsPop) {
    ASSERT_EQ(push(1), 0);
    ASSERT_EQ(push(2), 0);
    auto* mine = static_cast<Element*>(queue_pop(fQueue, nullptr, 0));
    ASSERT_NE(mine, nullptr);
    std::thread other([this] { EXPECT_NE(queue_pop(fQueue, nullptr, 0), nullptr); });
    other.join();
    EXPECT_EQ(mine->sequence, 1);
}

TEST_F(QueueTest, FullQueueRefusesPushAndKeepsContents) {
    for (int i = 0; i < 4; ++i) ASSERT_EQ(push(i), 0);
    EXPECT_EQ(push(4), -1);
    EXPECT_EQ(queue_get_currnum(fQueue), 4);
    for (int i = 0; i < 4; ++i) {
        auto* element = static_cast<Element*>(queue_pop(fQueue, nullptr, 0));
        ASSERT_NE(element, nullptr);
        EXPECT_EQ(element->sequence, i);
    }
    EXPECT_EQ(push(5), 0); // the ring wraps
}

TEST_F(QueueTest, WrongElementSizeIsRefused) {
    char small = 0;
    EXPECT_EQ(queue_push(fQueue, &small, 1), -1);
    EXPECT_EQ(queue_push(fQueue, nullptr, sizeof(Element)), -1);
    EXPECT_EQ(queue_get_currnum(fQueue), 0);
}

TEST_F(QueueTest, PopOnEmptyQueueWaitsForTheTimeout) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue_pop(fQueue, nullptr, 50), nullptr);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(45));
    EXPECT_EQ(queue_pop(fQueue, nullptr, 0), nullptr);
}

TEST_F(QueueTest, WaitingPopWakesOnPush) {
    std::thread producer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        push(7);
    });
    auto* element = static_cast<Element*>(queue_pop(fQueue, nullptr, 5000));
    producer.join();
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(element->sequence, 7);
}

TEST(QueueLimits, BadArgumentsGiveNoQueue) {
    EXPECT_EQ(queue_new(0, 4, "zero"), nullptr);
    EXPECT_EQ(queue_new(4, 0, "zero"), nullptr);
    EXPECT_EQ(queue_new(-1, 4, nullptr), nullptr);
    EXPECT_EQ(queue_pop(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(queue_push(nullptr, "x", 1), -1);
    EXPECT_EQ(queue_get_currnum(nullptr), 0);
    queue_free(nullptr);
}

// A producer and a consumer move 100 000 elements through a small queue:
// every element arrives once, in order.
TEST(QueueThreads, HundredThousandElementsNothingLostOrDuplicated) {
    constexpr int kCount = 100000;
    yvk_queue* queue = queue_new(64, sizeof(int), "threads");
    ASSERT_NE(queue, nullptr);
    std::thread producer([queue] {
        for (int i = 0; i < kCount;) {
            if (queue_push(queue, &i, sizeof i) == 0) ++i;
            else std::this_thread::yield();
        }
    });
    std::vector<int> received;
    received.reserve(kCount);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (static_cast<int>(received.size()) < kCount && std::chrono::steady_clock::now() < deadline) {
        auto* value = static_cast<int*>(queue_pop(queue, nullptr, 100));
        if (value != nullptr) received.push_back(*value);
    }
    producer.join();
    ASSERT_EQ(static_cast<int>(received.size()), kCount);
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(received[i], i) << "at " << i;
    EXPECT_EQ(queue_get_currnum(queue), 0);
    queue_free(queue);
}

} // namespace
