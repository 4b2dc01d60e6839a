#include "updateselfunziptaskspecification.h"

#include "configuration.h"
#include "filereplacetaskspecification.h"
#include "nofollowfile.h"
#include "updateinidata.h"
#include "updateselffiletaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

UpdateSelfUnzipTaskSpecification::UpdateSelfUnzipTaskSpecification(
    QList<ReplaceEntry>* replaceList, Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(2, parent, weight)
    , m_ReplaceList(replaceList)
    , m_Config(config)
{
}

void UpdateSelfUnzipTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void UpdateSelfUnzipTaskSpecification::makeSubtasksAndStart()
{
    const QString temp = m_Config->m_TempDir + QLatin1Char('/');
    const auto extracted = std::count_if(m_ReplaceList->cbegin(), m_ReplaceList->cend(),
        [](const ReplaceEntry& e) { return e.hasTarget(); });
    for (const ReplaceEntry& entry : *m_ReplaceList) {
        if (!entry.hasTarget())
            continue;
        const QString rel = entry.relativePath(QString());
        qDebug() << "Extracting updater file" << entry.name << rel << entry.hasPatch();
        const QString folder = QFileInfo(temp + rel).absolutePath();
        if (!QFileInfo::exists(folder))
            QDir().mkpath(folder);
        if (entry.hasPatch()) {
            const QString oldCopy = temp + rel + QStringLiteral("_old");
            QFile::remove(oldCopy);
            // Read by descriptor: a link on the way counts only when the user's own.
            NoFollowFile::copyFresh(m_Config->m_InstallDir + QLatin1Char('/') + rel, oldCopy);
            emit message(tr("Patching %1").arg(rel));
        }
        addSubTask(new UpdateSelfFileTaskSpecification(entry, m_Config, this, 1.0 / extracted));
    }
    m_State = STATE_RUNNING;
    startSubTasks();
}

void UpdateSelfUnzipTaskSpecification::subtasksDone()
{
    const QString temp = m_Config->m_TempDir + QLatin1Char('/');
    for (const ReplaceEntry& entry : *m_ReplaceList) {
        const QString rel = entry.relativePath(QString());
        if (rel.endsWith(QLatin1String("/MacOS/update")) || rel.endsWith(QLatin1String(".dylib"))) {
            FileReplaceTaskSpecification::makeExecutable(temp + rel);
            qDebug() << "chmod +x" << rel;
        }
        // No packed file stays inside the new bundle.
        if (entry.hasTarget() && entry.name.startsWith(QLatin1String("SharedSupport/update.app/")))
            QFile::remove(temp + entry.name);
    }
    const QString bundle = temp + QStringLiteral("SharedSupport/update.app/Contents/");
    for (const char* folder : {"Frameworks", "Plugins"}) {
        const QString target = temp + QLatin1String(folder);
        const QString link = bundle + QLatin1String(folder);
        const bool linked = QFile::link(target, link);
        qDebug() << "Create symlink" << target << link << linked;
    }
    const QString sharedSupport = temp + QStringLiteral("SharedSupport");
    const bool recorded = UpdateIniData::modifyTempIni(sharedSupport);
    copyTranslations();
    if (!recorded) {
        // Without its record the new updater would not know this session: it is never started.
        emit message(UpdateIniData::writeFailureText(sharedSupport + QStringLiteral("/update.ini")));
        if (aggregateState() != STATE_CANCELLED) {
            fail();
            return;
        }
    }
    ComposedTaskSpecification::subtasksDone();
}

void UpdateSelfUnzipTaskSpecification::copyTranslations()
{
    const QDir source(Configuration::appDirBase() + QStringLiteral("/translations"));
    const QStringList names =
        source.entryList({QStringLiteral("update_*.qm")}, QDir::Files, QDir::NoSort);
    const QString destination = m_Config->m_TempDir + QStringLiteral("/SharedSupport/translations");
    if (!QFileInfo::exists(destination))
        QDir().mkdir(destination);
    for (const QString& name : names) {
        const QString to = destination + QLatin1Char('/') + name;
        qDebug() << "Copying qm file" << source.filePath(name) << to;
        if (!QFileInfo::exists(to))
            QFile::copy(source.filePath(name), to);
    }
}

void UpdateSelfUnzipTaskSpecification::reset()
{
    dropSubTasks();
    ComposedTaskSpecification::reset(); // no sub-tasks left: clears the end flags of the last run
}
