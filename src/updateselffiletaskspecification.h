#ifndef UPDATESELFFILETASKSPECIFICATION_H
#define UPDATESELFFILETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "replaceentry.h"

class Configuration;

// One file of the new updater: patched or unpacked to its place in the session folder, then
// checked against the entry's unpacked SHA-512.  A file that fails either step is removed, so
// that the new updater never runs unchecked content.
class UpdateSelfFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // Builds the two sub-tasks; the old copy of a patched file must exist when it executes.
    UpdateSelfFileTaskSpecification(const ReplaceEntry& entry, Configuration* config,
                                    QObject* parent, qreal weight);

    void execute() override;
    void subtasksDone() override;

    QString m_Target;
};

#endif // UPDATESELFFILETASKSPECIFICATION_H
