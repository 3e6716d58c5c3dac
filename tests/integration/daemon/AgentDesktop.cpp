#include "tests/integration/daemon/AgentDesktop.h"

#include <filesystem>

using namespace testing_support;
namespace fs = std::filesystem;

namespace agent_testing {

const std::string AgentPath = stagePath(
    "lib/kapsho/KapshoPref.prefPane/Contents/Resources/KapshoDaemon.app/Contents/MacOS/"
    "KapshoDaemon");

ChildProcess AgentOnDesktop::startAgent(const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> all = env;
  all.emplace("LANGUAGE", "en");
  return ChildProcess({AgentPath}, all, logs_.file("agent.out"), logs_.file("agent.err"));
}

std::string AgentOnDesktop::agentErrors() const {
  return readFile(logs_.file("agent.err")).value_or("");
}

std::string AgentOnDesktop::logs() const {
  std::string all;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(logs_.path(), error))
    all += "== " + entry.path().filename().string() + "\n" + readFile(entry.path()).value_or("");
  return all;
}

void defaultsWrite(const std::string& domain, const std::string& key, const std::string& value) {
  ASSERT_EQ(runCommand({stagePath("bin/kapsho-defaults"), "write", domain, key, "-string", value})
                .exitCode,
            0);
}

}  // namespace agent_testing
