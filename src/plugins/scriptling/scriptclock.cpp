#include "scriptclock.h"

namespace {

bool clockRunning = false;
// Time counted before the clock last started, and when it started.
ScriptClock::Clock::duration counted{};
ScriptClock::Clock::time_point startedAt;

} // namespace

void ScriptClock::restart()
{
    counted = Clock::duration::zero();
    startedAt = Clock::now();
    clockRunning = true;
}

void ScriptClock::pause()
{
    if (!clockRunning)
        return;
    counted += Clock::now() - startedAt;
    clockRunning = false;
}

void ScriptClock::resume()
{
    if (clockRunning)
        return;
    startedAt = Clock::now();
    clockRunning = true;
}

bool ScriptClock::running()
{
    return clockRunning;
}

ScriptClock::Clock::duration ScriptClock::elapsed()
{
    return clockRunning ? counted + (Clock::now() - startedAt) : counted;
}

ScriptClock::ClientCall::ClientCall()
    : m_wasRunning(clockRunning)
{
    pause();
}

ScriptClock::ClientCall::~ClientCall()
{
    if (m_wasRunning)
        resume();
}
