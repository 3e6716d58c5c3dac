// Files mapped into Data: the mapping, the lease that keeps the file as it was while it is mapped,
// and the keeper that steps in when a writer breaks a lease.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/foundation/Data.h"

namespace platform {

namespace {

// The kernel tells of a broken lease with this signal. A real-time one carries the descriptor, and
// leaves SIGIO to whoever else uses it.
int leaseSignal() {
  return SIGRTMIN + 1;
}

// One mapped file and its lease.
struct Lease {
  std::mutex mutex;
  int fd = -1;  // holds the lease; -1 once it is given back
  void* address = nullptr;
  size_t length = 0;  // of the mapping: whole pages
  size_t size = 0;    // of the file

  // A writer waits on the lease: a private copy of the bytes takes the mapping's place, in one
  // step so that no reader ever finds the range unmapped, and the lease goes. Without memory for
  // the copy the lease stays, and the writer waits until the Data goes or the kernel's time is up.
  void detach() {
    const std::lock_guard lock(mutex);
    if (fd < 0) return;
    void* copy = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (copy == MAP_FAILED) return;
    std::memcpy(copy, address, size);
    if (mremap(copy, length, length, MREMAP_MAYMOVE | MREMAP_FIXED, address) == MAP_FAILED) {
      munmap(copy, length);
      return;
    }
    close(std::exchange(fd, -1));
  }

  // A break that came before the keeper knew of the lease.
  void detachIfBroken() {
    const bool broken = [&] {
      const std::lock_guard lock(mutex);
      return fd >= 0 && fcntl(fd, F_GETLEASE) == F_UNLCK;
    }();
    if (broken) detach();
  }

  void release() {
    const std::lock_guard lock(mutex);
    munmap(address, length);
    if (fd >= 0) close(std::exchange(fd, -1));
  }
};

// Hears of broken leases and detaches their mappings, on a thread of its own: the signal handler
// only passes the descriptor on through a pipe.
class LeaseKeeper {
 public:
  // nullptr when no keeper can run; it lives as long as the process.
  static LeaseKeeper* shared() {
    static LeaseKeeper* keeper = [] {
      auto* started = new LeaseKeeper;
      if (started->start()) return started;
      delete started;
      return static_cast<LeaseKeeper*>(nullptr);
    }();
    return keeper;
  }

  void keep(const std::shared_ptr<Lease>& lease) {
    const std::lock_guard lock(mutex_);
    leases_[lease->fd] = lease;
  }

  void forget(const Lease& lease, int fd) {
    const std::lock_guard lock(mutex_);
    const auto found = leases_.find(fd);
    if (found != leases_.end() && found->second.lock().get() == &lease) leases_.erase(found);
  }

 private:
  bool start() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    brokenLeases = ends[1];
    struct sigaction action {};
    action.sa_sigaction = onBreak;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(leaseSignal(), &action, nullptr) != 0) return false;
    try {
      std::thread([this, read = ends[0]] { run(read); }).detach();
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

  static void onBreak(int, siginfo_t* info, void*) {
    const int saved = errno;
    (void)!write(brokenLeases, &info->si_fd, sizeof info->si_fd);
    errno = saved;
  }

  [[noreturn]] void run(int broken) {
    while (true) {
      int fd;
      if (read(broken, &fd, sizeof fd) != sizeof fd) continue;
      std::shared_ptr<Lease> lease;
      {
        const std::lock_guard lock(mutex_);
        const auto found = leases_.find(fd);
        if (found == leases_.end()) continue;
        lease = found->second.lock();
        leases_.erase(found);
      }
      if (lease) lease->detach();
    }
  }

  static inline int brokenLeases = -1;
  std::mutex mutex_;
  std::map<int, std::weak_ptr<Lease>> leases_;
};

}  // namespace

std::optional<Data> Data::withMappedFile(int fd) {
  LeaseKeeper* keeper = LeaseKeeper::shared();
  if (!keeper) return std::nullopt;
  auto lease = std::make_shared<Lease>();
  lease->fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (lease->fd < 0) return std::nullopt;
  // The lease first: while it holds, the size read after it stays what it is.
  struct stat st {};
  if (fcntl(lease->fd, F_SETSIG, leaseSignal()) != 0 ||
      fcntl(lease->fd, F_SETLEASE, F_RDLCK) != 0 || fstat(lease->fd, &st) != 0 ||
      static_cast<size_t>(st.st_size) < LargeBytes) {
    close(lease->fd);
    return std::nullopt;
  }
  lease->size = static_cast<size_t>(st.st_size);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  lease->length = (lease->size + page - 1) / page * page;
  lease->address = mmap(nullptr, lease->length, PROT_READ, MAP_PRIVATE, lease->fd, 0);
  if (lease->address == MAP_FAILED) {
    close(lease->fd);
    return std::nullopt;
  }
  keeper->keep(lease);
  lease->detachIfBroken();
  return withStorage(static_cast<std::uint8_t*>(lease->address), lease->size,
                     [keeper, lease, fd = lease->fd] {
                       keeper->forget(*lease, fd);
                       lease->release();
                     });
}

}  // namespace platform
