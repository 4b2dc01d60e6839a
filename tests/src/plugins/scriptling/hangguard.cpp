#include "hangguard.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

HangGuard::HangGuard(int seconds, const char* what)
    : m_thread([this, seconds, what] {
          std::unique_lock<std::mutex> lock(m_mutex);
          if (!m_done.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_finished; })) {
              std::fprintf(stderr, "%s did not return within %d s\n", what, seconds);
              std::_Exit(1);
          }
      })
{
}

HangGuard::~HangGuard()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
    }
    m_done.notify_all();
    m_thread.join();
}
