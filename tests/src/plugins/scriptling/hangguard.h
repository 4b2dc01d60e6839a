#ifndef HANGGUARD_H
#define HANGGUARD_H

#include <condition_variable>
#include <mutex>
#include <thread>

// Ends the test program when the guarded scope has not ended in time: a hang
// would otherwise hold the test until ctest gives up on it.
class HangGuard {
public:
    HangGuard(int seconds, const char* what);
    ~HangGuard();
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

#endif // HANGGUARD_H
