// The loopback ceiling: a plain sendfile server, for comparing the bridge with the least work a
// server can do. Serves one file to every connection, after reading the request head.
// Usage: bench_ceiling FILE  (prints its port, then serves until killed)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string path = argv[1];
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 64) != 0)
    return 1;
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::printf("%d\n", ntohs(addr.sin_port));
  std::fflush(stdout);
  for (;;) {
    int c = accept(listener, nullptr, nullptr);
    if (c < 0) continue;
    std::thread([c, path] {
      char buf[4096];
      std::string head;
      while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = read(c, buf, sizeof buf);
        if (n <= 0) break;
        head.append(buf, static_cast<size_t>(n));
      }
      int fd = open(path.c_str(), O_RDONLY);
      struct stat st;
      fstat(fd, &st);
      std::string h =
          "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(st.st_size) + "\r\n\r\n";
      (void)!write(c, h.data(), h.size());
      off_t off = 0;
      while (off < st.st_size)
        if (sendfile(c, fd, &off, static_cast<size_t>(st.st_size - off)) <= 0) break;
      close(fd);
      close(c);
    }).detach();
  }
}
