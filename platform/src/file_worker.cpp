// Background file I/O threads. Up to kMaxThreads threads, started as work comes, take jobs
// from one queue under one lock. One thread a lane: a lane's handle has one job in flight at
// a time, so more threads would only wait; a job started as a handle closes (its lane
// already given to the next handle while its last job ends) waits its turn in the queue. A
// thread idle for kIdleEnd ends itself, so a process that is done transferring keeps none;
// its end is collected by the next start or at unload. A job is one write(2) of a whole
// buffer or one pread(2); the lock is held only to queue, take and finish jobs, never across
// the system call.
#include "file_worker.h"

#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "file_internal.h"

namespace lumox_files {

namespace {

enum Kind { kWrite = 1, kRead = 2 };
enum Phase { kIdle, kQueued, kRunning, kDone };

const size_t kMaxThreads = kBackgroundLanes;
const auto kIdleEnd = std::chrono::milliseconds(500);
// The threads only copy between a buffer and the kernel; a small stack keeps them cheap. Sanitizer
// runtimes need the default.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const size_t kStackBytes = 0;
#else
const size_t kStackBytes = size_t{128} * 1024;
#endif

}  // namespace

struct JobState {
  int kind = 0;
  int fd = -1;
  char *data = nullptr;
  size_t size = 0;
  uint64_t offset = 0;
  std::atomic<int> phase{kIdle};
  BackgroundJob::Outcome outcome;
  std::condition_variable finished;
  JobState *next = nullptr;                     // in the queue
  JobState *older = nullptr, *newer = nullptr;  // in the list of all jobs
};

namespace {

struct Pool {
  std::condition_variable work;
  JobState *head = nullptr;
  JobState *tail = nullptr;
  std::vector<pthread_t> threads;
  std::vector<pthread_t> ended;  // threads that ended themselves, to be joined
  size_t idle = 0;
  bool stopping = false;
};

// The lock of everything here. std::mutex needs no destructor, so it outlives any order in
// which the library's statics go away; the pool itself is made at first use.
std::mutex g_mutex;
Pool *g_pool = nullptr;
JobState *g_allJobs = nullptr;  // newest first; the fork handler reaches every job through it
bool g_stopped = false;         // the library is going away: no new threads

void Run(JobState &job, BackgroundJob::Outcome &out) {
  if (job.kind == kWrite) {
    size_t done = 0;
    out.error = WriteAll(job.fd, job.data, job.size, done);
    out.bytes = out.error ? -1 : static_cast<ssize_t>(done);
    return;
  }
  for (;;) {
    ssize_t n = pread(job.fd, job.data, job.size, static_cast<off_t>(job.offset));
    if (n < 0 && errno == EINTR) continue;
    out.bytes = n;
    out.error = n < 0 ? errno : 0;
    return;
  }
}

void *WorkerMain(void *) {
  std::unique_lock<std::mutex> lock(g_mutex);
  Pool *pool = g_pool;
  for (;;) {
    bool waited = false;
    while (!pool->head && !pool->stopping && !waited) {
      ++pool->idle;
      waited = pool->work.wait_for(lock, kIdleEnd) == std::cv_status::timeout;
      --pool->idle;
    }
    if (!pool->head) {  // stopping, or idle too long: the queue is empty
      if (!pool->stopping) {
        pthread_t self = pthread_self();
        for (size_t i = 0; i < pool->threads.size(); ++i) {
          if (pthread_equal(pool->threads[i], self)) {
            pool->threads.erase(pool->threads.begin() + static_cast<std::ptrdiff_t>(i));
            break;
          }
        }
        pool->ended.push_back(self);
      }
      break;
    }
    JobState *job = pool->head;
    pool->head = job->next;
    if (!pool->head) pool->tail = nullptr;
    job->next = nullptr;
    job->phase.store(kRunning, std::memory_order_relaxed);
    lock.unlock();
    BackgroundJob::Outcome out;
    Run(*job, out);
    lock.lock();
    // A fork in between leaves the job to the parent; in this process nothing waits for it.
    if (job->phase.load(std::memory_order_relaxed) == kRunning) {
      job->outcome = out;
      job->phase.store(kDone, std::memory_order_release);
      job->finished.notify_all();
    }
  }
  return nullptr;
}

// Starts one more thread (lock held); false when none could be started.
bool AddThread(Pool &pool) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  if (kStackBytes) pthread_attr_setstacksize(&attr, kStackBytes);
  pthread_t id;
  int rc = pthread_create(&id, &attr, WorkerMain, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) return false;
  pool.threads.push_back(id);
  return true;
}

}  // namespace

