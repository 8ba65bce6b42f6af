// The log writer's queue: whole lines in order, drops counted exactly at the capacity boundary,
// and the drop notice in the place of the lines it stands for.
#include "core/log_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Everything the queue hands out now, as "attribute text".
std::vector<std::string> drain(LogQueue &queue) {
    std::vector<std::string> lines;
    QueuedLine line;
    while (queue.pop(line)) {
        lines.push_back(std::to_string(line.attribute) + " " + std::string(line.view()));
    }
    return lines;
}

std::string popOne(LogQueue &queue) {
    QueuedLine line;
    if (!queue.pop(line)) {
        return "(nothing)";
    }
    return std::to_string(line.attribute) + " " + std::string(line.view());
}

// Ten characters of text: 13 bytes in the queue. The notice for up to nine lines takes 38.
constexpr std::size_t lineBytes = LogQueue::recordHeaderSize + 10;

TEST(LogQueue, DropsAtTheExactBoundaryAndPlacesOneNoticeWhereTheLinesWent) {
    LogQueue queue(4 * lineBytes);
    EXPECT_TRUE(queue.push(23, "line 0 ..."));
    EXPECT_TRUE(queue.push(23, "line 1 ..."));
    EXPECT_TRUE(queue.push(30, "line 2 ..."));
    EXPECT_TRUE(queue.push(87, "line 3 ...")); // fills it to the last byte
    EXPECT_EQ(queue.bytesUsed(), queue.capacity());
    EXPECT_FALSE(queue.push(23, "line 4 ..."));
    EXPECT_EQ(popOne(queue), "23 line 0 ...");
    // Room for the line, not for the line and the notice owed before it.
    EXPECT_FALSE(queue.push(23, "line 5 ..."));
    EXPECT_EQ(popOne(queue), "23 line 1 ...");
    EXPECT_EQ(popOne(queue), "30 line 2 ...");
    EXPECT_FALSE(queue.push(23, "line 6 ...")); // 39 bytes free, 51 needed
    EXPECT_EQ(popOne(queue), "87 line 3 ...");
    EXPECT_TRUE(queue.push(30, "line 7 ...")); // 52 free: notice and line
    EXPECT_EQ(drain(queue), (std::vector<std::string>{
                                "70 Log output stalled: 3 lines dropped",
                                "30 line 7 ...",
                            }));
    EXPECT_TRUE(queue.push(23, "line 8 ...")); // nothing owed any more: no second notice
    EXPECT_EQ(drain(queue), std::vector<std::string>{"23 line 8 ..."});
    EXPECT_FALSE(queue.hasLines());
}

TEST(LogQueue, NoticeComesOutOnceTheQueueIsEmptyWhenNoLineFollows) {
    LogQueue queue(2 * lineBytes);
    EXPECT_TRUE(queue.push(23, "line 0 ..."));
    EXPECT_TRUE(queue.push(23, "line 1 ..."));
    for (int i = 0; i < 12; ++i) {
        EXPECT_FALSE(queue.push(30, "dropped .."));
    }
    EXPECT_TRUE(queue.hasLines());
    EXPECT_EQ(drain(queue), (std::vector<std::string>{
                                "23 line 0 ...",
                                "23 line 1 ...",
                                "70 Log output stalled: 12 lines dropped",
                            }));
    EXPECT_FALSE(queue.hasLines());
    EXPECT_TRUE(queue.push(23, "line 2 ..."));
    EXPECT_EQ(drain(queue), std::vector<std::string>{"23 line 2 ..."});
}

} // namespace
