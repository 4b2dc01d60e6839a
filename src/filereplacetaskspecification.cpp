#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filecopytaskspecification.h"
#include "fileinstalltaskspecification.h"
#include "filetaskspecification_patch.h"
#include "nofollowfile.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

const QStringList FileReplaceTaskSpecification::kExecutableNames = {QStringLiteral("vx3client_mac"),
    QStringLiteral("update"), QStringLiteral("glitchpost"), QStringLiteral("wareloader"),
    QStringLiteral("libQt5Core"), QStringLiteral("libQt5Gui"), QStringLiteral("libQt5Network"),
    QStringLiteral("libQt5PrintSupport"), QStringLiteral("libQt5Sql"),
    QStringLiteral("libQt5Widgets")};
const QStringList FileReplaceTaskSpecification::kExecutableSuffixes = {QStringLiteral("dylib")};

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const ReplaceEntry& entry,
    QList<DeleteEntry>* deleteList, RollbackDataList* sharedRollbackList, Configuration* config,
    QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
    , m_Entry(entry)
    , m_DeleteList(deleteList)
    , m_SharedRollbackList(sharedRollbackList)
    , m_Config(config)
{
}

void FileReplaceTaskSpecification::execute()
{
    emit message(tr("add/replace %1").arg(m_Entry.name));
    makeSubtasksAndStart();
}

QString FileReplaceTaskSpecification::installedPath() const
{
    return QFileInfo(QDir(m_Config->m_InstallDir), m_Entry.relativePath(QString())).filePath();
}

QString FileReplaceTaskSpecification::newFilePath() const
{
    return installedPath() + FileInstallTaskSpecification::kNewSuffix;
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString rel = m_Entry.relativePath(QString());
    const QString download = QFileInfo(QDir(m_Config->m_TempDir), m_Entry.name).filePath();
    const QString installed = installedPath();
    const QString newFile = newFilePath();
    const QString oldCopy = m_Config->m_TempDir + QLatin1Char('/') + rel + QStringLiteral("_old");
    const QString patchFile = m_Config->m_TempDir + QLatin1Char('/') + m_Entry.patch;
    qDebug() << "FileReplaceTaskSpecification: entry:" << m_Entry.name << " src:" << download
             << " dstFile:" << installed << " hasPatch:" << (m_Entry.hasPatch() ? "true" : "false")
             << " patchFile:" << m_Entry.patch;

    NoFollowFile::pinParent(&m_Folder, installed);
    NoFollowFile::removeIfPresent(newFile); // left by an interrupted run
    // The new file is written under a temporary name: the texts name the file the user knows.
    SlowFileOpSpecification* make = nullptr;
    if (m_Entry.hasTarget()) {
        if (m_Entry.hasPatch()) {
            qDebug() << "HAS PATCH" << m_Entry.patch;
            const bool removed = QFile::remove(oldCopy);
            qDebug() << "Remove" << oldCopy << removed;
            const QString oldFolder = QFileInfo(oldCopy).absolutePath();
            const bool existed = QFileInfo::exists(oldFolder);
            qDebug() << "tempOldAbsPath" << oldFolder << existed;
            if (!existed) {
                const bool created = QDir().mkpath(oldFolder);
                qDebug() << "Created" << oldFolder << created;
            }
            // A missing installed file makes the patch fail below.
            const bool copied = NoFollowFile::copyFresh(installed, oldCopy);
            qDebug() << "Copy" << installed << "->" << oldCopy << copied;
            emit message(tr("Patching %1").arg(rel));
            make = new FileTaskSpecification_patch(
                &m_RollbackList, oldCopy, patchFile, newFile, this, 0.8, m_Entry.unpackedSize);
        } else {
            make =
                makeUnpackTask(&m_RollbackList, download, newFile, this, 0.8, m_Entry.unpackedSize);
        }
        make->showDestinationAs(rel);
        addSubTask(make);
        auto* check =
            new CheckSignatureTaskSpecification(newFile, m_Entry.unpackedHash, true, this, 0.2);
        check->m_ShownName = rel;
        addSubTask(check);
    } else {
        make = new FileCopyTaskSpecification(&m_RollbackList, download, newFile, this, 1.0);
        make->showDestinationAs(rel);
        addSubTask(make);
    }
    m_State = STATE_RUNNING;
    startSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (aggregateState() == STATE_FINISHED) {
        if (m_SharedRollbackList)
            m_SharedRollbackList->append(m_RollbackList);
    } else {
        m_RollbackList.rollback(this);
        // What a failed copy, unpack or patch may have left half-written.
        NoFollowFile::remove(newFilePath());
    }
    m_Folder.Release();
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::reset()
{
    dropSubTasks();
    m_RollbackList.rollback(this);
    m_Folder.Release();
    ComposedTaskSpecification::reset(); // no sub-tasks left: clears the end flags of the last run
}

SlowFileOpSpecification* FileReplaceTaskSpecification::makeUnpackTask(
    RollbackDataList* rollbackList, const QString& download, const QString& destination,
    QObject* parent, qreal weight, quint64 maxOutputSize)
{
    if (QFileInfo(download).suffix() == QLatin1String("_lzma2_"))
        return new FileUnpackTaskSpecification_lzma2(
            rollbackList, download, destination, parent, weight, maxOutputSize);
    return new FileUnpackTaskSpecification_zip(
        rollbackList, download, destination, parent, weight, maxOutputSize);
}

bool FileReplaceTaskSpecification::isExecutable(const QString& path)
{
    const QFileInfo info(path);
    return kExecutableNames.contains(info.fileName()) ||
        kExecutableSuffixes.contains(info.completeSuffix());
}

bool FileReplaceTaskSpecification::makeExecutable(const QString& path)
{
    return NoFollowFile::setMode(path, 0755);
}
