// The queue library: FIFO of copies, waiting pop, capacity, two threads.
#include "yvk_queue.h"

#include <gtest/gtest.h>

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
    void SetUp() override { ASSERT_NE(fQueue = queue_new(4, sizeof(Element), "test"), nullptr); }
    void TearDown() override { queue_free(fQueue); }

    int push(int sequence) {
        Element element{sequence, "x"};
        return queue_push(fQueue, &element, sizeof element);
    }
    // The sequence of the oldest element, -1 when none came within the timeout.
    int pop(int timeoutMs = 0) {
        auto* element = static_cast<Element*>(queue_pop(fQueue, nullptr, timeoutMs));
        return element != nullptr ? element->sequence : -1;
    }
    yvk_queue* fQueue = nullptr;
};

TEST_F(QueueTest, FifoOfCopiesRefusesPushWhenFullAndWraps) {
    Element element{0, "first"};
    ASSERT_EQ(queue_push(fQueue, &element, sizeof element), 0);
    element.sequence = 99;  // the queue holds its own copy
    for (int i = 1; i < 4; ++i) ASSERT_EQ(push(i), 0);
    EXPECT_EQ(push(4), -1);
    EXPECT_EQ(queue_get_currnum(fQueue), 4);
    int size = 0;
    auto* first = static_cast<Element*>(queue_pop(fQueue, &size, 0));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(size, static_cast<int>(sizeof(Element)));
    EXPECT_EQ(first->sequence, 0);
    EXPECT_STREQ(first->tag, "first");
    EXPECT_EQ(pop(), 1);
    ASSERT_EQ(push(5), 0);
    ASSERT_EQ(push(6), 0);
    EXPECT_EQ(push(7), -1);
    for (int expected : {2, 3}) EXPECT_EQ(pop(), expected);
    // The popped element stays readable while another thread pops.
    auto* mine = static_cast<Element*>(queue_pop(fQueue, nullptr, 0));
    ASSERT_NE(mine, nullptr);
    std::thread other([this] { EXPECT_EQ(pop(), 6); });
    other.join();
    EXPECT_EQ(mine->sequence, 5);
    EXPECT_EQ(queue_get_currnum(fQueue), 0);
    EXPECT_EQ(pop(), -1);
}

TEST_F(QueueTest, PopOnEmptyQueueWaitsForThePushOrTheTimeout) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pop(50), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    std::thread producer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        push(7);
    });
    EXPECT_EQ(pop(5000), 7);
    producer.join();
}

TEST_F(QueueTest, RefusesWrongElementsAndBadArguments) {
    char small = 0;
    EXPECT_EQ(queue_push(fQueue, &small, 1), -1);
    EXPECT_EQ(queue_push(fQueue, nullptr, sizeof(Element)), -1);
    EXPECT_EQ(queue_get_currnum(fQueue), 0);
    EXPECT_EQ(queue_new(0, 4, "zero"), nullptr);
    EXPECT_EQ(queue_new(4, 0, "zero"), nullptr);
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
    // Both sides give up at the deadline, so a lost element fails the test
    // instead of hanging it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::thread producer([queue, deadline] {
        for (int i = 0; i < kCount && std::chrono::steady_clock::now() < deadline;) {
            if (queue_push(queue, &i, sizeof i) == 0) ++i;
            else std::this_thread::yield();
        }
    });
    std::vector<int> received;
    while (static_cast<int>(received.size()) < kCount && std::chrono::steady_clock::now() < deadline) {
        auto* value = static_cast<int*>(queue_pop(queue, nullptr, 100));
        if (value != nullptr) received.push_back(*value);
    }
    producer.join();
    ASSERT_EQ(static_cast<int>(received.size()), kCount);
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(received[i], i) << "at " << i;
    queue_free(queue);
}

} // namespace
