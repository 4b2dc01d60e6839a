#ifndef ASYNCFUNC_H
#define ASYNCFUNC_H

#include <QObject>
#include <QString>

// The work object of an asynchronous task.  It is created without a parent,
// holds copies of its inputs (or pointers to data nobody else touches while it
// runs), runs once on a thread of the global pool and never calls its task:
// everything goes back through its signals.
class ASyncFunc : public QObject
{
    Q_OBJECT

public:
    ASyncFunc();
    ~ASyncFunc() override;

    virtual bool run() = 0;
    // Runs in the calling thread and emits runResult with the result.
    void runAndReport();

signals:
    void runResult(bool res);
    void message(QString text);
    void error(QString text);
    void progress(qreal progress);
};

#endif // ASYNCFUNC_H
