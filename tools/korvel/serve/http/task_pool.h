// A fixed set of threads that run tasks in the order given: the page's
// handlers, which may wait for the meter.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace korvel::cli::serve::http {

class TaskPool {
public:
    explicit TaskPool(int threads) {
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
    }
    ~TaskPool() { stop(); }
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    void run(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            tasks_.push_back(std::move(task));
        }
        changed_.notify_one();
    }

    // Lets the tasks begun finish, drops the rest.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            tasks_.clear();
        }
        changed_.notify_all();
        for (std::thread& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }

private:
    void work() {
        std::unique_lock lock(mutex_);
        while (true) {
            changed_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (stopping_) return;
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace korvel::cli::serve::http
