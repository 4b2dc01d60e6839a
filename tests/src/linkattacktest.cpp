// Another local user owns folders inside the client bundle and plants or swaps in links to
// folders and files that only root may change, while root updates the bundle.  Nothing outside
// the bundle may be written, removed or re-moded; the user's own links keep working.
//
// Races are made certain rather than likely: this program puts its own unlink, rename and open
// in front of the C library's (an executable's symbols come first), and a trap armed by a test
// swaps a name for a link at the moment the updater reaches a given file.
#include "configuration.h"
#include "filedeletelisttaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filefuncpatch.h"
#include "fileinstalltaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "fileunpackfunc_lzma2.h"
#include "fileunpackfunc_zip.h"

#include "common/clientbundle.h"
#include "common/otheruser.h"
#include "common/taskrunner.h"
#include "common/treesnapshot.h"
#include "common/updatefiles.h"

#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// One swap, done once when a call of the given kind names a path containing `match`.
struct Trap
{
    enum Call { Unlink, Open, RenameDone } call = Unlink;
    std::string match;    // RenameDone: the target's last name, exactly
    std::string alsoFrom; // RenameDone: the source must contain this as well
    std::function<void()> action;
    bool armed = false;
};
Trap g_trap;

void fire(Trap::Call call, const char* path, const char* from = nullptr)
{
    if (!g_trap.armed || g_trap.call != call || !path)
        return;
    const char* slash = std::strrchr(path, '/');
    if (call == Trap::RenameDone ? g_trap.match != (slash ? slash + 1 : path)
                                 : !std::strstr(path, g_trap.match.c_str()))
        return;
    if (!g_trap.alsoFrom.empty() && (!from || !std::strstr(from, g_trap.alsoFrom.c_str())))
        return;
    g_trap.armed = false;
    g_trap.action();
}

template <typename F>
F real(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The other user's hand: `name` becomes a link of theirs to `target`; what stood there keeps
// existing under name + ".moved".
void swapForLink(const QString& name, const QString& target)
{
    const QByteArray n = QFile::encodeName(name);
    ::rename(n.constData(), (n + ".moved").constData());
    if (::symlink(QFile::encodeName(target).constData(), n.constData()) == 0)
        ::lchown(n.constData(), OtherUser::kUid, OtherUser::kGid);
}

mode_t modeOf(const QString& path)
{
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}
} // namespace

extern "C" {
int unlink(const char* path)
{
    fire(Trap::Unlink, path);
    return real<int (*)(const char*)>("unlink")(path);
}
int unlinkat(int fd, const char* path, int flags)
{
    fire(Trap::Unlink, path);
    return real<int (*)(int, const char*, int)>("unlinkat")(fd, path, flags);
}
int rename(const char* from, const char* to)
{
    const int r = real<int (*)(const char*, const char*)>("rename")(from, to);
    if (r == 0)
        fire(Trap::RenameDone, to, from);
    return r;
}
int renameat(int fromFd, const char* from, int toFd, const char* to)
{
    const int r = real<int (*)(int, const char*, int, const char*)>("renameat")(fromFd, from, toFd, to);
    if (r == 0)
        fire(Trap::RenameDone, to, from);
    return r;
}
int renameat2(int fromFd, const char* from, int toFd, const char* to, unsigned flags)
{
    const int r = real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
        fromFd, from, toFd, to, flags);
    if (r == 0)
        fire(Trap::RenameDone, to, from);
    return r;
}
static mode_t modeArgument(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(args, int)) : 0;
}
int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    fire(Trap::Open, path);
    return real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}
int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    fire(Trap::Open, path);
    return real<int (*)(const char*, int, ...)>("open64")(path, flags, mode);
}
}

class LinkAttackTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_Dir;
    std::unique_ptr<ClientBundle> m_Bundle;
    Configuration m_Config;
    QString m_Outside; // root's folder outside the bundle

    QString temp(const QString& name) const { return m_Config.m_TempDir + "/" + name; }
    QString outside(const QString& name) const { return m_Outside + "/" + name; }

    // Root's files outside the bundle that the other user must not reach.
    bool makeOutside()
    {
        return ClientBundle::writeFile(outside("help/index.html"), "root's page")
            && ClientBundle::writeFile(outside("sounds/default/welcome.wav"), "root's sound")
            && ClientBundle::writeFile(outside("sounds/default/tree/deep.txt"), "root's tree")
            && ClientBundle::writeFile(outside("secret"), "root only") && ::chmod(QFile::encodeName(outside("secret")).constData(), 0600) == 0;
    }

    // A gzip download for the entry installed at rel.
    ReplaceEntry gzipEntry(const QString& rel, const QByteArray& content)
    {
        ReplaceEntry e;
        e.group = ".";
        e.target = rel;
        e.name = rel + ".gz";
        e.unpackedHash = ClientBundle::sha512Hex(content).toUpper();
        e.unpackedSize = quint64(content.size());
        ClientBundle::writeFile(temp(e.name), UpdateFiles::gzip(content));
        return e;
    }

    // The bundle's Resources folder, with links "help" and "sound packs" to root's folders,
    // belongs to the given user (links included).
    bool plantLinks(bool otherUser)
    {
        const QString resources = m_Bundle->path("Resources");
        if (!m_Bundle->addFile("Resources/readme.txt", "readme")
            || !QFile::link(outside("help"), resources + "/help")
            || !QFile::link(outside("sounds"), resources + "/sound packs"))
            return false;
        return !otherUser || OtherUser::giveTree(resources);
    }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
        qRegisterMetaType<TaskSpecification*>();
    }

    void init()
    {
        g_trap = Trap();
        m_Dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_Dir->isValid());
        m_Bundle = std::make_unique<ClientBundle>(m_Dir->path());
        QVERIFY(m_Bundle->isValid());
        m_Config.m_InstallDir = m_Bundle->contentsDir();
        m_Config.m_TempDir = m_Dir->path() + "/session";
        // The step's updater runs from the session folder, whose record the commit marks.
        QVERIFY(QDir().mkpath(m_Config.m_TempDir + "/SharedSupport/update.app/Contents/MacOS"));
        Configuration::setApplicationDirForTesting(m_Config.m_TempDir + "/SharedSupport/update.app/Contents/MacOS");
        m_Outside = m_Dir->path() + "/rootonly";
        QVERIFY(makeOutside());
        // Only root can give a tree to the other user (no program runs as them here).
        if (getuid() != 0)
            QSKIP("needs root to give folders and links to a second user");
    }

    void cleanup()
    {
        g_trap = Trap();
        Configuration::setApplicationDirForTesting(QString());
    }

    // Files installed below planted folder links: the other user's links are not followed (the
    // step fails and rolls back), the user's own are (the files there are replaced).
    void plantedFolderLinks_data()
    {
        QTest::addColumn<bool>("otherUser");
        QTest::newRow("the other user's links") << true;
        QTest::newRow("root's own links") << false;
    }

    void plantedFolderLinks()
    {
        QFETCH(bool, otherUser);
        QVERIFY(plantLinks(otherUser));
        QList<ReplaceEntry> entries{gzipEntry("Resources/help/index.html", "new page"),
            gzipEntry("Resources/sound packs/default/welcome.wav", "new sound")};
        QList<DeleteEntry> deletes;
        const TreeSnapshot before = TreeSnapshot::take(m_Outside);
        FileReplaceListTaskSpecification task(&entries, &deletes, &m_Config, nullptr, 1.0);
        const int state = runTask(task);
        if (otherUser) {
            QCOMPARE(state, int(TaskSpecification::STATE_FAILED));
            QCOMPARE(TreeSnapshot::take(m_Outside).differences(before), QStringList());
        } else {
            QCOMPARE(state, int(TaskSpecification::STATE_FINISHED));
            QCOMPARE(ClientBundle::readFile(outside("help/index.html")), QByteArray("new page"));
            QCOMPARE(ClientBundle::readFile(outside("sounds/default/welcome.wav")), QByteArray("new sound"));
        }
    }

    void deleteListThroughPlantedLinks_data() { plantedFolderLinks_data(); }

    void deleteListThroughPlantedLinks()
    {
        QFETCH(bool, otherUser);
        QVERIFY(plantLinks(otherUser));
        QList<DeleteEntry> deletes;
        for (const auto& d : {qMakePair(QString("Resources/help/index.html"), false),
                 qMakePair(QString("Resources/sound packs/default/tree"), true),
                 qMakePair(QString("Resources/sound packs/default/welcome.wav"), false)}) {
            DeleteEntry e;
            e.path = d.first;
            e.isDir = d.second;
            deletes << e;
        }
        const TreeSnapshot before = TreeSnapshot::take(m_Outside);
        FileDeleteListTaskSpecification task(&deletes, &m_Config, nullptr, 1.0);
        QCOMPARE(runTask(task), int(TaskSpecification::STATE_FINISHED));
        const QStringList changed = TreeSnapshot::take(m_Outside).differences(before);
        if (otherUser)
            QCOMPARE(changed, QStringList());
        else
            QCOMPARE(changed.size(), 4); // the page, the sound, the tree and its file
        QVERIFY(m_Bundle->exists("Resources/readme.txt"));
    }

    // The updater runs as the second user over their own bundle, in which a third user owns the
    // Resources folder and has linked "help" to the second user's own files elsewhere: the delete
    // list removes nothing there.
    void deleteListAsTheSecondUser()
    {
        QVERIFY(plantLinks(true));
        QVERIFY(OtherUser::giveTree(m_Dir->path()));
        const QString resources = m_Bundle->path("Resources");
        for (const QString& entry : {resources, resources + "/help", resources + "/sound packs"})
            QVERIFY(::lchown(QFile::encodeName(entry).constData(), OtherUser::kUid - 1, OtherUser::kGid - 1) == 0);
        const QString reason = OtherUser::unavailableReason(m_Dir->path());
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        const TreeSnapshot before = TreeSnapshot::take(m_Outside);
        const int kept = OtherUser::run([&] {
            FileDeleteTaskSpecification file(false, resources + "/help/index.html", false, nullptr, 1.0);
            FileDeleteTaskSpecification tree(false, resources + "/sound packs/default", true, nullptr, 1.0);
            return file.doOp() && tree.doOp() ? 1 : 0;
        });
        QCOMPARE(kept, 1);
        QCOMPARE(TreeSnapshot::take(m_Outside).differences(before), QStringList());
    }

    // Start-up's restore lists the tree, then the other user swaps a listed folder for a link to
    // root's folder, where files of the same names lie.
    void restoreAfterTheScan()
    {
        QVERIFY(m_Bundle->addFile("Resources/page._vxnew_", "partial"));
        QVERIFY(m_Bundle->addFile("Resources/page._vxold_", "original"));
        QVERIFY(ClientBundle::writeFile(outside("help/page._vxnew_"), "root's"));
        QVERIFY(ClientBundle::writeFile(outside("help/page._vxold_"), "root's aside"));
        QVERIFY(OtherUser::giveTree(m_Bundle->path("Resources")));
        const TreeSnapshot before = TreeSnapshot::take(m_Outside);
        const QString resources = m_Bundle->path("Resources");
        g_trap.call = Trap::Unlink;
        g_trap.match = "page._vxnew_";
        g_trap.action = [&] { swapForLink(resources, outside("help")); };
        g_trap.armed = true;
        FileInstallTaskSpecification::restoreInterrupted(m_Bundle->contentsDir());
        QVERIFY2(!g_trap.armed, "the restore never removed the partial file");
        QCOMPARE(TreeSnapshot::take(m_Outside).differences(before), QStringList());
        // The work was done in the folder that was listed.
        QCOMPARE(ClientBundle::readFile(resources + ".moved/page"), QByteArray("original"));
        QVERIFY(!QFileInfo::exists(resources + ".moved/page._vxnew_"));
    }

    // The output's name is free when it is looked at; the other user puts a link to root's file
    // there before the decoder writes.
    void outputLinkAfterTheCheck_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("container") << "lzma2";
        QTest::newRow("gzip") << "gzip";
        QTest::newRow("patch") << "patch";
    }

    void outputLinkAfterTheCheck()
    {
        QFETCH(QString, kind);
        const QByteArray content = QByteArray(5000, 'n') + "new";
        const QString source = temp("download");
        const QString old = temp("old");
        QByteArray download;
        if (kind == "lzma2")
            download = UpdateFiles::container(content, false, m_Dir->path());
        else if (kind == "gzip")
            download = UpdateFiles::gzip(content);
        else
            download = UpdateFiles::patch("old content", content);
        QVERIFY(ClientBundle::writeFile(source, download));
        QVERIFY(ClientBundle::writeFile(old, "old content"));
        QVERIFY(m_Bundle->addDir("Resources"));
        QVERIFY(OtherUser::giveTree(m_Bundle->path("Resources")));
        const QString destination = m_Bundle->path("Resources/file._vxnew_");
        g_trap.call = Trap::Open;
        g_trap.match = QFile::encodeName(source).toStdString();
        g_trap.action = [&] { swapForLink(destination, outside("secret")); };
        g_trap.armed = true;
        std::unique_ptr<SlowFileOpFunc> func;
        if (kind == "lzma2")
            func = std::make_unique<FileUnpackFunc_lzma2>(source, destination, 1 << 20, false);
        else if (kind == "gzip")
            func = std::make_unique<FileUnpackFunc_Zip>(source, destination, 1 << 20);
        else
            func = std::make_unique<FileFuncPatch>(old, source, destination, 1 << 20);
        func->run();
        QVERIFY2(!g_trap.armed, "the decoder never opened its input");
        QCOMPARE(ClientBundle::readFile(outside("secret")), QByteArray("root only"));
        QCOMPARE(modeOf(outside("secret")), mode_t(0600));
    }

    // The new executable has taken its name; the other user swaps it for a link to root's 0600
    // file before the updater is done with it.
    void executableSwappedAfterInstall()
    {
        QVERIFY(m_Bundle->addFile("MacOS/vx3client_mac", "old client"));
        QVERIFY(OtherUser::giveTree(m_Bundle->path("MacOS")));
        QList<ReplaceEntry> entries{gzipEntry("MacOS/vx3client_mac", "new client")};
        QList<DeleteEntry> deletes;
        const QString installed = m_Bundle->path("MacOS/vx3client_mac");
        g_trap.call = Trap::RenameDone;
        g_trap.match = "vx3client_mac";
        g_trap.alsoFrom = "_vxnew_";
        g_trap.action = [&] { swapForLink(installed, outside("secret")); };
        g_trap.armed = true;
        FileReplaceListTaskSpecification task(&entries, &deletes, &m_Config, nullptr, 1.0);
        runTask(task);
        QVERIFY2(!g_trap.armed, "the new file never took its name");
        QCOMPARE(modeOf(outside("secret")), mode_t(0600));
        // The mode was given to the new file itself.
        QCOMPARE(modeOf(installed + ".moved"), mode_t(0755));
    }
};

QTEST_GUILESS_MAIN(LinkAttackTest)
#include "linkattacktest.moc"
