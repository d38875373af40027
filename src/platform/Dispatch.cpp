#include "Dispatch.h"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_scheduler_observer.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>

#include "Check.h"
#include "Fatal.h"

namespace velkaro {

namespace {

// The nice value of the threads that compute: the window's thread (nice 0) is served first when
// the cores are busy, so that a zoom or a menu never waits behind a deblur.
constexpr int kWorkerNice = 10;

void LowerThisThreadsPriority() {
    // On Linux a nice value belongs to one thread: PRIO_PROCESS with a thread's id sets only it
    // (and the processes it starts, such as the FFT helper, inherit it).
    const auto thread = id_t(syscall(SYS_gettid));
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, thread);
    if (errno == 0 && now < kWorkerNice)
        setpriority(PRIO_PROCESS, thread, kWorkerNice);
}

// Lowers every oneTBB worker that enters the arena; a thread that is not one of oneTBB's (the
// caller of a parallel loop, perhaps the window's) keeps its priority.
class LowerWorkers : public tbb::task_scheduler_observer {
  public:
    explicit LowerWorkers(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) {
        observe(true);
    }
    LowerWorkers() { observe(true); }  // the arena of the thread that makes the pool
    ~LowerWorkers() override { observe(false); }
    void on_scheduler_entry(bool isWorker) override {
        if (isWorker)
            LowerThisThreadsPriority();
    }
};

struct Pool {
    // TBB starts (cores - 1) workers by default, counting the main thread as the last one. Our
    // main thread never serves the queues, and the global queues must run at least four tasks at
    // once even on two cores (three preview steps beside a full deblur), so allow that many.
    static int queueWidth() { return std::max(4, tbb::info::default_concurrency()); }
    // Applies only to workers that oneTBB has not started yet: see `gPoolAtStart`.
    tbb::global_control stackSize{tbb::global_control::thread_stack_size, kWorkerStackSize};
    tbb::global_control parallelism{tbb::global_control::max_allowed_parallelism,
                                    std::size_t(queueWidth() + 1)};
    tbb::task_arena defaultArena{queueWidth(), 0, tbb::task_arena::priority::normal};
    tbb::task_arena highArena{queueWidth(), 0, tbb::task_arena::priority::high};
    // Half the width: low-priority work, however long, always leaves threads for the rest.
    tbb::task_arena lowArena{std::max(1, queueWidth() / 2), 0, tbb::task_arena::priority::low};
    LowerWorkers lowerDefault{defaultArena}, lowerHigh{highArena}, lowerLow{lowArena}, lowerShared;
    std::atomic<int> pending{0};
    std::mutex idleMutex;
    std::condition_variable idle;
    // The tasks waiting for a thread, one queue per priority. The pool owns them, not oneTBB's
    // task objects: each of those only takes the next task from here, so a task and what it
    // captures are released before it counts as finished, and tasks still waiting when the
    // process exits are the pool's, not memory no one points to.
    std::mutex queuedMutex;
    std::deque<std::function<void()>> queued[3];
};

Pool& pool() {
    static Pool* p = new Pool;  // never destroyed: tasks may still run while statics unwind
    return *p;
}

// oneTBB fixes its workers' stack size when it first starts them, whoever asks first (OpenCV's
// parallel loops run on oneTBB too), so the pool is set up before main() runs.
[[maybe_unused]] const bool gPoolAtStart = (pool(), true);

}  // namespace

void dispatchAsync(DispatchPriority priority, std::function<void()> task) {
    VK_CHECK(task);
    Pool& p = pool();
    p.pending.fetch_add(1);
    tbb::task_arena& arena = priority == DispatchPriority::High  ? p.highArena
                             : priority == DispatchPriority::Low ? p.lowArena
                                                                 : p.defaultArena;
    auto& queue = p.queued[int(priority)];
    {
        std::lock_guard<std::mutex> guard(p.queuedMutex);
        queue.push_back(std::move(task));
    }
    arena.enqueue([&p, &queue] {
        {
            std::function<void()> next;
            {
                std::lock_guard<std::mutex> guard(p.queuedMutex);
                next = std::move(queue.front());
                queue.pop_front();
            }
            next();
        }
        if (p.pending.fetch_sub(1) == 1) {
            std::lock_guard<std::mutex> guard(p.idleMutex);
            p.idle.notify_all();
        }
    });
}

void dispatchApply(std::size_t count, const std::function<void(std::size_t)>& body) {
    pool();
    if (count == 0)
        return;
    if (count == 1) {
        body(0);
        return;
    }
    // Every iteration releases what it wrote and the caller acquires it after the loop. oneTBB
    // orders the two already, but inside its library, where ThreadSanitizer cannot see it.
    std::atomic<std::size_t> finished{0};
    tbb::this_task_arena::isolate([&] {
        tbb::parallel_for(std::size_t(0), count, [&](std::size_t i) {
            body(i);
            finished.fetch_add(1, std::memory_order_release);
        });
    });
    VK_CHECK(finished.load(std::memory_order_acquire) == count);
}

int dispatchPendingTasks() {
    return pool().pending.load();
}

void dispatchWaitIdle() {
    Pool& p = pool();
    std::unique_lock<std::mutex> guard(p.idleMutex);
    p.idle.wait(guard, [&] { return p.pending.load() == 0; });
}

WorkerThread::WorkerThread(std::function<void()> body) : mBody(std::move(body)) {
    VK_CHECK(mBody);
    pthread_attr_t attributes;
    VK_CHECK(pthread_attr_init(&attributes) == 0);
    VK_CHECK(pthread_attr_setstacksize(&attributes, kWorkerStackSize) == 0);
    pthread_t handle;
    const int error = pthread_create(
        &handle, &attributes,
        [](void* self) -> void* {
            static_cast<WorkerThread*>(self)->mBody();
            return nullptr;
        },
        this);
    pthread_attr_destroy(&attributes);
    if (error != 0)
        FatalError("cannot start a thread: %s", std::strerror(error));
    mHandle = handle;
}

WorkerThread::~WorkerThread() {
    VK_CHECK(mJoined);
}

void WorkerThread::join() {
    VK_CHECK(!mJoined);
    pthread_join(mHandle, nullptr);
    mJoined = true;
}

SerialQueue::SerialQueue(std::string name) : mName(std::move(name)), mThread([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard<std::mutex> guard(mMutex);
        mQuit = true;
    }
    mWake.notify_one();
    mThread.join();
}

void SerialQueue::async(std::function<void()> task) {
    VK_CHECK(task);
    {
        std::lock_guard<std::mutex> guard(mMutex);
        mTasks.push_back(std::move(task));
    }
    mWake.notify_one();
}

void SerialQueue::run() {
    LowerThisThreadsPriority();  // its tasks compute (the blur estimate) or hand out work
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> guard(mMutex);
            mWake.wait(guard, [this] { return mQuit || !mTasks.empty(); });
            if (mTasks.empty())
                return;  // quitting with nothing left to do
            task = std::move(mTasks.front());
            mTasks.pop_front();
        }
        task();
    }
}

}  // namespace velkaro
