#ifndef FILECOPYFUNC_H
#define FILECOPYFUNC_H

#include "slowfileopfunc.h"

// Copies the source to the destination on the thread pool; an existing destination is never
// overwritten.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileCopyFunc(const QString& source, const QString& destination);

    bool run() override;
};

#endif // FILECOPYFUNC_H
