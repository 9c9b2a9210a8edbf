// A strong reference read and replaced as one step from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

template <typename T>
class AtomicProperty {
 public:
  std::shared_ptr<T> get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void set(std::shared_ptr<T> value) {
    std::shared_ptr<T> old;
    {
      std::lock_guard lock(mutex_);
      old = std::exchange(value_, std::move(value));
    }
    // The old value is released outside the lock.
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<T> value_;
};
