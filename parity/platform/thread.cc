#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cassert>
#include <utility>

namespace parity::platform {

struct Thread::Handle {
  pthread_t id{};
  std::string name;
  std::function<void()> body;
};

namespace {

extern "C" void* thread_main(void* arg) {
  auto* handle = static_cast<Thread::Handle*>(arg);
  // The name fits the kernel's limit (the caller keeps it at 15 bytes), so
  // naming the calling thread cannot fail.
  [[maybe_unused]] int rc =
      pthread_setname_np(pthread_self(), handle->name.c_str());
  assert(rc == 0);
  handle->body();
  return nullptr;
}

}  // namespace

Thread::Thread(Thread&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    join();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

Thread::~Thread() { join(); }

void Thread::join() {
  if (handle_ == nullptr) return;
  // pthread_join fails only for a thread that is not joinable, which a
  // Handle never holds.
  [[maybe_unused]] int rc = pthread_join(handle_->id, nullptr);
  assert(rc == 0);
  delete std::exchange(handle_, nullptr);
}

std::expected<Thread, int> spawn_thread(std::string name,
                                        std::function<void()> body) {
  auto* handle = new Thread::Handle{{}, std::move(name), std::move(body)};
  int rc = pthread_create(&handle->id, nullptr, thread_main, handle);
  if (rc != 0) {
    delete handle;
    return std::unexpected(rc);
  }
  return Thread(handle);
}

std::string current_thread_name() {
  char name[16] = {};
  // 16 bytes hold any name the kernel keeps, so this cannot fail.
  [[maybe_unused]] int rc =
      pthread_getname_np(pthread_self(), name, sizeof name);
  assert(rc == 0);
  return name;
}

std::optional<std::size_t> available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online > 0) return static_cast<std::size_t>(online);
  return std::nullopt;
}

}  // namespace parity::platform
