#include "checksignaturetaskspecification.h"

#include "checksigfunc.h"

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString& file,
    const QString& expectedHash, bool cancelOnFail, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_File(file)
    , m_ExpectedHash(expectedHash)
    , m_CancelOnFail(cancelOnFail)
{
}

ASyncFunc* CheckSignatureTaskSpecification::createFunc()
{
    return new CheckSigFunc(m_File, m_ExpectedHash);
}

void CheckSignatureTaskSpecification::runFinished(bool pass)
{
    if (m_State != STATE_RUNNING)
        return;
    if (pass) {
        emit checkDone(true, this);
        // The receiver may have moved this task on (a restarted product-list step drops and
        // rebuilds its sub-tasks); end it only if it is still running.
        if (m_State == STATE_RUNNING)
            finish();
        return;
    }
    emit message(
        tr("Signature check failed for %1").arg(m_ShownName.isEmpty() ? m_File : m_ShownName));
    emit checkDone(false, this);
    if (m_State != STATE_RUNNING)
        return;
    if (m_CancelOnFail)
        fail();
    else
        finish();
}
