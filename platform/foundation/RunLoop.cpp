#include "platform/foundation/RunLoop.h"

#include <QCoreApplication>
#include <QTimer>
#include <vector>

#include "platform/foundation/RunLoopPrivate.h"

namespace platform {

namespace {

// Menus are tracked on the main thread only, so this state needs no lock.
struct Tracking {
  int depth = 0;
  std::vector<std::function<void()>> heldBack;
};

Tracking& tracking() {
  static Tracking state;
  return state;
}

void runHeldBack() {
  auto& state = tracking();
  // Tracking may have begun again before this ran; the work then waits for that to end.
  if (state.depth > 0) return;
  auto work = std::move(state.heldBack);
  state.heldBack.clear();
  for (auto& item : work) item();
}

}  // namespace

void enterMenuTrackingMode() {
  ++tracking().depth;
}

void leaveMenuTrackingMode() {
  auto& state = tracking();
  if (state.depth == 0 || --state.depth > 0 || state.heldBack.empty()) return;
  // Not from inside the menu's closing: the held-back work may rebuild that very menu.
  QTimer::singleShot(0, QCoreApplication::instance(), runHeldBack);
}

bool isInMenuTrackingMode() {
  return tracking().depth > 0;
}

void performOutsideMenuTracking(std::function<void()> work) {
  if (!isInMenuTrackingMode()) {
    work();
    return;
  }
  tracking().heldBack.push_back(std::move(work));
}

}  // namespace platform
