#include "event.hpp"

#include <chrono>

namespace tavro::net {

void Event::set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

bool Event::is_set() const {
  std::lock_guard lock(mutex_);
  return set_;
}

bool Event::wait_for(double seconds) {
  std::unique_lock lock(mutex_);
  if (seconds != seconds) seconds = 0;  // NaN: do not wait
  if (seconds < 0) {
    changed_.wait(lock, [this] { return set_; });
    return true;
  }
  // Very long timeouts are capped so the deadline arithmetic cannot overflow.
  if (seconds > 1e9) seconds = 1e9;
  auto span = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
  return changed_.wait_for(lock, span, [this] { return set_; });
}

}  // namespace tavro::net
