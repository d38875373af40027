#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Dispatch.h"
#include "MemoryLimits.h"

using namespace velkaro;

using namespace std::chrono_literals;

TEST(Dispatch, AsyncTasksRunConcurrentlyAndWaitIdleWaitsForAll) {
    // Two tasks that wait for each other can only finish if the pool runs them at once.
    std::atomic<int> arrived{0}, done{0};
    for (int t = 0; t < 2; ++t)
        dispatchAsync(DispatchPriority::Default, [&] {
            arrived.fetch_add(1);
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (arrived.load() < 2 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
            done.fetch_add(arrived.load() == 2 ? 1 : 0);
        });
    dispatchWaitIdle();
    EXPECT_EQ(done.load(), 2);

    // What a task captures is released before the task counts as finished: at exit nothing may
    // be left that only the thread pool's own bookkeeping points to.
    struct SlowToRelease {
        std::atomic<bool>* released = nullptr;
        ~SlowToRelease() {
            std::this_thread::sleep_for(20ms);
            *released = true;
        }
    };
    std::atomic<bool> released{false};
    auto held = std::make_shared<SlowToRelease>();
    held->released = &released;
    dispatchAsync(DispatchPriority::Low, [held = std::move(held)] {});
    dispatchWaitIdle();
    EXPECT_TRUE(released.load());
}

TEST(Dispatch, LoopInsideLongTaskDoesNotStealUnrelatedTasks) {
    // A thread waiting inside a parallel loop must not pick up a queued long task: the loop
    // would then finish only after the long task.
    std::atomic<bool> release{false}, loopFinishedBeforeRelease{false};
    dispatchAsync(DispatchPriority::Default, [&] {
        dispatchApply(64, [&](std::size_t i) {
            if (i == 0)
                for (int k = 0; k < 8; ++k)
                    dispatchAsync(DispatchPriority::Default, [&] {
                        const auto deadline = std::chrono::steady_clock::now() + 30s;
                        while (!release.load() && std::chrono::steady_clock::now() < deadline)
                            std::this_thread::sleep_for(1ms);
                    });
            std::this_thread::sleep_for(1ms);
        });
        loopFinishedBeforeRelease = !release.load();
        release = true;
    });
    dispatchWaitIdle();
    EXPECT_TRUE(loopFinishedBeforeRelease.load());
}

TEST(SerialQueue, RunsTasksOneAtATimeInOrder) {
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    {
        SerialQueue queue("preview");
        for (int i = 0; i < 50; ++i)
            queue.async([&, i] {
                if (running.fetch_add(1) != 0)
                    overlapped = true;
                order.push_back(i);
                std::this_thread::sleep_for(100us);
                running.fetch_sub(1);
            });
    }  // destruction runs what is queued
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(Dispatch, EveryThreadThatRunsWorkHasTheWorkerStack) {
    // Numerical libraries nest deep frames; oneTBB's own default (4 MiB) is not enough.
    std::mutex mutex;
    std::size_t smallest = SIZE_MAX;
    int threads = 0;
    auto record = [&] {
        pthread_attr_t attributes;
        std::size_t size = 0;
        pthread_getattr_np(pthread_self(), &attributes);
        pthread_attr_getstacksize(&attributes, &size);
        pthread_attr_destroy(&attributes);
        std::lock_guard<std::mutex> guard(mutex);
        smallest = std::min(smallest, size);
        ++threads;
    };
    for (DispatchPriority priority : {DispatchPriority::Default, DispatchPriority::High})
        for (int t = 0; t < 8; ++t)
            dispatchAsync(priority, [&, priority] {
                record();
                dispatchApply(16, [&](std::size_t) {
                    record();
                    std::this_thread::sleep_for(1ms);
                });
            });
    dispatchWaitIdle();
    dispatchApply(0, [&](std::size_t) { record(); });  // runs nothing
    SerialQueue("stack").async(record);
    WorkerThread(record).join();
    EXPECT_EQ(threads, 2 * 8 * 17 + 2);  // also: every index of every loop ran exactly once
    EXPECT_GE(smallest, kWorkerStackSize);
}

// The control-group memory left, on fake trees: each case lists the files of proc/ and sys/ it
// writes (path, content) and the bytes expected, worked out by hand from them.
TEST(MemoryLimits, ControlGroupAvailableMemoryOnFakeTrees) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;
        std::int64_t expected;
    };
    const std::string v2 = "sys/fs/cgroup/", v1 = "sys/fs/cgroup/memory/";
    const Case cases[] = {
        {"v2: limit less usage, inactive file cache counted free",
         {{"proc/self/cgroup", "0::/app\n"},
          {v2 + "app/memory.max", "1000\n"},
          {v2 + "app/memory.current", "400\n"},
          {v2 + "app/memory.stat", "active_file 7\ninactive_file 100\n"}},
         700},
        {"v2 nested: the tightest ancestor wins; max sets no limit",
         {{"proc/self/cgroup", "0::/user/session/app\n"},
          {v2 + "user/memory.max", "5000\n"},
          {v2 + "user/memory.current", "4950\n"},
          {v2 + "user/session/memory.max", "max\n"},
          {v2 + "user/session/app/memory.max", "3000\n"},
          {v2 + "user/session/app/memory.current", "1000\n"}},
         50},
        {"v2: max everywhere",
         {{"proc/self/cgroup", "0::/app\n"}, {v2 + "app/memory.max", "max\n"}},
         -1},
        {"v2: usage above the limit leaves nothing",
         {{"proc/self/cgroup", "0::/app\n"},
          {v2 + "app/memory.max", "100\n"},
          {v2 + "app/memory.current", "250\n"}},
         0},
        {"v1: the memory controller's line only; the near-2^63 root is no limit",
         {{"proc/self/cgroup", "5:cpu,cpuacct:/other\n4:memory:/grp\n"},
          {v1 + "memory.limit_in_bytes", "9223372036854771712\n"},
          {v1 + "memory.usage_in_bytes", "10\n"},
          {v1 + "grp/memory.limit_in_bytes", "2000\n"},
          {v1 + "grp/memory.usage_in_bytes", "900\n"},
          {v1 + "grp/memory.stat", "inactive_file 50\ntotal_inactive_file 300\n"},
          {"sys/fs/cgroup/other/memory.max", "1\n"}},
         1400},
        {"no cgroup file", {{v2 + "memory.max", "1\n"}}, -1},
        {"missing usage file", {{"proc/self/cgroup", "0::/\n"}, {v2 + "memory.max", "1000\n"}}, -1},
    };
    const std::filesystem::path base =
        std::filesystem::path(testing::TempDir()) / ("velkaro_cgroup_" + std::to_string(getpid()));
    int index = 0;
    for (const Case& c : cases) {
        const std::filesystem::path root = base / std::to_string(index++);
        for (const auto& [path, content] : c.files) {
            std::filesystem::create_directories((root / path).parent_path());
            std::ofstream(root / path) << content;
        }
        EXPECT_EQ(ControlGroupAvailableMemory(root.string()), c.expected) << c.name;
    }
    std::filesystem::remove_all(base);
}
