#ifndef ASYNCTASKSPECIFICATION_H
#define ASYNCTASKSPECIFICATION_H

#include "taskspecification.h"

class ASyncFunc;

// A task whose work runs on the global thread pool in an ASyncFunc.  The work
// object's signals come back through queued connections; the task stays in
// state 1 until runResult arrives.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ASyncTaskSpecification(QObject* parent, qreal weight);
    ~ASyncTaskSpecification() override;

    void execute() override;
    // Waits for the whole global pool to become idle, then the plain reset.
    void reset() override;

    virtual ASyncFunc* createFunc() = 0;
    // Queued connections: runResult -> onRunResult, message -> message,
    // error -> error, progress -> onProgress.
    virtual void connectFunc(ASyncFunc* func);
    // Drops the result unless running; true finishes, false fails.
    virtual void runFinished(bool ok);

public slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);
};

#endif // ASYNCTASKSPECIFICATION_H
