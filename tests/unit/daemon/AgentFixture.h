// What the controller needs around it in a test: a temporary HOME, a capture folder named in the
// capture settings, the staged capture-tool localization, and the application on the offscreen
// platform. Also a loopback HTTP server that answers as each test scripts it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/KapshoController.h"
#include "tests/support/TestSupport.h"

namespace agent_testing {

class AgentEnvironment {
 public:
  AgentEnvironment();
  const std::string& folder() const { return folder_.path(); }

 private:
  testing_support::TempHome home_;
  testing_support::TempDir folder_;
  testing_support::ScopedEnv language_, systemRoot_;
};

// Runs the main thread's event loop until the condition holds or the deadline passes.
bool spinUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// The registered name of the status item's image, or "" without item or image.
std::string statusImageName(const KapshoController& controller);

struct ReceivedRequest {
  std::string head;  // request line and header fields
  std::string body;
  std::string header(const std::string& name) const;
};

// Accepts connections on 127.0.0.1 at a port of its own; for each request, the script gives the
// raw answer, or nullopt to hold the connection open without answering.
class ScriptedServer {
 public:
  using Script = std::function<std::optional<std::string>(const ReceivedRequest&)>;
  explicit ScriptedServer(Script script);
  ~ScriptedServer();
  int port() const { return port_; }
  std::vector<ReceivedRequest> requests() const;

 private:
  void serve();
  void serveConnection(int fd);

  Script script_;
  int listener_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  mutable std::mutex mutex_;
  std::vector<ReceivedRequest> requests_;
  std::vector<int> held_;
  std::thread thread_;
};

// An upload record as the agent writes it; either entry is left out when nullopt.
platform::Value uploadRecord(std::optional<std::string> url, std::optional<std::string> date);

// A raw HTTP answer with the given status line and extra header lines.
std::string httpAnswer(const std::string& status, const std::string& headers = "");

}  // namespace agent_testing
