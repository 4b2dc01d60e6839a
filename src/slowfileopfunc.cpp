#include "slowfileopfunc.h"

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& destination)
    : m_Source(source)
    , m_Destination(destination)
{
}

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& patch,
                               const QString& destination)
    : m_Source(source)
    , m_Patch(patch)
    , m_Destination(destination)
{
}

SlowFileOpFunc::~SlowFileOpFunc() = default;
