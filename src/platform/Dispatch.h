#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Thread-pool dispatch over oneTBB: two global concurrent queues (default and high priority),
// parallel loops, and serial queues. Every task and loop body runs on a pool thread or, for loops,
// also on the calling thread.

enum class DispatchPriority { Default, High };

// Runs `task` asynchronously on the global queue of the given priority.
void dispatchAsync(DispatchPriority priority, std::function<void()> task);

// Runs body(0) ... body(count - 1) in parallel and returns when all have finished. The loop is
// isolated: a thread that waits for its iterations never picks up an unrelated long task.
// `priority` names the queue whose threads serve the loop when it is started from one of them;
// from any other thread the loop runs on the shared pool.
void dispatchApply(std::size_t count, DispatchPriority priority,
                   const std::function<void(std::size_t)>& body);

// Number of tasks submitted with dispatchAsync that have not finished yet.
int dispatchPendingTasks();

// Blocks until every task submitted with dispatchAsync so far has finished (tests, shutdown).
void dispatchWaitIdle();

// A first-in, first-out queue served by one thread of its own. Destruction runs what is still
// queued, then joins the thread.
class SerialQueue {
public:
    explicit SerialQueue(std::string name);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> task);
    const std::string& name() const { return mName; }

private:
    void run();

    std::string mName;
    std::mutex mMutex;
    std::condition_variable mWake;
    std::deque<std::function<void()>> mTasks;
    bool mQuit = false;
    std::thread mThread;
};
