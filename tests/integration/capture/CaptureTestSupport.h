// What the capture tests share: the tool, the capture settings, and a look into the folder.
#pragma once

#include <QImage>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace capture_tests {

const std::string CapturePath = testing_support::stagePath("bin/kapsho-capture");

void defaultsWrite(const std::string& domain, const std::string& key, const std::string& value);
void defaultsDelete(const std::string& domain, const std::string& key);
// The capture folder and type for the next capture.
void captureInto(const std::string& folder, const std::string& type = "");

// Every entry of the folder, hidden ones included, sorted.
std::vector<std::string> entries(const std::string& folder);
QImage picture(const std::string& path);

testing_support::CommandResult capture(const std::vector<std::string>& arguments = {});

}  // namespace capture_tests
