#include "log.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

namespace {

std::atomic<int> logMaxLevel{LOG_DEVELOP};
std::atomic<int> logLocalTime{0};
std::atomic<int> logTimestampStyle{0};
std::atomic<LogCriticalCallback> logCriticalCallback{nullptr};

const std::string databaseChannel = "DatabaseQuery";
const std::string databaseMissingColumn = "sqlite3_prepare failed no such column: string_id";
const std::string databasePropertiesQuery =
    "db_exec() select * from instance_properties where string_id = '";

// Six names, built once on first use (thread-safe) and released at exit.
struct LogLevelTable
{
    std::string names[6];
};

const LogLevelTable& logLevelTable()
{
    static const LogLevelTable table{
        {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"}};
    return table;
}

// Held from the dispatch of a CRITICAL line until the process ends, so that
// a second thread reporting CRITICAL at the same time waits instead of racing
// the first one to the exit.  Recursive, because an output or the callback
// may itself log a CRITICAL line.
std::recursive_mutex& criticalMutex()
{
    static std::recursive_mutex mutex;
    return mutex;
}

// Ends the process exactly once with status 1.  Static destructors and exit
// handlers are not run: other threads may still be working with the objects
// they would destroy.
[[noreturn]] void terminateAfterCritical()
{
    static std::atomic<bool> exiting{false};
    if (!exiting.exchange(true)) {
        std::cout.flush();
        std::cerr.flush();
        std::clog.flush();
        std::fflush(nullptr);
        std::_Exit(1);
    }
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

std::string replaceNewlines(const std::string& message, std::size_t indent)
{
    std::string body;
    body.reserve(message.size());
    for (char c : message) {
        body.push_back(c);
        if (c == '\n')
            body.append(indent, ' ');
    }
    return body;
}

} // namespace

LogOutputList& logOutputs()
{
    static LogOutputList outputs;
    return outputs;
}

void setLogMaxLevel(int level)
{
    logMaxLevel.store(level);
}

void setLogLocalTime(int localTime)
{
    logLocalTime.store(localTime);
}

void setLogTimestampStyle(int style)
{
    logTimestampStyle.store(style);
}

void setLogCriticalCallback(LogCriticalCallback callback)
{
    logCriticalCallback.store(callback);
}

std::string getLogLevelName(int lvl)
{
    const LogLevelTable& table = logLevelTable();
    if (lvl < 0 || lvl > LOG_DEVELOP) {
        writeLogMessage("Assertion \"lvl >= 0 && lvl * sizeof(std::string) < "
                        "sizeof(logLevelTable)\" failed at ../../../../deps/voxlog/src/lib/log:211; ",
                        LOG_CRITICAL, std::string(), 0);
        // Not reached: a CRITICAL message ends the process.
        terminateAfterCritical();
    }
    return table.names[lvl];
}

std::string formatLogTimestamp(const boost::posix_time::ptime& time, int style)
{
    if (style == 2)
        return boost::posix_time::to_iso_string(time);
    if (style != 0)
        return boost::posix_time::to_iso_extended_string(time);

    // "YYYYMMDDTHHMMSS[.ffffff]" -> "YYYY-MM-DD HH:MM:SS.ffffff"
    std::string text = boost::posix_time::to_iso_string(time);
    const std::size_t t = text.find('T');
    if (t != std::string::npos && t >= 4 && text.size() >= t + 5) {
        text[t] = ' ';
        text.insert(t + 5, 1, ':'); // before the seconds
        text.insert(t + 3, 1, ':'); // before the minutes
        text.insert(t - 2, 1, '-'); // before the day
        text.insert(t - 4, 1, '-'); // before the month
    }
    if (text.size() < 20)
        text.push_back('.');
    if (text.size() < 26)
        text.append(26 - text.size(), '0');
    return text;
}

std::string makeLogTimestamp(int style)
{
    const boost::posix_time::ptime now = logLocalTime.load() != 0
        ? boost::posix_time::microsec_clock::local_time()
        : boost::posix_time::microsec_clock::universal_time();
    return formatLogTimestamp(now, style);
}

void dispatchLogLine(const LogOutputList& outputs, const std::string& message, int level,
                     const std::string& channel, uint64_t id, const std::string& timestamp,
                     const std::string& line)
{
    if (line.empty())
        return;
    for (LogBase* output : outputs) {
        output->write(message, level, channel, id, timestamp, line);
        if (level == LOG_CRITICAL)
            output->notify();
    }
}

void writeLogMessage(const std::string& message, int level, const std::string& channel,
                     uint64_t id)
{
    if (channel == databaseChannel
        && (message == databaseMissingColumn
            || message.find(databasePropertiesQuery) != std::string::npos))
        return;

    std::unique_lock<std::recursive_mutex> criticalLock;
    if (level == LOG_CRITICAL)
        criticalLock = std::unique_lock<std::recursive_mutex>(criticalMutex());

    if (level <= logMaxLevel.load()) {
        const std::string idText = id != 0 ? std::to_string(id) : std::string();
        const std::string timestamp = makeLogTimestamp(logTimestampStyle.load());
        const std::string prefix = (boost::format("%s|%-8s|%-14s|%-3s|") % timestamp
                                    % getLogLevelName(level) % channel % idText)
                                       .str();
        const std::string line = prefix + replaceNewlines(message, prefix.size());

        dispatchLogLine(logOutputs(), message, level, channel, id, timestamp, line);
        if (level == LOG_CRITICAL) {
            if (LogCriticalCallback callback = logCriticalCallback.load())
                callback(message, channel, id, timestamp, line);
        }
    }

    if (level == LOG_CRITICAL)
        terminateAfterCritical();
}

void broadcastValue(void* value)
{
    broadcastValue(logOutputs(), value);
}

void broadcastOptionalValue(void* value)
{
    broadcastOptionalValue(logOutputs(), value);
}

void broadcastValue(const LogOutputList& outputs, void* value)
{
    for (LogBase* output : outputs)
        output->handleValue(value);
}

void broadcastOptionalValue(const LogOutputList& outputs, void* value)
{
    for (LogBase* output : outputs)
        output->handleOptionalValue(value);
}

void broadcastNotify(const LogOutputList& outputs)
{
    for (LogBase* output : outputs)
        output->notify();
}

void broadcastNotify()
{
}
