#pragma once
// BackgroundWorker: one thread that runs one task at a time for its owner.
// The mirror lists a level's source on it while it lists the target itself,
// so that the two listings (each a status call per entry) overlap.
//
// `Start` hands over a task and returns at once; `Wait` returns when it has
// run. A task must not throw. The thread ends with the object.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace veldar {

class BackgroundWorker {
 public:
  BackgroundWorker();
  ~BackgroundWorker();
  BackgroundWorker(const BackgroundWorker&) = delete;
  BackgroundWorker& operator=(const BackgroundWorker&) = delete;

  // REQUIRES: no task is running (every Start is followed by a Wait).
  void Start(std::function<void()> task);
  void Wait();

 private:
  void Loop();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> task_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace veldar
