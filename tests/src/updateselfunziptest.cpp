// The updater step's self-update on a real session folder: patched, unpacked and gzip files in
// the new updater's layout, each checked against its hash, the permissions, the links into the
// session folder, the new "update.ini" record and the translation files.
#include "configuration.h"
#include "updateselfunziptaskspecification.h"
#include "updateinidata.h"

#include "common/callfaults.h"
#include "common/clientbundle.h"
#include "common/taskrunner.h"
#include "common/treesnapshot.h"
#include "common/updatefiles.h"

#include <QLoggingCategory>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{
const QString kExe = QStringLiteral("SharedSupport/update.app/Contents/MacOS/update");
const QString kConf = QStringLiteral("SharedSupport/update.app/Contents/Resources/qt.conf");
const QString kLib = QStringLiteral("Frameworks/libvx.dylib");
const QString kNamedUpdate = QStringLiteral("Resources/update");
} // namespace

class UpdateSelfUnzipTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_Dir;
    std::unique_ptr<ClientBundle> m_Bundle;
    Configuration m_Config;
    QList<ReplaceEntry> m_Entries;
    QByteArray m_Exe1, m_Exe2;

    QString temp(const QString& name) const { return m_Config.m_TempDir + "/" + name; }

    ReplaceEntry entry(const QString& name, const QString& target, const QByteArray& content,
                       const QByteArray& download, const QString& patch = QString())
    {
        ReplaceEntry e;
        e.group = ".";
        e.name = name;
        e.target = target;
        e.patch = patch;
        e.unpackedHash = ClientBundle::sha512Hex(content);
        e.unpackedSize = quint64(content.size());
        if (!ClientBundle::writeFile(temp(patch.isEmpty() ? name : patch), download))
            e.name.clear();
        return e;
    }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
        qRegisterMetaType<TaskSpecification*>();
        m_Exe1 = UpdateFiles::fixture("macho64_exe_v1");
        m_Exe2 = UpdateFiles::fixture("macho64_exe_v2");
        QVERIFY(!m_Exe1.isEmpty() && !m_Exe2.isEmpty());
    }

    void init()
    {
        m_Dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_Dir->isValid());
        m_Bundle = std::make_unique<ClientBundle>(m_Dir->path());
        m_Config.m_InstallDir = m_Bundle->contentsDir();
        m_Config.m_TempDir = m_Dir->path() + "/session";
        QVERIFY(QDir().mkpath(temp("Frameworks")) && QDir().mkpath(temp("Plugins")));
        // The running updater is the installed one, with its session record and translations.
        QVERIFY(m_Bundle->addFile(kExe, m_Exe1));
        QVERIFY(m_Bundle->addFile("SharedSupport/translations/update_de.qm", "de"));
        QVERIFY(m_Bundle->addFile("SharedSupport/translations/update_fr.qm", "fr"));
        QVERIFY(m_Bundle->addFile("SharedSupport/translations/qt_de.qm", "qt"));
        Configuration::setApplicationDirForTesting(m_Bundle->path("SharedSupport/update.app/Contents/MacOS"));
        QVERIFY(UpdateIniData::modify(57, m_Config.m_TempDir, m_Bundle->contentsDir(), "update_macosx"));
        QVERIFY(ClientBundle::writeFile(temp("SharedSupport/translations/update_de.qm"), "already there"));

        const QByteArray conf = "[Paths]\nPlugins = PlugIns\n";
        const QByteArray lib(50000, 'L');
        m_Entries = {
            entry(kExe + "._lzma2_", kExe, m_Exe2, UpdateFiles::patch(m_Exe1, m_Exe2, true), kExe + "_patch_"),
            entry(kConf + "._lzma2_", kConf, conf, UpdateFiles::container(conf, false, m_Dir->path())),
            entry(kLib + ".gz", kLib, lib, UpdateFiles::gzip(lib)),
            entry(kNamedUpdate + ".gz", kNamedUpdate, "not the updater", UpdateFiles::gzip("not the updater")),
        };
        ReplaceEntry plain;
        plain.group = ".";
        plain.name = "Plugins/plain.txt";
        QVERIFY(ClientBundle::writeFile(temp(plain.name), "plain"));
        m_Entries << plain;
        for (const ReplaceEntry& e : m_Entries)
            QVERIFY(!e.name.isEmpty());
    }

    void cleanup() { Configuration::setApplicationDirForTesting(QString()); }

    void buildsTheNewUpdater()
    {
        const TreeSnapshot installedBefore = TreeSnapshot::take(m_Bundle->contentsDir());
        UpdateSelfUnzipTaskSpecification task(&m_Entries, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        QCOMPARE(runTask(task), int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(spyTexts(messages), QStringList{"Patching " + kExe});
        QCOMPARE(task.m_SubTasks.size(), 4);
        for (const auto& p : progress)
            QVERIFY(p.at(0).toReal() <= 0.4 + 1e-9);
        QCOMPARE(task.m_Progress, 0.4);

        const TreeSnapshot s = TreeSnapshot::take(m_Config.m_TempDir);
        QCOMPARE(s.node(kExe).content, m_Exe2);
        QCOMPARE(s.node(kExe).mode, 0755);
        QCOMPARE(s.node(kExe + "_old").content, m_Exe1);
        QCOMPARE(s.node(kLib).mode, 0755);
        QCOMPARE(s.node(kNamedUpdate).mode & 0111, 0);
        QCOMPARE(s.node(kConf).content, QByteArray("[Paths]\nPlugins = PlugIns\n"));
        // Packed files inside the new bundle are gone; the others stay in the session folder.
        QVERIFY(!s.contains(kExe + "._lzma2_") && !s.contains(kConf + "._lzma2_"));
        QVERIFY(s.contains(kLib + ".gz") && s.contains(kExe + "_patch_"));
        for (const char* folder : {"Frameworks", "Plugins"}) {
            const TreeSnapshot::Node link = s.node(QString("SharedSupport/update.app/Contents/") + folder);
            QCOMPARE(int(link.kind), int(TreeSnapshot::Node::Link));
            QCOMPARE(QString::fromUtf8(link.content), temp(folder));
        }
        QSettings ini(temp("SharedSupport/update.ini"), QSettings::IniFormat);
        QCOMPARE(ini.value("current/version").toInt(), 57);
        QCOMPARE(ini.value("current/dir").toString(), m_Config.m_TempDir);
        QCOMPARE(ini.value("current/type").toString(), Configuration::defaultClientType(true));
        // Missing translations of the updater are copied, present ones kept, Qt's left out.
        QCOMPARE(s.node("SharedSupport/translations/update_de.qm").content, QByteArray("already there"));
        QCOMPARE(s.node("SharedSupport/translations/update_fr.qm").content, QByteArray("fr"));
        QVERIFY(!s.contains("SharedSupport/translations/qt_de.qm"));
        // The installed client was only read.
        QCOMPARE(TreeSnapshot::take(m_Bundle->contentsDir()).differences(installedBefore), QStringList{});
    }

    // A file that does not come out as the list says is not left for the new updater to use; the
    // bundle is still finished and the step fails.
    void badFileFailsTheStep_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("text");
        QTest::newRow("patched file with another hash") << 0 << "hash" << "Signature check failed for %1";
        QTest::newRow("unpacked file with another hash") << 1 << "hash" << "Signature check failed for %1";
        QTest::newRow("gzip file over its size") << 2 << "size" << "Could not unzip '%2' to '%1'";
        QTest::newRow("patch without installed file") << 0 << "installed" << "Could not patch '%1_old' to '%1'";
    }

    void badFileFailsTheStep()
    {
        QFETCH(int, position);
        QFETCH(QString, fault);
        QFETCH(QString, text);
        ReplaceEntry& e = m_Entries[position];
        if (fault == "hash")
            e.unpackedHash = ClientBundle::sha512Hex("other");
        else if (fault == "size")
            e.unpackedSize -= 1;
        else
            QVERIFY(QFile::remove(m_Bundle->path(e.target)));
        UpdateSelfUnzipTaskSpecification task(&m_Entries, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QCOMPARE(runTask(task), int(TaskSpecification::STATE_FAILED));
        text.replace("%2", temp(e.name)).replace("%1", temp(e.target));
        QVERIFY2(spyTexts(messages).contains(text),
                 qPrintable(spyTexts(messages).join("\n")));
        QVERIFY(!QFileInfo::exists(temp(e.target)));
        QVERIFY(QFileInfo(temp("SharedSupport/update.ini")).isFile());
    }

    // The new updater's record is what makes it continue this session: when any write of it
    // fails, the step fails, so that the client step is never started without it.
    void recordWriteFailureFailsTheStep_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("where"); // @S@: the session folder, @T@: the temp folder
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("fires"); // false: nothing may touch that file any more
        using C = CallFaults::Kind;
        QTest::newRow("session record, write") << int(C::Write) << "@S@/SharedSupport/*update.ini" << int(ENOSPC) << true;
        QTest::newRow("session record, sync") << int(C::Sync) << "@S@/SharedSupport/*update.ini" << int(EIO) << true;
        QTest::newRow("session record, rename") << int(C::Rename) << "@S@/SharedSupport/*update.ini" << int(EROFS) << true;
        QTest::newRow("session record, created") << int(C::Create) << "@S@/SharedSupport/*update.ini" << int(EDQUOT) << true;
        QTest::newRow("session record's folder, sync") << int(C::Sync) << "@S@/SharedSupport$" << int(EIO) << true;
        QTest::newRow("private copy, write") << int(C::Write) << "@T@/update.ini." << int(ENOSPC) << true;
        QTest::newRow("private copy, lock file") << int(C::Create) << "@T@/update.ini.*.lock" << int(EIO) << true;
        QTest::newRow("lock file beside the session record") << int(C::Create) << "@S@/SharedSupport/update.ini.lock" << int(EIO) << false;
    }

    void recordWriteFailureFailsTheStep()
    {
        QFETCH(int, kind);
        QFETCH(QString, where);
        QFETCH(int, error);
        QFETCH(bool, fires);
        where.replace("@S@", m_Config.m_TempDir).replace("@T@", QDir::tempPath());
        UpdateSelfUnzipTaskSpecification task(&m_Entries, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&task, &TaskSpecification::message);
        // Only the record's files match: the extractions before it run unharmed.
        CallFaults::fail(CallFaults::Kind(kind), QFile::encodeName(where), error);
        const int state = runTask(task);
        const int fired = CallFaults::failures();
        CallFaults::disarm();
        QCOMPARE(fired > 0, fires);
        QSettings ini(temp("SharedSupport/update.ini"), QSettings::IniFormat);
        if (!fires) {
            QCOMPARE(state, int(TaskSpecification::STATE_FINISHED));
            QCOMPARE(ini.value("current/version").toInt(), 57);
            return;
        }
        QCOMPARE(state, int(TaskSpecification::STATE_FAILED));
        QVERIFY2(spyTexts(messages).contains("Could not write the session record " + temp("SharedSupport/update.ini")),
                 qPrintable(spyTexts(messages).join("\n")));
        // No partial record: the file is there complete or not at all.
        QVERIFY(!QFileInfo::exists(temp("SharedSupport/update.ini")) || ini.value("current/version").toInt() == 57);
        QCOMPARE(QDir(temp("SharedSupport")).entryList({".update.ini*", "update.ini.*"}, QDir::AllEntries | QDir::Hidden),
                 QStringList{});
    }

    void onlyPlainEntries()
    {
        QList<ReplaceEntry> plain{m_Entries.last()};
        UpdateSelfUnzipTaskSpecification task(&plain, &m_Config, nullptr, 0.4);
        QCOMPARE(runTask(task), int(TaskSpecification::STATE_FINISHED));
        QVERIFY(task.m_SubTasks.isEmpty());
        QVERIFY(QFileInfo(temp("SharedSupport/update.app/Contents/Frameworks")).isSymLink());
    }
};

QTEST_MAIN(UpdateSelfUnzipTest)
#include "updateselfunziptest.moc"
