// A one-shot event: set once, never cleared; waiters wake when it is set.
#pragma once

#include <condition_variable>
#include <mutex>

namespace tavro::net {

class Event {
 public:
  void set();
  bool is_set() const;
  // Waits up to `seconds` (negative: forever); true when the event is set.
  bool wait_for(double seconds);
  void wait() { wait_for(-1); }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

}  // namespace tavro::net
