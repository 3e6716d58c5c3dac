// Resources of the controller that give themselves back: a descriptor and a compiled pattern.
#pragma once

#include <regex.h>
#include <unistd.h>

class FileDescriptor {
 public:
  FileDescriptor() = default;
  ~FileDescriptor() { close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }
  // Takes over the result of open or kqueue, -1 included.
  int reset(int fd) {
    close();
    return fd_ = fd;
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

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
