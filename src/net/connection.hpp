// One accepted connection, served on its own thread: read the request head (bounded in size and
// time), answer, close. Waits only on the connection's own non-blocking socket, with time-outs.
#pragma once

#include <memory>

#include "connections.hpp"
#include "protocol.hpp"

namespace tavro::net {

// Serves the connection in `slot` to its end, then takes it off `table` and closes its socket.
// Never throws.
void serve_connection(std::shared_ptr<Connections> table, std::shared_ptr<Connections::Slot> slot,
                      std::shared_ptr<const Job> job) noexcept;

}  // namespace tavro::net
