// Allocation functions private to each module on macOS.
//
// libc++ as zig builds it defines operator new and delete weak and visible, and zig's Mach-O
// linker takes no export list, so without these every module would export them, and dyld would
// bind them across images to whichever loaded first. These strong definitions win over the
// weak ones at link time and are hidden by -fvisibility-global-new-delete=force-hidden
// (cmake/cross/zig.cmake).
#include <cstdlib>
#include <new>

namespace {

// Repeats the standard allocation loop: try, else call the new-handler, else throw.
template <typename Try>
void* allocate_or_throw(Try attempt) {
  for (;;) {
    if (void* p = attempt()) return p;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* allocate(std::size_t size) {
  return allocate_or_throw([size] { return std::malloc(size == 0 ? 1 : size); });
}

void* allocate(std::size_t size, std::align_val_t alignment) {
  std::size_t align = static_cast<std::size_t>(alignment);
  if (align < sizeof(void*)) align = sizeof(void*);
  return allocate_or_throw([size, align] {
    void* p = nullptr;
    return ::posix_memalign(&p, align, size == 0 ? 1 : size) == 0 ? p : nullptr;
  });
}

template <typename... Args>
void* allocate_nothrow(Args... args) noexcept {
  try {
    return allocate(args...);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate(n, a); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate_nothrow(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate_nothrow(n); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_nothrow(n, a);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_nothrow(n, a);
}

// posix_memalign's memory is released with free, like malloc's.
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

// libc++abi allocates every thrown exception with aligned_alloc, which libSystem has only from
// macOS 10.15: on 10.13 and 10.14 the first throw would end the host. This module-private one
// is built on posix_memalign, which macOS has had since 10.6.
extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) {
  void* p = nullptr;
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  return ::posix_memalign(&p, alignment, size == 0 ? 1 : size) == 0 ? p : nullptr;
}
