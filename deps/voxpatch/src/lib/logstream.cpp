#include "logstream.h"

#include <cstdlib>

#include "log.h"

namespace voxpatch {

LogStream::~LogStream() noexcept {
  // An exception escaping here would end the process anyway (noexcept).
  writeLogMessage(text_.str(), level_, channel_, id_);
}

void LogMessage(int level, const std::string& text) {
  writeLogMessage(text, level, std::string(), 0);
}

void FailAssertion(const char* expression, const char* location, int line,
                   const std::string& extra) {
  std::string text = "Assertion \"";
  text += expression;
  text += "\" failed at ";
  text += location;
  text += ":";
  text += std::to_string(line);
  text += "; ";
  text += extra;
  writeLogMessage(text, kLogCritical, std::string(), 0);
  // The log facility ends the process on a critical line; make sure of it.
  std::exit(1);
}

}  // namespace voxpatch
