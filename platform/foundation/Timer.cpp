#include "platform/foundation/Timer.h"

#include <QTimer>
#include <cmath>

#include "platform/foundation/RunLoopPrivate.h"
#include "platform/foundation/Thread.h"

namespace platform {

namespace {

// A timer may be released from inside its own action, so the Qt object goes later.
void deleteLater(QTimer* timer) {
  timer->deleteLater();
}

}  // namespace

std::shared_ptr<NSTimer> NSTimer::scheduledTimerWithTimeInterval(double seconds, Action action) {
  std::shared_ptr<NSTimer> timer(new NSTimer);
  timer->action_ = std::move(action);
  timer->interval_ = seconds;
  timer->timer_ = {new QTimer, deleteLater};
  timer->timer_->setSingleShot(true);
  timer->timer_->setTimerType(Qt::PreciseTimer);
  std::weak_ptr<NSTimer> weak = timer;
  QObject::connect(timer->timer_.get(), &QTimer::timeout, [weak] {
    auto fire = [weak] {
      if (auto self = weak.lock()) self->fire();
    };
    // Timers of the main loop's default mode wait while a menu is tracked.
    if (isMainThread())
      performOutsideMenuTracking(fire);
    else
      fire();
  });
  const double millis = std::isfinite(seconds) && seconds > 0 ? seconds * 1000.0 : 0.0;
  timer->timer_->start(static_cast<int>(std::min(millis, 2.0e9)));
  timer->scheduled_ = timer;
  return timer;
}

void NSTimer::fire() {
  if (!valid_) return;
  auto keepAlive = shared_from_this();
  valid_ = false;
  scheduled_.reset();
  if (action_) action_(*this);
}

void NSTimer::invalidate() {
  if (!valid_) return;
  valid_ = false;
  if (timer_) timer_->stop();
  scheduled_.reset();
}

NSTimer::~NSTimer() = default;

}  // namespace platform
