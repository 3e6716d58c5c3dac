// One-shot timers on the calling thread's event loop.
#pragma once

#include <functional>
#include <memory>

class QTimer;

namespace platform {

class NSTimer : public std::enable_shared_from_this<NSTimer> {
 public:
  using Action = std::function<void(NSTimer&)>;

  // scheduledTimerWithTimeInterval:target:selector:userInfo:repeats: with repeats NO. The action
  // runs once after the interval unless the timer is invalidated first. The timer stays
  // scheduled while only the event loop holds it.
  static std::shared_ptr<NSTimer> scheduledTimerWithTimeInterval(double seconds, Action action);

  void invalidate();
  bool isValid() const { return valid_; }
  // The interval it was scheduled with, in seconds.
  double timeInterval() const { return interval_; }
  ~NSTimer();

 private:
  NSTimer() = default;
  void fire();

  Action action_;
  double interval_ = 0.0;
  bool valid_ = true;
  std::unique_ptr<QTimer, void (*)(QTimer*)> timer_{nullptr, nullptr};
  std::shared_ptr<NSTimer> scheduled_;  // the event loop's reference while it is pending
};

}  // namespace platform
