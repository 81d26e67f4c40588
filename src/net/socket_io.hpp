// The few socket calls a connection makes, one place for what differs between platforms
// (poll or WSAPoll, sendfile on Linux only). Every socket here is non-blocking: a connection
// waits only in wait_socket, whose time-out the caller chooses, so no peer can hold it longer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavro::net {

#ifdef _WIN32
using native_socket = std::uintptr_t;  // SOCKET
#else
using native_socket = int;
#endif

class InFile;

enum class Ready { Yes, TimedOut, Failed };
enum class Accepted { Yes, WouldBlock, NoResources, Failed };

// Results of one non-blocking transfer besides a count of bytes (recv: 0 is the peer's end).
constexpr long kWouldBlock = -1;
constexpr long kFailed = -2;

// Whether the kernel can send a file's bytes straight from the file (send_file_some).
#if defined(__linux__)
constexpr bool kZeroCopy = true;
#else
constexpr bool kZeroCopy = false;
#endif

bool set_non_blocking(native_socket s);
// Takes one waiting connection off non-blocking `listener` into `out`, non-blocking itself.
// NoResources: no descriptor or buffer memory to be had for now.
Accepted accept_socket(native_socket listener, native_socket& out);
// Waits up to `timeout_ms` until `s` can be read (or written, with `for_write`).
Ready wait_socket(native_socket s, bool for_write, int timeout_ms);
long recv_some(native_socket s, char* buf, size_t n);
long send_some(native_socket s, const char* buf, size_t n);
// Up to `n` bytes from the file's current position; 0 when the file has ended. kZeroCopy only.
long send_file_some(native_socket s, InFile& file, size_t n);
// Ends both directions (wakes a thread waiting on `s`) or only sending; `s` stays open.
void shutdown_socket(native_socket s, bool both);
void close_socket(native_socket s);

}  // namespace tavro::net
