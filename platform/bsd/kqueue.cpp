#include "platform/bsd/kqueue.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace {

// What NOTE_WRITE on a folder means: its list of entries changed.
constexpr uint32_t kFolderChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t kFolderNotes = NOTE_WRITE | NOTE_CLOSE_WRITE;

// Timeouts beyond this are waits without end; it keeps the deadline arithmetic from overflowing.
constexpr time_t kForeverSeconds = 100L * 365 * 24 * 3600;

using Key = std::pair<int16_t, uintptr_t>;  // (filter, ident)

struct Registration {
  // As delivered: for folders, fflags holds the notes that fired; for signals, data counts the
  // deliveries since the last one.
  struct kevent event {};
  uint32_t notes = 0;  // the notes asked for
  int watch = -1;
  bool queued = false;
};

int fail(int error) {
  errno = error;
  return -1;
}

class Queue {
 public:
  explicit Queue(int epoll) : epoll_(epoll) { sigemptyset(&signalMask_); }
  ~Queue() {
    if (inotify_ != -1) close(inotify_);
    if (signals_ != -1) close(signals_);
  }
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  // Gives 0 or the errno value BSD reports for the change.
  int apply(const struct kevent& change) {
    std::lock_guard lock(mutex_);
    if ((change.flags & EV_ADD) == 0 || (change.flags & ~(EV_ADD | EV_CLEAR)) != 0) return EINVAL;
    switch (change.filter) {
      case EVFILT_VNODE:
        return addFolder(change);
      case EVFILT_SIGNAL:
        return addSignal(change);
      default:
        return EINVAL;
    }
  }

  // The mutex is released around epoll_wait so that another thread can register meanwhile.
  int wait(struct kevent* out, int max, const struct timespec* timeout) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (timeout && timeout->tv_sec < kForeverSeconds)
      deadline = Clock::now() + std::chrono::seconds(timeout->tv_sec) +
                 std::chrono::nanoseconds(timeout->tv_nsec);
    while (true) {
      {
        std::lock_guard lock(mutex_);
        if (int count = collect(out, max)) return count;
      }
      int milliseconds = -1;
      if (deadline) {
        const auto left = *deadline - Clock::now();
        if (left <= Clock::duration::zero()) return 0;
        // Rounded up, so that a wait never ends before its deadline.
        const auto rounded = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        milliseconds = rounded > INT_MAX ? INT_MAX : static_cast<int>(rounded);
      }
      epoll_event ready[2];
      // Woken for helper data that matches nothing, or by EINTR: look again, as BSD restarts.
      if (epoll_wait(epoll_, ready, 2, milliseconds) == -1 && errno != EINTR) return -1;
    }
  }

 private:
  int addFolder(const struct kevent& change) {
    if ((change.fflags & ~kFolderNotes) != 0) return EINVAL;
    if (change.ident > INT_MAX || fcntl(static_cast<int>(change.ident), F_GETFD) == -1)
      return EBADF;
    if (inotify_ == -1) {
      const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (fd == -1) return errno;
      if (int error = pollHelper(fd)) return error;
      inotify_ = fd;
    }
    // Through /proc the watch follows the descriptor's folder, wherever it is renamed to.
    const std::string path = "/proc/self/fd/" + std::to_string(change.ident);
    const int watch =
        inotify_add_watch(inotify_, path.c_str(), kFolderChanges | IN_CLOSE_WRITE | IN_ONLYDIR);
    if (watch == -1) return errno;
    store(change).watch = watch;
    return 0;
  }

  int addSignal(const struct kevent& change) {
    sigset_t mask = signalMask_;
    if (change.ident >= NSIG || sigaddset(&mask, static_cast<int>(change.ident)) != 0)
      return EINVAL;
    const Key key{EVFILT_SIGNAL, change.ident};
    if (!registrations_.contains(key)) {
      const int fd = signalfd(signals_, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
      if (fd == -1) return errno;
      if (signals_ == -1) {
        if (int error = pollHelper(fd)) return error;
        signals_ = fd;
      }
      signalMask_ = mask;
      // Read while the signal has no registration yet: earlier deliveries are thrown away, those
      // of signals already registered are counted.
      readSignals();
    }
    // A signal registration always clears on delivery, as on BSD.
    store(change).event.flags |= EV_CLEAR;
    return 0;
  }

  // Closes the helper when the epoll set refuses it.
  int pollHelper(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0) return 0;
    const int error = errno;
    close(fd);
    return error;
  }

  Registration& store(const struct kevent& change) {
    Registration& registration = registrations_[Key{change.filter, change.ident}];
    registration.event.ident = change.ident;
    registration.event.filter = change.filter;
    registration.event.flags = change.flags & ~EV_ADD;
    registration.event.fflags = 0;
    registration.notes = change.fflags;
    registration.event.udata = change.udata;
    return registration;
  }

  void activate(const Key& key, Registration& registration) {
    if (registration.queued) return;
    registration.queued = true;
    ready_.push_back(key);
  }

  // A null watch marks every folder: the kernel dropped events, so any of them may have changed.
  void markFolders(std::optional<int> watch, uint32_t fired) {
    for (auto& [key, registration] : registrations_) {
      const uint32_t notes = fired & registration.notes;
      if (key.first != EVFILT_VNODE || !notes || (watch && registration.watch != *watch)) continue;
      registration.event.fflags |= notes;
      activate(key, registration);
    }
  }

  void readFolderChanges() {
    if (inotify_ == -1) return;
    alignas(inotify_event) char buffer[64 * 1024];
    ssize_t length;
    while ((length = read(inotify_, buffer, sizeof buffer)) > 0) {
      for (const char* p = buffer; p < buffer + length;) {
        const auto* change = reinterpret_cast<const inotify_event*>(p);
        if (change->mask & IN_Q_OVERFLOW)
          markFolders(std::nullopt, kFolderNotes);
        else
          markFolders(change->wd, (change->mask & kFolderChanges ? NOTE_WRITE : 0) |
                                      (change->mask & IN_CLOSE_WRITE ? NOTE_CLOSE_WRITE : 0));
        p += sizeof(inotify_event) + change->len;
      }
    }
  }

  void readSignals() {
    if (signals_ == -1) return;
    signalfd_siginfo deliveries[16];
    ssize_t length;
    while ((length = read(signals_, deliveries, sizeof deliveries)) > 0) {
      for (size_t i = 0; i < static_cast<size_t>(length) / sizeof deliveries[0]; ++i) {
        auto found = registrations_.find(Key{EVFILT_SIGNAL, deliveries[i].ssi_signo});
        if (found == registrations_.end()) continue;
        ++found->second.event.data;
        activate(found->first, found->second);
      }
    }
  }

  // Each ready registration is looked at once per call; a level one goes back to the end of the
  // line so that it cannot starve the others when the event list is short.
  int collect(struct kevent* out, int max) {
    readFolderChanges();
    readSignals();
    int count = 0;
    for (size_t waiting = ready_.size(); waiting > 0 && count < max; --waiting) {
      const Key key = ready_.front();
      ready_.pop_front();
      Registration& registration = registrations_.at(key);
      out[count++] = registration.event;
      if (registration.event.flags & EV_CLEAR) {
        registration.queued = false;
        registration.event.data = 0;
        registration.event.fflags = 0;
      } else {
        ready_.push_back(key);
      }
    }
    return count;
  }

  std::mutex mutex_;  // guards everything below but epoll_; never held while blocked in epoll_wait
  const int epoll_;
  int inotify_ = -1;
  int signals_ = -1;
  sigset_t signalMask_;
  std::map<Key, Registration> registrations_;
  std::deque<Key> ready_;
};

