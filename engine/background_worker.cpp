#include "engine/background_worker.h"

#include <utility>

namespace veldar {

BackgroundWorker::BackgroundWorker() : thread_([this] { Loop(); }) {}

BackgroundWorker::~BackgroundWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundWorker::Start(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = std::move(task);
    busy_ = true;
  }
  changed_.notify_all();
}

void BackgroundWorker::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
}

void BackgroundWorker::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || task_; });
    if (!task_) return;  // stopping, nothing left to run
    std::function<void()> task = std::move(task_);
    task_ = nullptr;
    lock.unlock();
    task();
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace veldar
