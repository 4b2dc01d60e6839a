#ifndef TASKSPECIFICATION_H
#define TASKSPECIFICATION_H

#include <QObject>
#include <QString>

// Base of every step of an update.  A task is told to execute(), reports its
// weighted progress through updateProgress and ends by emitting finished or
// canceled.  States: 0 idle, 1 running, 2 finished, 3 failed, 4 cancelled on
// request.  Failed and cancelled both end with canceled(); the receiver reads
// m_State to tell them apart.
//
// All task objects live in the GUI thread.  The members are read directly by
// parent tasks and the engine.
class TaskSpecification : public QObject
{
    Q_OBJECT

public:
    enum State {
        STATE_IDLE = 0,
        STATE_RUNNING = 1,
        STATE_FINISHED = 2,
        STATE_FAILED = 3,
        STATE_CANCELLED = 4
    };

    TaskSpecification(QObject* parent, qreal weight);
    ~TaskSpecification() override;

    virtual void execute() = 0;
    // Back to idle: cancel flag cleared, state 0, progress 0 (emits updateProgress(0)).
    virtual void reset();
    // Writes zeros and false; downloads and composites report real figures.
    virtual void getDownloadStats(qulonglong& done, qulonglong& total, qulonglong& speed,
                                  bool& downloading);
    // Only notes the request; composites forward it, downloads abort.
    virtual void requestCancel();
    // Called by onOtherTaskCancelled while this task runs and a sibling was canceled.
    virtual void onOtherTaskCancelledHook(TaskSpecification* other);

    // m_Progress = fraction * m_Weight, then updateProgress(m_Progress).  No clamping.
    void setProgress(qreal fraction);
    // State 2, progress = weight, updateProgress(weight), finished(this).
    void finish();
    // State 3, canceled(this); progress stays.
    void fail();
    // State 4, canceled(this).
    void cancelled();
    void setWeight(qreal weight);

    bool m_CancelRequested;
    qreal m_Weight;
    qreal m_Progress;
    int m_State;

signals:
    void finished(TaskSpecification* task);
    void canceled(TaskSpecification* task);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString text);
    void otherTaskCancelled(TaskSpecification* other);

public slots:
    void onOtherTaskCancelled(TaskSpecification* other);
};

#endif // TASKSPECIFICATION_H
