#ifndef SCRIPTCLOCK_H
#define SCRIPTCLOCK_H

// The time that scripts themselves spend in one call from the plug-in into
// Lua, nested calls included. The clock stands still while a client function
// runs: the call time limit is there for scripts that loop, not for a client
// that takes its time (a modal window, a slow request).

#include <chrono>

class ScriptClock {
public:
    using Clock = std::chrono::steady_clock;

    // The outermost call begins: back to zero, running.
    static void restart();
    static void pause();
    static void resume();
    static bool running();
    static Clock::duration elapsed();

    // Scope of one call into the client: the clock stands still until the
    // client returns. Holds no resource, so a Lua error may not unwind
    // through it (there is none between a client call and its return).
    class ClientCall {
    public:
        ClientCall();
        ~ClientCall();
        ClientCall(const ClientCall&) = delete;
        ClientCall& operator=(const ClientCall&) = delete;

    private:
        bool m_wasRunning;
    };
};

// Calls a slot of the client's function table with the script clock stopped.
template <typename Result, typename... Parameters, typename... Arguments>
Result callClient(Result (*slot)(Parameters...), Arguments... arguments)
{
    ScriptClock::ClientCall paused;
    return slot(arguments...);
}

#endif // SCRIPTCLOCK_H
