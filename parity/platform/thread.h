// Threads for the case runner: start a named thread with an error code
// instead of an exception, and ask how many processors this process may use.

#ifndef PARITY_PLATFORM_THREAD_H_
#define PARITY_PLATFORM_THREAD_H_

#include <cstddef>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace parity::platform {

// A started thread. Move-only; the destructor joins a thread that has not
// been joined yet, so a Thread never outlives what its body refers to.
class Thread {
 public:
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread();

  // Waits for the body to return. Does nothing when already joined.
  void join();

  struct Handle;  // opaque: the thread's id, name and body

 private:
  friend std::expected<Thread, int> spawn_thread(std::string name,
                                                 std::function<void()> body);
  explicit Thread(Handle* handle) : handle_(handle) {}

  Handle* handle_ = nullptr;
};

// Starts `body` on a new thread whose name is `name` (at most 15 bytes, the
// limit Linux keeps). `body` must not throw. On failure returns the errno
// value, EAGAIN when the system cannot start another thread for now.
std::expected<Thread, int> spawn_thread(std::string name,
                                        std::function<void()> body);

// The name the system holds for the calling thread.
std::string current_thread_name();

// The number of processors this process may run on, or nothing when the
// system does not say.
std::optional<std::size_t> available_processors();

}  // namespace parity::platform

#endif  // PARITY_PLATFORM_THREAD_H_
