#ifndef CHECKSIGNATURETASKSPECIFICATION_H
#define CHECKSIGNATURETASKSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QString>

// Checks one file on the thread pool: its SHA-512 against an expected hash, or (with an empty
// expected hash) its detached RSA signature. The verdict is reported through checkDone before
// the task ends; a failed check fails the task only when cancel-on-fail is set.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification {
    Q_OBJECT

public:
    CheckSignatureTaskSpecification(const QString& file, const QString& expectedHash,
        bool cancelOnFail, QObject* parent, qreal weight);

    ASyncFunc* createFunc() override;
    void runFinished(bool pass) override;

    QString m_File;
    // How the failure text names the file; empty: by its path.
    QString m_ShownName;
    QString m_ExpectedHash;
    bool m_CancelOnFail;

signals:
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);
};

#endif // CHECKSIGNATURETASKSPECIFICATION_H
