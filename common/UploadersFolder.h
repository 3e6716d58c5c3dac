// Where custom uploader files live once chosen: the pane keeps its own copy of each, so that a
// downloaded file can go without the agent losing its uploader.
#pragma once

#include <string>

// $XDG_CONFIG_HOME/kapsho/Uploaders, beside the preferences.
std::string customUploadersFolder();
// The file a "Custom Uploader" setting names: an absolute path as it is, anything else inside
// customUploadersFolder().
std::string customUploaderPath(const std::string& setting);
