#ifndef ASYNCRUN_H
#define ASYNCRUN_H

#include <QRunnable>

class ASyncFunc;

// Carries one ASyncFunc onto the thread pool and owns it.  Auto-delete stays
// on: the pool deletes the runnable after run(), which deletes the work object
// on the pool thread.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc* func);
    ~ASyncRun() override;

    // Runs the work object and emits its runResult from this thread.  Anything
    // thrown by the work object is reported through its message signal and
    // counts as a failed run.
    void run() override;

    ASyncRun(const ASyncRun&) = delete;
    ASyncRun& operator=(const ASyncRun&) = delete;

private:
    ASyncFunc* m_Func;
};

#endif // ASYNCRUN_H
