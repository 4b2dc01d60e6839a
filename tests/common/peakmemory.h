#pragma once
// The growth of this process's peak memory over a stretch of a test (Linux: the high-water mark
// of /proc/self/status, reset through /proc/self/clear_refs at the start).

#include <QtGlobal>

class PeakMemory
{
public:
    // Resets the high-water mark to the current resident size and remembers that size.
    // False when the system offers no such reset.
    bool start();
    // Bytes by which the peak resident size rose above the size at start().
    qint64 growth() const;

    static qint64 residentBytes();
    static qint64 peakBytes();

private:
    qint64 m_Start = 0;
};
