// Names shared by the agent and the preference pane.
#pragma once

#include <array>
#include <string>

// The agent's bundle identifier, which also names its defaults domain.
extern const std::string DaemonBundleID;
// Whether the agent shows its status item (a boolean; absent means YES).
extern const std::string HasStatusItemKey;
extern const std::string ShowStatusItemNotificationName;
extern const std::string ShowStatusItemNotificationKey;
// When the agent tells of its uploads through desktop notifications (a string, absent means
// "auto"): "auto" while no tray shows its status item, "on" always, "off" never. The pane lists
// them in this order.
extern const std::string ShowNotificationsKey;
extern const std::array<std::string, 3> ShowNotificationsModeNames;
