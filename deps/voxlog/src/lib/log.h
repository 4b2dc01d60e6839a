#ifndef VOXLOG_LOG_H
#define VOXLOG_LOG_H

#include "logbase.h"

#include <boost/date_time/posix_time/ptime.hpp>

#include <cstdint>
#include <list>
#include <string>

// Process-wide log facility.  Levels: 0 CRITICAL, 1 ERROR, 2 WARNING, 3 DEBUG,
// 4 INFO, 5 DEVELOP (smaller is more severe).  A CRITICAL message ends the
// process with exit status 1 after every output has written and been
// notified and the critical callback has run.
//
// Configure the settings and create the outputs before several threads log.

enum LogLevel {
    LOG_CRITICAL = 0,
    LOG_ERROR = 1,
    LOG_WARNING = 2,
    LOG_DEBUG = 3,
    LOG_INFO = 4,
    LOG_DEVELOP = 5
};

typedef std::list<LogBase*> LogOutputList;

typedef void (*LogCriticalCallback)(const std::string& message, std::string channel,
                                    uint64_t id, std::string timestamp, std::string line);

// The one entry point for messages.
void writeLogMessage(const std::string& message, int level, const std::string& channel,
                     uint64_t id);

// Name of a level; a level outside 0..5 is an assertion failure (CRITICAL).
std::string getLogLevelName(int lvl);

void setLogMaxLevel(int level);
void setLogLocalTime(int localTime);
void setLogTimestampStyle(int style);
void setLogCriticalCallback(LogCriticalCallback callback);

// The current time (UTC, or local time when so set) in the given style:
// 2 ISO "YYYYMMDDTHHMMSS[.ffffff]", other non-zero values extended ISO
// "YYYY-MM-DDTHH:MM:SS[.ffffff]", 0 "YYYY-MM-DD HH:MM:SS.ffffff".
std::string makeLogTimestamp(int style);
// The formatting step of makeLogTimestamp for a given instant.
std::string formatLogTimestamp(const boost::posix_time::ptime& time, int style);

// The registered outputs, in order of creation.
LogOutputList& logOutputs();

// Hands one line to every output of the list (write, and notify for level 0).
void dispatchLogLine(const LogOutputList& outputs, const std::string& message, int level,
                     const std::string& channel, uint64_t id, const std::string& timestamp,
                     const std::string& line);

void broadcastValue(void* value);
void broadcastOptionalValue(void* value);
void broadcastValue(const LogOutputList& outputs, void* value);
void broadcastOptionalValue(const LogOutputList& outputs, void* value);
void broadcastNotify(const LogOutputList& outputs);
// Kept for callers of the whole-list form; outputs are notified only of
// CRITICAL lines, so this does nothing.
void broadcastNotify();

#endif // VOXLOG_LOG_H
