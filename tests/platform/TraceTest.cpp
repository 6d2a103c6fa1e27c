// Trace and memory services of the host platform library.
#include "TraceCapture.hh"

#include "yvk_system.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#define YVK_TRACE_MODULE "trace-test"

namespace {

TEST(Trace, SinkSeesWholeFormattedLinesWithoutNewline) {
    yvk::test::TraceCapture capture;
    std::string longText(5000, 'a');
    YVK_TRACE(YVK_TRACE_ERROR, "value %d of %s\n", 42, "x");
    YVK_TRACE(YVK_TRACE_INFO, "%s!", longText.c_str());
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, YVK_TRACE_ERROR);
    EXPECT_EQ(lines[0].module, "trace-test");
    EXPECT_EQ(lines[0].function, "TestBody");
    EXPECT_EQ(lines[0].message, "value 42 of x");
    EXPECT_EQ(lines[1].message, longText + "!");
}

TEST(Trace, SeveralThreadsAtOnce) {
    yvk::test::TraceCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] { for (int i = 0; i < 200; ++i) YVK_TRACE(YVK_TRACE_DEBUG, "%d %d\n", t, i); });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(capture.lines().size(), 800u);
}

TEST(Memory, MallocIsZeroFilledAndFreeable) {
    auto* bytes = static_cast<unsigned char*>(YVK_MALLOC(4096));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(bytes[i], 0) << i;
    YVK_Free(bytes);
    YVK_Free(nullptr);
}

} // namespace
