// Kernel event queues with the BSD names, over epoll, inotify and signalfd, so that the system's
// folder and signal watching reads as it was written.
//
// What is supported: EV_ADD (with or without EV_CLEAR) of
//   - EVFILT_VNODE on a folder's descriptor, with NOTE_WRITE (an entry created, deleted, or
//     renamed in or out) and NOTE_CLOSE_WRITE (a file in the folder that was open for writing
//     was closed); a delivered event's fflags are the notes that fired since the last delivery,
//     and an overflow of the inotify queue fires every note of every folder;
//   - EVFILT_SIGNAL with the signal number as ident; the signal must be blocked in every thread
//     (see ignore_and_block_signal) so that it stays pending for the queue to read. As on BSD a
//     signal registration always clears on delivery, and deliveries before it are discarded.
// Adding a (filter, ident) that is already registered updates its flags, fflags and udata.
// A signal is read by whichever queue gets to it first, so register each signal on one queue.
#pragma once

#include <fcntl.h>
#include <time.h>

#include <cstdint>

struct kevent {
  uintptr_t ident;
  int16_t filter;
  uint16_t flags;
  uint32_t fflags;
  intptr_t data;
  void* udata;
};

#define EV_SET(kevp, a, b, c, d, e, f) \
  do {                                 \
    struct kevent* ev_set_ = (kevp);   \
    ev_set_->ident = (a);              \
    ev_set_->filter = (b);             \
    ev_set_->flags = (c);              \
    ev_set_->fflags = (d);             \
    ev_set_->data = (e);               \
    ev_set_->udata = (f);              \
  } while (0)

inline constexpr int16_t EVFILT_VNODE = -4;
inline constexpr int16_t EVFILT_SIGNAL = -6;

inline constexpr uint16_t EV_ADD = 0x0001;
inline constexpr uint16_t EV_CLEAR = 0x0020;
inline constexpr uint16_t EV_ERROR = 0x4000;

inline constexpr uint32_t NOTE_WRITE = 0x0002;
// FreeBSD's name and value; there it is about the vnode itself, here about the folder's files.
inline constexpr uint32_t NOTE_CLOSE_WRITE = 0x0200;

// A descriptor that only names the folder, for its events: no read access is asked, and a
// symbolic link to a folder is followed. The BSD value (0x8000) is another flag on Linux, and
// not the same one on every architecture (O_LARGEFILE on x86_64, O_NOFOLLOW on arm64).
inline constexpr int O_EVTONLY = O_PATH | O_CLOEXEC;

// A new queue: an epoll descriptor the caller closes with close(). The queue's helper descriptors
// (inotify, signalfd) stay open after that close; they are closed when kqueue() hands out the
// same number again and drops the old queue's state.
int kqueue();

// Applies the change list, then waits for events (BSD semantics). A null timeout waits until an
// event comes; a zero one never blocks. Gives the number of events stored, or -1 with errno.
int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist,
           int nevents, const struct timespec* timeout);

// What main calls instead of signal(signo, SIG_IGN): the signal is ignored and blocked in the
// calling thread, so threads started afterwards inherit the mask and a queue can read it.
void ignore_and_block_signal(int signo);
