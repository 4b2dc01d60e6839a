#ifndef VOXLOG_LOGBASE_H
#define VOXLOG_LOGBASE_H

#include <cstdint>
#include <list>
#include <string>

// An output of the log facility.  Constructing one registers it at the end of
// the process-wide output list; destroying it unregisters it.  Outputs receive
// every line on the thread that logged it and protect their own state.
class LogBase
{
public:
    LogBase();
    virtual ~LogBase();

    // Called right after write() for every CRITICAL line.
    virtual void notify() = 0;
    // Reached only through broadcastValue.
    virtual void handleValue(void* value) = 0;
    // One formatted line: the caller's message unchanged, its level, channel
    // and id, the timestamp used and the complete line (no trailing newline).
    virtual void write(const std::string& message, int level, std::string channel,
                       uint64_t id, std::string timestamp, std::string line) = 0;
    // Reached only through broadcastOptionalValue; does nothing here.
    virtual void handleOptionalValue(void* value);

    LogBase(const LogBase&) = delete;
    LogBase& operator=(const LogBase&) = delete;

private:
    std::list<LogBase*>::iterator m_Node;
};

#endif // VOXLOG_LOGBASE_H
