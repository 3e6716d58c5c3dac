// The one System Events of a login session: a lock on a file beside the event sockets, held for
// the life of the process, whose holder the next instance started can ask.
#pragma once

#include <string>

namespace system_events {

class SessionInstance {
 public:
  enum class Claim { Ours, ServedByAnother, Failed };

  SessionInstance() = default;
  ~SessionInstance();
  SessionInstance(const SessionInstance&) = delete;
  SessionInstance& operator=(const SessionInstance&) = delete;

  // Claims the session for this process. An instance that holds it and answers keeps it; one
  // that does not answer (stopped, or stuck in a handler) is ended and replaced.
  Claim claim(std::string* error);

 private:
  int fd_ = -1;
};

}  // namespace system_events
