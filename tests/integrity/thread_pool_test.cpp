#include "integrity/thread_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <stdexcept>

#include "core/log.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(ThreadPool, OneWorkerRunsAThousandJobsInQueueOrderBeforeDestruction) {
    std::vector<int> order;
    {
        ThreadPool pool(1);
        for (int i = 0; i < 1000; ++i) pool.enqueue([&order, i] { order.push_back(i); });
    }
    std::vector<int> expected(1000);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
}

TEST(ThreadPool, ManyWorkersLoseNoJob) {
    std::atomic<int> done{0};
    {
        ThreadPool pool(4);
        for (int i = 0; i < 10000; ++i) pool.enqueue([&done] { ++done; });
    }
    EXPECT_EQ(done.load(), 10000);
}

TEST(ThreadPool, ZeroWorkersAreRaisedToOne) {
    bool ran = false;
    std::thread::id runner;
    {
        ThreadPool pool(0);
        pool.enqueue([&] {
            ran = true;
            runner = std::this_thread::get_id();
        });
    }
    EXPECT_TRUE(ran);
    EXPECT_NE(runner, std::this_thread::get_id());
}

// Two jobs that each wait for the other finish only when two workers really run side by side.
TEST(ThreadPool, WorkersRunJobsConcurrently) {
    std::mutex lock;
    std::condition_variable arrived;
    int present = 0;
    std::atomic<int> metTheOther{0};
    {
        ThreadPool pool(2);
        for (int i = 0; i < 2; ++i) {
            pool.enqueue([&] {
                std::unique_lock guard(lock);
                ++present;
                arrived.notify_all();
                if (arrived.wait_for(guard, std::chrono::seconds(10), [&] { return present == 2; }))
                    ++metTheOther;
            });
        }
    }
    EXPECT_EQ(metTheOther.load(), 2);
}

TEST(ThreadPool, AnEscapingExceptionIsLoggedAndTheWorkerGoesOn) {
    TempDir dir;
    useUserFolder(dir);
    std::vector<int> ran;
    {
        ThreadPool pool(1);
        pool.enqueue([] { throw std::runtime_error("disk gone"); });
        pool.enqueue([&ran] { ran.push_back(1); });
        pool.enqueue([] { throw 42; });
        pool.enqueue([&ran] { ran.push_back(2); });
    }
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    const auto messages = logMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Worker job failed: disk gone");
    EXPECT_EQ(messages[1], "Worker job failed");
}

}  // namespace
