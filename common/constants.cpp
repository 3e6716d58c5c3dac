#include "common/constants.h"

const std::string DaemonBundleID = "com.kapsho.KapshoDaemon";
const std::string HasStatusItemKey = "Show Status Item";
const std::string ShowStatusItemNotificationName = "com.kapsho.kapsho Show Status Item";
const std::string ShowStatusItemNotificationKey = "ShowStatusItemNotificationKey";

const std::string RecentImageUploadsKey = "Recent Images";
const std::string RecentImageDeletionURLKey = "deletionURL";

const std::string UploadHostKey = "Upload Host";
const std::string DefaultUploadHost = KAPSHO_UPLOAD_HOST;
const std::string CustomUploaderKey = "Custom Uploader";
const std::string ShowNotificationsKey = "Show Notifications";
const std::array<std::string, 3> ShowNotificationsModeNames = {"auto", "on", "off"};
