#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace velkaro {

// Thread-pool dispatch over oneTBB: three global concurrent queues (low, default and high
// priority), parallel loops, and serial queues. Every task and loop body runs on a pool thread or,
// for loops, also on the calling thread. The pool's threads and the serial queues' run at a lower
// OS priority (a higher nice value) than the threads that start them, the window's among them.

// Stack of every thread that runs numerical work: the pool's workers, the serial queues and
// `WorkerThread`. The libraries under the methods take far more than the 4 MiB oneTBB gives by
// default: OpenBLAS's threaded LU nests a frame of about half a megabyte per level (4.3 MiB seen
// at a Wiener FIR radius of 13).
constexpr std::size_t kWorkerStackSize = std::size_t(16) << 20;

// Idle workers serve the higher queues first; the low one takes work that must never slow what
// the user waits for (the grid filling itself), on at most half the pool's threads.
enum class DispatchPriority { Low, Default, High };

// Runs `task` asynchronously on the global queue of the given priority.
void dispatchAsync(DispatchPriority priority, std::function<void()> task);

// Runs body(0) ... body(count - 1) in parallel and returns when all have finished. The loop is
// isolated: a thread that waits for its iterations never picks up an unrelated long task. It has
// no priority of its own: started from a queue's task, it runs in that task's arena, so what
// decides how urgent the work is stays with whoever queued it (the session).
void dispatchApply(std::size_t count, const std::function<void(std::size_t)>& body);

// Number of tasks submitted with dispatchAsync that have not finished yet.
int dispatchPendingTasks();

// Blocks until every task submitted with dispatchAsync so far has finished (tests, shutdown).
void dispatchWaitIdle();

// A thread of `kWorkerStackSize` running one function; the owner joins it before destruction.
class WorkerThread {
  public:
    explicit WorkerThread(std::function<void()> body);
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    void join();

  private:
    std::function<void()> mBody;
    pthread_t mHandle{};
    bool mJoined = false;
};

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
    WorkerThread mThread;
};

}  // namespace velkaro
