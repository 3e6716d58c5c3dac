// Distributed notifications: a named notification with an object and a user-info dictionary,
// posted to every process of the user and observed by name. They travel as one broadcast signal
// on the session bus (the build's vendor domain names them: for org.example the path
// /org/example/DistributedNotificationCenter and the interface
// org.example.DistributedNotificationCenter; member Notification, signature ssa{sv}), so any
// process of the user may post one, `gdbus emit` included.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

class QObject;

namespace platform {

struct NSNotification {
  std::string name;
  // The sender's object: a string, empty when the sender gave none.
  std::string object;
  // The user info as it arrived; values of types a property list cannot hold are left out, and
  // nested dictionaries and arrays arrive as such, a variant as the value it holds.
  std::optional<Dictionary> userInfo;
};

class NSDistributedNotificationCenter {
 public:
  using Selector = std::function<void(const NSNotification&)>;

  // defaultCenter; made on first use, which must be on the main thread.
  static NSDistributedNotificationCenter& defaultCenter();

  // addObserver:selector:name:object:. The selector runs on the main thread for each
  // notification of that name whose object equals the given one (nullopt: from any sender)
  // posted after this call has returned.
  // Without a session bus nothing can be heard: one log line says so and the observer is kept,
  // silent. A signal of another signature never reaches the selector.
  void addObserver(const void* observer, Selector selector, const std::string& name,
                   const std::optional<std::string>& object);
  // removeObserver: ends every observation of the observer; an unknown observer is ignored.
  void removeObserver(const void* observer);

  // postNotificationName:object:userInfo:. Null values are left out of the user info, and a
  // date travels as its text. Gives false when there is no session bus to carry it.
  bool postNotificationName(const std::string& name, const std::string& object,
                            const std::optional<Dictionary>& userInfo);

  ~NSDistributedNotificationCenter();

 private:
  struct Observation {
    const void* observer;
    Selector selector;
    std::string name;
    std::optional<std::string> object;
  };

  NSDistributedNotificationCenter();
  void deliver(const NSNotification& notification);

  std::unique_ptr<QObject> receiver_;
  std::vector<Observation> observations_;
  friend class NotificationReceiver;
};

}  // namespace platform
