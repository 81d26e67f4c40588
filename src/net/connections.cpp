#include "connections.hpp"

#include <algorithm>

namespace tavro::net {

std::int64_t steady_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Connections::Connections(size_t capacity, std::int64_t stall_ms, std::shared_ptr<Stats> stats)
    : capacity_(std::max<size_t>(capacity, 1)), stall_ms_(stall_ms), stats_(std::move(stats)) {
  slots_.reserve(capacity_);
}

bool Connections::make_room() {
  std::lock_guard lock(mutex_);
  return slots_.size() < capacity_ || evict_locked();
}

bool Connections::evict_one() {
  std::lock_guard lock(mutex_);
  return evict_locked();
}

bool Connections::evict_locked() {
  constexpr auto r = std::memory_order_relaxed;
  const std::int64_t now = steady_ms();
  auto victim = slots_.end();
  std::int64_t oldest = now;
  for (auto it = slots_.begin(); it != slots_.end(); ++it) {
    const Slot& s = **it;
    const Phase phase = s.phase.load(r);
    const std::int64_t since = s.since_ms.load(r);
    const bool stuck = phase == Phase::Head || phase == Phase::Closing ||
                       (phase == Phase::Sending && now - since >= stall_ms_);
    if (stuck && since <= oldest) {
      oldest = since;
      victim = it;
    }
  }
  if (victim == slots_.end()) return false;
  (*victim)->evicted.store(true, r);
  // Wakes its thread from its wait; the thread closes the socket after remove().
  shutdown_socket((*victim)->socket, true);
  slots_.erase(victim);
  stats_->connections.fetch_sub(1, r);
  stats_->evicted.fetch_add(1, r);
  return true;
}

std::shared_ptr<Connections::Slot> Connections::add(native_socket s) {
  auto slot = std::make_shared<Slot>(s);
  std::lock_guard lock(mutex_);
  slots_.push_back(slot);
  stats_->connections.fetch_add(1, std::memory_order_relaxed);
  return slot;
}

void Connections::remove(const Slot& slot) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(slots_.begin(), slots_.end(),
                         [&](const std::shared_ptr<Slot>& s) { return s.get() == &slot; });
  if (it == slots_.end()) return;  // already evicted
  slots_.erase(it);
  stats_->connections.fetch_sub(1, std::memory_order_relaxed);
}

size_t Connections::size() const {
  std::lock_guard lock(mutex_);
  return slots_.size();
}

}  // namespace tavro::net