struct Table {
  std::mutex mutex;
  std::map<int, std::shared_ptr<Queue>> queues;
};

Table& table() {
  static Table instance;
  return instance;
}

std::shared_ptr<Queue> lookup(int kq) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  auto found = t.queues.find(kq);
  return found == t.queues.end() ? nullptr : found->second;
}

}  // namespace

int kqueue() {
  const int fd = epoll_create1(EPOLL_CLOEXEC);
  if (fd == -1) return -1;
  auto queue = std::make_shared<Queue>(fd);
  Table& t = table();
  std::lock_guard lock(t.mutex);
  // The number is free again, so a queue that had it was closed: its state goes with it.
  t.queues[fd] = std::move(queue);
  return fd;
}

int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist,
           int nevents, const struct timespec* timeout) {
  const auto queue = lookup(kq);
  if (!queue) return fail(EBADF);
  if (nchanges < 0 || nevents < 0) return fail(EINVAL);
  if ((nchanges > 0 && !changelist) || (nevents > 0 && !eventlist)) return fail(EFAULT);
  if (timeout && (timeout->tv_sec < 0 || timeout->tv_nsec < 0 || timeout->tv_nsec >= 1000000000L))
    return fail(EINVAL);
  int errors = 0;
  for (int i = 0; i < nchanges; ++i) {
    const int error = queue->apply(changelist[i]);
    if (error == 0) continue;
    if (errors == nevents) return fail(error);
    // The event list may be the change list itself; this slot was already applied.
    struct kevent& report = eventlist[errors++];
    report = changelist[i];
    report.flags = EV_ERROR;
    report.data = error;
  }
  // As on BSD, a call that reports errors, or has no room, does not wait.
  if (errors > 0 || nevents == 0) return errors;
  return queue->wait(eventlist, nevents, timeout);
}

void ignore_and_block_signal(int signo) {
  signal(signo, SIG_IGN);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, signo);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
}
