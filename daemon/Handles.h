// Resources of the controller that give themselves back: a compiled pattern, and the steps of its
// teardown that are more than a member going (the descriptors are the platform layer's).
#pragma once

#include <regex.h>

#include <functional>
#include <utility>

class CompiledPattern {
 public:
  CompiledPattern() = default;
  ~CompiledPattern() { free(); }
  CompiledPattern(const CompiledPattern&) = delete;
  CompiledPattern& operator=(const CompiledPattern&) = delete;

  // regcomp into the held pattern; the code it gives.
  int compile(const char* pattern, int flags) {
    free();
    const int code = regcomp(&regex_, pattern, flags);
    compiled_ = code == 0;
    return code;
  }
  void free() {
    if (compiled_) regfree(&regex_);
    compiled_ = false;
  }
  bool isCompiled() const { return compiled_; }
  regex_t* get() { return &regex_; }
  const regex_t* get() const { return &regex_; }

 private:
  regex_t regex_{};
  bool compiled_ = false;
};

// Runs a step of the teardown when it goes, so that the order in which the controller's members
// are declared is the order of its teardown, whether the controller ends or its set-up fails.
class TeardownStep {
 public:
  explicit TeardownStep(std::function<void()> step) : step_(std::move(step)) {}
  ~TeardownStep() { step_(); }
  TeardownStep(const TeardownStep&) = delete;
  TeardownStep& operator=(const TeardownStep&) = delete;

 private:
  std::function<void()> step_;
};
