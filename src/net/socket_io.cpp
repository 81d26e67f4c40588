#include "socket_io.hpp"

#include "file.hpp"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif
#if defined(__linux__)
#include <sys/sendfile.h>
#endif

namespace tavro::net {

#ifdef _WIN32
namespace {
SOCKET raw(native_socket s) { return static_cast<SOCKET>(s); }
bool again() { return WSAGetLastError() == WSAEWOULDBLOCK; }
int clamp(size_t n) { return static_cast<int>(n > (1u << 30) ? (1u << 30) : n); }
}  // namespace

bool set_non_blocking(native_socket s) {
  u_long on = 1;
  return ioctlsocket(raw(s), FIONBIO, &on) == 0;
}

Accepted accept_socket(native_socket listener, native_socket& out) {
  SOCKET s = ::accept(raw(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK || e == WSAECONNRESET || e == WSAEINTR) return Accepted::WouldBlock;
    return e == WSAEMFILE || e == WSAENOBUFS ? Accepted::NoResources : Accepted::Failed;
  }
  out = static_cast<native_socket>(s);
  if (!set_non_blocking(out)) {
    ::closesocket(s);
    return Accepted::Failed;
  }
  return Accepted::Yes;
}

Ready wait_socket(native_socket s, bool for_write, int timeout_ms) {
  WSAPOLLFD p{};
  p.fd = raw(s);
  p.events = for_write ? POLLWRNORM : POLLRDNORM;
  int r = WSAPoll(&p, 1, timeout_ms);
  if (r < 0) return Ready::Failed;
  return r == 0 ? Ready::TimedOut : Ready::Yes;
}

long recv_some(native_socket s, char* buf, size_t n) {
  int r = ::recv(raw(s), buf, clamp(n), 0);
  return r >= 0 ? r : again() ? kWouldBlock : kFailed;
}

long send_some(native_socket s, const char* buf, size_t n) {
  int r = ::send(raw(s), buf, clamp(n), 0);
  return r >= 0 ? r : again() ? kWouldBlock : kFailed;
}

long send_file_some(native_socket, InFile&, size_t) { return kFailed; }

void shutdown_socket(native_socket s, bool both) { ::shutdown(raw(s), both ? SD_BOTH : SD_SEND); }
void close_socket(native_socket s) { ::closesocket(raw(s)); }
#else
namespace {
bool again() { return errno == EAGAIN || errno == EWOULDBLOCK; }
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a vanished peer is an error, not a signal
#else
constexpr int kSendFlags = 0;  // the connection's thread blocks SIGPIPE instead
#endif
}  // namespace

bool set_non_blocking(native_socket s) {
  int flags = ::fcntl(s, F_GETFL, 0);
  return flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}

Accepted accept_socket(native_socket listener, native_socket& out) {
  for (;;) {
#if defined(__linux__)
    int s = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    int s = ::accept(listener, nullptr, nullptr);
#endif
    if (s >= 0) {
      out = s;
#if !defined(__linux__)
      ::fcntl(s, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
      int on = 1;
      ::setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
      if (!set_non_blocking(s)) {
        ::close(s);
        return Accepted::Failed;
      }
#endif
      return Accepted::Yes;
    }
    if (errno == EINTR) continue;
    // A connection that was reset before it was taken: there may be others behind it.
    if (again() || errno == ECONNABORTED || errno == EPROTO) return Accepted::WouldBlock;
    const bool short_of = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
    return short_of ? Accepted::NoResources : Accepted::Failed;
  }
}

Ready wait_socket(native_socket s, bool for_write, int timeout_ms) {
  pollfd p{s, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
  int r = ::poll(&p, 1, timeout_ms);
  if (r < 0) return errno == EINTR ? Ready::TimedOut : Ready::Failed;
  return r == 0 ? Ready::TimedOut : Ready::Yes;
}

long recv_some(native_socket s, char* buf, size_t n) {
  for (;;) {
    ssize_t r = ::recv(s, buf, n, 0);
    if (r >= 0) return static_cast<long>(r);
    if (errno != EINTR) return again() ? kWouldBlock : kFailed;
  }
}

long send_some(native_socket s, const char* buf, size_t n) {
  for (;;) {
    ssize_t r = ::send(s, buf, n, kSendFlags);
    if (r >= 0) return static_cast<long>(r);
    if (errno != EINTR) return again() ? kWouldBlock : kFailed;
  }
}

long send_file_some(native_socket s, InFile& file, size_t n) {
#if defined(__linux__)
  for (;;) {
    ssize_t r = ::sendfile(s, file.descriptor(), nullptr, n);
    if (r >= 0) return static_cast<long>(r);
    if (errno != EINTR) return again() ? kWouldBlock : kFailed;
  }
#else
  (void)s, (void)file, (void)n;
  return kFailed;
#endif
}

void shutdown_socket(native_socket s, bool both) { ::shutdown(s, both ? SHUT_RDWR : SHUT_WR); }
void close_socket(native_socket s) { ::close(s); }
#endif

}  // namespace tavro::net
