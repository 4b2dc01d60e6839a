// Collects the lines the patch engine hands to the log facility while the
// object lives.

#ifndef VOXPATCH_TEST_LOGCAPTURE_H
#define VOXPATCH_TEST_LOGCAPTURE_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "logbase.h"

struct CapturedLine {
  int level;
  std::string channel;
  uint64_t id;
  std::string message;
};

class LogCapture : public LogBase {
 public:
  void notify() override {}
  void handleValue(void*) override {}
  void write(const std::string& message, int level, std::string channel, uint64_t id,
             std::string, std::string) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({level, channel, id, message});
  }

  std::vector<CapturedLine> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<std::string> messages() {
    std::vector<std::string> result;
    for (const CapturedLine& line : lines()) result.push_back(line.message);
    return result;
  }
  bool contains(const std::string& message) {
    for (const CapturedLine& line : lines())
      if (line.message == message) return true;
    return false;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<CapturedLine> lines_;
};

#endif  // VOXPATCH_TEST_LOGCAPTURE_H