BackgroundJob::~BackgroundJob() {
  if (!state_) return;
  if (pending_) Finish();
  std::lock_guard<std::mutex> lock(g_mutex);
  if (state_->older) state_->older->newer = state_->newer;
  if (state_->newer)
    state_->newer->older = state_->older;
  else
    g_allJobs = state_->older;
  delete state_;
}

bool BackgroundJob::StartWrite(int fd, const char *data, size_t size) {
  return Start(kWrite, fd, const_cast<char *>(data), size, 0);
}

bool BackgroundJob::StartRead(int fd, char *data, size_t size, uint64_t offset) {
  return Start(kRead, fd, data, size, offset);
}

bool BackgroundJob::Start(int kind, int fd, char *data, size_t size, uint64_t offset) {
  if (pending_) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_pool) {
    if (g_stopped) return false;
    g_pool = new (std::nothrow) Pool;
    if (!g_pool) return false;
  }
  Pool &pool = *g_pool;
  if (pool.stopping) return false;
  for (pthread_t id : pool.ended) pthread_join(id, nullptr);  // over, or ending now
  pool.ended.clear();
  if (pool.idle == 0 && pool.threads.size() < kMaxThreads && !AddThread(pool) &&
      pool.threads.empty())
    return false;
  if (!state_) {
    state_ = new (std::nothrow) JobState;
    if (!state_) return false;
    state_->older = g_allJobs;
    if (g_allJobs) g_allJobs->newer = state_;
    g_allJobs = state_;
  }
  JobState &job = *state_;
  job.kind = kind;
  job.fd = fd;
  job.data = data;
  job.size = size;
  job.offset = offset;
  job.outcome = Outcome();
  job.phase.store(kQueued, std::memory_order_relaxed);
  if (pool.tail)
    pool.tail->next = &job;
  else
    pool.head = &job;
  pool.tail = &job;
  pool.work.notify_one();
  pending_ = true;
  return true;
}

bool BackgroundJob::done() const {
  return pending_ && state_->phase.load(std::memory_order_acquire) == kDone;
}

BackgroundJob::Outcome BackgroundJob::Finish() {
  if (!pending_) return Outcome();
  std::unique_lock<std::mutex> lock(g_mutex);
  while (state_->phase.load(std::memory_order_relaxed) != kDone) state_->finished.wait(lock);
  state_->phase.store(kIdle, std::memory_order_relaxed);
  pending_ = false;
  return state_->outcome;
}

void WorkersBeforeFork() { g_mutex.lock(); }

void WorkersAfterForkParent() { g_mutex.unlock(); }

void WorkersAfterForkChild() {
  // The threads did not come along. Whatever they were doing or were to do is the
  // parent's; waits on it end at once. The condition variables may count waiters of the
  // parent, so they start afresh.
  for (JobState *job = g_allJobs; job; job = job->older) {
    new (&job->finished) std::condition_variable;
    job->next = nullptr;
    int phase = job->phase.load(std::memory_order_relaxed);
    if (phase == kQueued || phase == kRunning) {
      job->outcome = BackgroundJob::Outcome();
      job->outcome.abandoned = true;
      job->phase.store(kDone, std::memory_order_relaxed);
    }
  }
  if (g_pool) {
    new (&g_pool->work) std::condition_variable;
    g_pool->head = g_pool->tail = nullptr;
    g_pool->threads.clear();
    g_pool->ended.clear();
    g_pool->idle = 0;
  }
  g_mutex.unlock();
}

void StopWorkers() {
  std::vector<pthread_t> threads;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_stopped = true;
    if (!g_pool) return;
    g_pool->stopping = true;
    g_pool->work.notify_all();
    threads.swap(g_pool->threads);
    threads.insert(threads.end(), g_pool->ended.begin(), g_pool->ended.end());
    g_pool->ended.clear();
  }
  for (pthread_t id : threads) pthread_join(id, nullptr);
  std::lock_guard<std::mutex> lock(g_mutex);
  delete g_pool;
  g_pool = nullptr;
}

}  // namespace lumox_files
