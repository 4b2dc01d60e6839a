#pragma once
// Controllable tasks for tests of composite tasks and of the engine: a leaf
// that stays running until the test finishes or fails it, records its starts
// and cancel requests in a shared journal, can end itself inside execute(),
// and can behave like a download (abort on a cancel request, fail on a
// sibling's cancellation).  A composite whose sub-tasks the test adds itself.
//
// Header-only; include it from test programs that link updatecore.

#include "composedtaskspecification.h"
#include "taskspecification.h"

#include <QList>
#include <QString>
#include <QStringList>

class ManualTask : public TaskSpecification
{
public:
    enum class OnExecute { Stay, Finish, Fail };

    // Shared by all tasks of a test: how many are running now and the peak.
    struct Counter
    {
        int running = 0;
        int peak = 0;
    };

    ManualTask(const QString& name, QStringList* journal, QObject* parent, qreal weight,
               Counter* counter = nullptr)
        : TaskSpecification(parent, weight), m_Name(name), m_Journal(journal), m_Counter(counter)
    {
    }

    void execute() override
    {
        ++m_Executions;
        m_State = STATE_RUNNING;
        if (m_Journal)
            m_Journal->append(QStringLiteral("start ") + m_Name);
        if (m_Counter) {
            ++m_Counter->running;
            if (m_Counter->running > m_Counter->peak)
                m_Counter->peak = m_Counter->running;
        }
        if (m_OnExecute == OnExecute::Finish)
            succeed();
        else if (m_OnExecute == OnExecute::Fail)
            breakDown();
    }

    void requestCancel() override
    {
        TaskSpecification::requestCancel();
        if (m_Journal)
            m_Journal->append(QStringLiteral("cancel ") + m_Name);
        if (m_DownloadLike && m_State == STATE_RUNNING) {
            leave();
            cancelled();
        }
    }

    void onOtherTaskCancelledHook(TaskSpecification* other) override
    {
        m_Notices.append(other);
        if (m_DownloadLike && m_State == STATE_RUNNING) {
            leave();
            fail();
        }
    }

    void getDownloadStats(qulonglong& done, qulonglong& total, qulonglong& speed,
                          bool& downloading) override
    {
        done = m_Done;
        total = m_Total;
        speed = m_Speed;
        downloading = m_Downloading;
    }

    // End the task as the test decides.
    void succeed()
    {
        leave();
        finish();
    }
    void breakDown()
    {
        leave();
        fail();
    }

    QString m_Name;
    QStringList* m_Journal;
    Counter* m_Counter;
    OnExecute m_OnExecute = OnExecute::Stay;
    bool m_DownloadLike = false;
    int m_Executions = 0;
    QList<TaskSpecification*> m_Notices;
    qulonglong m_Done = 0;
    qulonglong m_Total = 0;
    qulonglong m_Speed = 0;
    bool m_Downloading = false;

private:
    void leave()
    {
        if (m_Counter && m_State == STATE_RUNNING)
            --m_Counter->running;
    }
};

// A composite whose sub-tasks are added by the test before execute().
class ManualComposite : public ComposedTaskSpecification
{
public:
    ManualComposite(int maxParallel, QObject* parent, qreal weight,
                    const QString& name = QString(), QStringList* journal = nullptr)
        : ComposedTaskSpecification(maxParallel, parent, weight), m_Name(name), m_Journal(journal)
    {
    }

    void execute() override
    {
        if (m_Journal)
            m_Journal->append(QStringLiteral("start ") + m_Name);
        startSubTasks();
    }

    QString m_Name;
    QStringList* m_Journal;
};
