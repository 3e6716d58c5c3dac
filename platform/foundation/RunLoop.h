// Run-loop modes: while a menu is tracked, timers of the default mode wait; those that fell due
// fire when tracking ends.
#pragma once

namespace platform {

void enterMenuTrackingMode();
void leaveMenuTrackingMode();
bool isInMenuTrackingMode();

}  // namespace platform
