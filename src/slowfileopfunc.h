#ifndef SLOWFILEOPFUNC_H
#define SLOWFILEOPFUNC_H

#include "asyncfunc.h"

#include <QString>

// The work object of a SlowFileOpSpecification; run() stays pure.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT

public:
    SlowFileOpFunc(const QString& source, const QString& destination);
    SlowFileOpFunc(const QString& source, const QString& patch, const QString& destination);
    ~SlowFileOpFunc() override;

    QString m_Source;
    QString m_Patch; // empty in the two-path form
    QString m_Destination;
};

#endif // SLOWFILEOPFUNC_H
