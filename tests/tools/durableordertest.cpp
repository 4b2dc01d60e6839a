// The durable-order judgement of iofault_durableOrder on made-up call records: the ways a
// replacement may be written (a rename aside, a hard link aside, an exchanging rename; syncs per
// file and folder or one syncfs) pass when they sync in time, and each missing sync is named.

#include "common/durableorder.h"

#include <gtest/gtest.h>

namespace
{
const QString kBundle = QStringLiteral("/w/install/B.app");
const QString kSessions = QStringLiteral("/w/tmp/voxtrel_temp_");

class Calls
{
public:
    Calls& add(const char* kind, const char* function, const QString& path, const QString& path2 = QString())
    {
        IoFaultInjector::Call call;
        call.seq = m_Calls.size() + 1;
        call.kind = QLatin1String(kind);
        call.pid = m_Pid;
        call.function = QLatin1String(function);
        call.result = QStringLiteral("ok");
        call.path = path;
        call.path2 = path2;
        m_Calls << call;
        return *this;
    }
    // A new file written beside its name, as "<name>._vxnew_" (through a partial output).
    Calls& newFile(const QString& name, bool synced)
    {
        const QString part = name + QStringLiteral("._vxnew_.1.part");
        add("create", "openat", part).add("write", "write", part);
        if (synced)
            add("sync", "fsync", part);
        return add("rename", "renameat", part, name + QStringLiteral("._vxnew_"));
    }
    Calls& syncFolder(const QString& folder) { return add("sync", "fsync", folder); }
    QStringList gaps(QString* error = nullptr) const
    {
        QString ignored;
        return DurableOrder::gaps(m_Calls, kBundle, kSessions, error ? error : &ignored);
    }

private:
    QList<IoFaultInjector::Call> m_Calls;
    qint64 m_Pid = 7;
};

const QString kDir = kBundle + QStringLiteral("/Contents/MacOS");
const QString kFile = kDir + QStringLiteral("/client");
const QString kOther = kBundle + QStringLiteral("/Contents/Resources/a.txt");
} // namespace

TEST(DurableOrder, RenameAsideSyncedInTimePasses)
{
    Calls calls;
    calls.newFile(kFile, true)
        .add("rename", "renameat", kFile, kFile + QStringLiteral("._vxold_"))
        .add("rename", "renameat", kFile + QStringLiteral("._vxnew_"), kFile)
        .syncFolder(kDir)
        .add("unlink", "unlinkat", kFile + QStringLiteral("._vxold_"));
    QString error;
    EXPECT_EQ(calls.gaps(&error), QStringList());
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
}

TEST(DurableOrder, EachMissingSyncIsNamed)
{
    struct Case
    {
        const char* name;
        bool fileSynced;
        bool folderSynced;
        bool folderSyncedTooEarly;
        QStringList expected;
    };
    const Case cases[] = {
        {"file not synced", false, true, false,
         {QStringLiteral("no fsync of %1._vxnew_ before it was renamed to %1").arg(kFile)}},
        {"folder not synced", true, false, false,
         {QStringLiteral("folder %1 not synced before %2._vxold_").arg(kDir, kFile)}},
        {"folder synced before its last change", true, false, true,
         {QStringLiteral("folder %1 not synced before %2._vxold_").arg(kDir, kFile)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Calls calls;
        calls.newFile(kFile, c.fileSynced);
        if (c.folderSyncedTooEarly)
            calls.syncFolder(kDir);
        calls.add("rename", "renameat", kFile, kFile + QStringLiteral("._vxold_"))
            .add("rename", "renameat", kFile + QStringLiteral("._vxnew_"), kFile);
        if (c.folderSynced)
            calls.syncFolder(kDir);
        calls.add("unlink", "unlinkat", kFile + QStringLiteral("._vxold_"));
        EXPECT_EQ(calls.gaps(), c.expected);
    }
}

// A hard link as the aside and one syncfs on the bundle instead of per-folder syncs; the record
// says committed before the originals go.
TEST(DurableOrder, LinkAsideWithSyncfsPasses)
{
    const QString record = kSessions + QStringLiteral("0/SharedSupport/update.ini");
    Calls calls;
    calls.newFile(kFile, true)
        .newFile(kOther, true)
        .add("link", "linkat", kFile, kFile + QStringLiteral("._vxold_"))
        .add("rename", "renameat", kFile + QStringLiteral("._vxnew_"), kFile)
        .add("rename", "renameat", kOther + QStringLiteral("._vxnew_"), kOther)
        .add("sync", "syncfs", kBundle + QStringLiteral("/Contents"))
        .add("create", "openat", record + QStringLiteral(".1.part"))
        .add("write", "write", record + QStringLiteral(".1.part"))
        .add("sync", "fdatasync", record + QStringLiteral(".1.part"))
        .add("rename", "renameat", record + QStringLiteral(".1.part"), record)
        .add("unlink", "unlinkat", kFile + QStringLiteral("._vxold_"));
    QString error;
    EXPECT_EQ(calls.gaps(&error), QStringList());
    EXPECT_TRUE(error.isEmpty());
}

// An exchanging rename leaves the original at the "._vxnew_" name: its removal after the last
// file is the commit.
TEST(DurableOrder, ExchangeNeedsTheFolderSyncedBeforeTheOriginalGoes)
{
    for (bool synced : {true, false}) {
        SCOPED_TRACE(synced);
        Calls calls;
        calls.newFile(kFile, true).add("rename", "renameat2", kFile + QStringLiteral("._vxnew_"), kFile);
        if (synced)
            calls.syncFolder(kDir);
        calls.add("unlink", "unlinkat", kFile + QStringLiteral("._vxnew_"));
        QString error;
        EXPECT_EQ(calls.gaps(&error).size(), synced ? 0 : 1);
        EXPECT_TRUE(error.isEmpty());
    }
}

// Qt's writer: an unnamed file (O_TMPFILE) written, synced, linked under a temporary name and
// renamed over the record.
TEST(DurableOrder, UnnamedFileFollowedThroughItsLink)
{
    const QString folder = kSessions + QStringLiteral("0/SharedSupport");
    const QString unnamed = folder + QStringLiteral("/#1234 (deleted)");
    for (bool synced : {true, false}) {
        SCOPED_TRACE(synced);
        Calls calls;
        calls.add("create", "open64", folder).add("write", "write", unnamed);
        if (synced)
            calls.add("sync", "fdatasync", unnamed);
        calls.add("link", "linkat", unnamed, folder + QStringLiteral("/update.ini.Ab12Cd"))
            .add("rename", "rename", folder + QStringLiteral("/update.ini.Ab12Cd"), folder + QStringLiteral("/update.ini"))
            .newFile(kFile, true)
            .add("rename", "renameat", kFile + QStringLiteral("._vxnew_"), kFile)
            .syncFolder(kDir)
            .add("unlink", "unlinkat", kFile + QStringLiteral("._vxnew_"));
        EXPECT_EQ(calls.gaps().size(), synced ? 0 : 1);
    }
}

TEST(DurableOrder, NothingToJudgeIsAnError)
{
    QString error;
    Calls empty;
    empty.gaps(&error);
    EXPECT_FALSE(error.isEmpty());
    Calls noCommit;
    noCommit.newFile(kFile, true).add("rename", "renameat", kFile + QStringLiteral("._vxnew_"), kFile);
    noCommit.gaps(&error);
    EXPECT_FALSE(error.isEmpty());
}
