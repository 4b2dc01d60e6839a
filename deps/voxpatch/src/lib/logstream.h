// The patch engine's log line: text is collected with << and handed to the
// process-wide log facility, with an empty channel and id 0, when the object
// is destroyed.

#ifndef VOXPATCH_LOGSTREAM_H
#define VOXPATCH_LOGSTREAM_H

#include <cstdint>
#include <sstream>
#include <string>

namespace voxpatch {

enum : int {
  kLogCritical = 0,
  kLogError = 1,
  kLogWarning = 2,
  kLogDebug = 3,
};

class LogStream {
 public:
  explicit LogStream(int level) : level_(level) {}
  ~LogStream() noexcept;

  LogStream(const LogStream&) = delete;
  LogStream& operator=(const LogStream&) = delete;

  template <typename T>
  LogStream& operator<<(const T& part) {
    text_ << part;
    return *this;
  }

 private:
  std::string channel_;
  uint64_t id_ = 0;
  std::ostringstream text_;
  int level_;
};

// Hands one fixed message to the log facility (empty channel, id 0).
void LogMessage(int level, const std::string& text);

// Logs "Assertion \"<expression>\" failed at <location>:<line>; <extra>" at
// the critical level, which ends the process with exit status 1.
[[noreturn]] void FailAssertion(const char* expression, const char* location,
                                int line, const std::string& extra);

}  // namespace voxpatch

#endif  // VOXPATCH_LOGSTREAM_H
