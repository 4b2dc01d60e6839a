// Patch, container unpack and gzip unpack tasks on real files made by the engine's writers: the
// result, the created-file record, the output limit, and a destination that is never touched by
// a failed run.
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "rollbackdatalist.h"

#include "common/clientbundle.h"
#include "common/taskrunner.h"
#include "common/updatefiles.h"

#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{
QByteArray sample(int size)
{
    QByteArray out;
    for (int i = 0; out.size() < size; ++i)
        out += "line " + QByteArray::number(i) + " of the sample file\n";
    return out.left(size);
}
} // namespace

class PatchUnpackTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_Dir;
    QString at(const QString& rel) const { return m_Dir.path() + "/" + rel; }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
        QVERIFY(m_Dir.isValid());
    }

    void task_data()
    {
        // kind: "gzip", "lzma2", "lzma2 plain only" (executable-aware refused) or "patch".
        // input: the downloaded file (the patch for "patch"; null: missing); old: the file a patch
        // starts from.
        // result: the expected destination content, or empty when the task must fail.
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("old");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<QByteArray>("result");
        const QString scratch = m_Dir.path();
        const QByteArray text = sample(100000);
        const QByteArray gz = UpdateFiles::gzip(text);
        const QByteArray exe1 = UpdateFiles::fixture("macho64_exe_v1");
        const QByteArray exe2 = UpdateFiles::fixture("macho64_exe_v2");
        QVERIFY(!gz.isEmpty() && !exe1.isEmpty() && !exe2.isEmpty());
        const qint64 n = text.size();

        QTest::newRow("gzip") << "gzip" << gz << QByteArray() << n << text;
        QTest::newRow("gzip: plain file copied as it stands") << "gzip" << text << QByteArray() << n << text;
        QTest::newRow("gzip: truncated") << "gzip" << gz.left(gz.size() / 2) << QByteArray() << n << QByteArray();
        QTest::newRow("gzip: over the limit") << "gzip" << gz << QByteArray() << n - 1 << QByteArray();
        QTest::newRow("gzip: no source") << "gzip" << QByteArray() << QByteArray() << n << QByteArray();
        QTest::newRow("gzip: empty") << "gzip" << UpdateFiles::gzip("") << QByteArray() << qint64(0) << QByteArray("");

        const QByteArray plain = UpdateFiles::container(text, false, scratch);
        const QByteArray aware = UpdateFiles::container(exe2, true, scratch);
        QVERIFY(!plain.isEmpty() && !aware.isEmpty());
        QTest::newRow("lzma2") << "lzma2" << plain << QByteArray() << n << text;
        QTest::newRow("lzma2: executable-aware") << "lzma2" << aware << QByteArray() << qint64(exe2.size()) << exe2;
        QTest::newRow("lzma2: over the limit") << "lzma2" << plain << QByteArray() << n - 1 << QByteArray();
        QTest::newRow("lzma2: executable-aware refused") << "lzma2 plain only" << aware << QByteArray()
                                                          << qint64(exe2.size()) << QByteArray();
        QTest::newRow("lzma2: not a container") << "lzma2" << text << QByteArray() << n << QByteArray();

        QByteArray changed = text;
        changed.replace("sample", "example");
        const qint64 m = changed.size();
        const QByteArray diff = UpdateFiles::patch(text, changed);
        const QByteArray machO = UpdateFiles::patch(exe1, exe2, true);
        QVERIFY(!diff.isEmpty() && !machO.isEmpty());
        QByteArray badMagic = diff;
        badMagic[0] = char(badMagic[0] ^ 0x55);
        QTest::newRow("patch: byte diff") << "patch" << diff << text << m << changed;
        QTest::newRow("patch: Mach-O element") << "patch" << machO << exe1 << qint64(exe2.size()) << exe2;
        QTest::newRow("patch: over the limit") << "patch" << diff << text << m - 1 << QByteArray();
        QTest::newRow("patch: wrong magic") << "patch" << badMagic << text << m << QByteArray();
        QTest::newRow("patch: other old file") << "patch" << diff << changed << m << QByteArray();
    }

    // Each case runs twice: once onto a fresh destination, once onto an existing file, which a
    // failed run must leave as it was.
    void task()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, old);
        QFETCH(qint64, limit);
        QFETCH(QByteArray, result);
        const bool ok = !result.isNull();
        const QString in = at("in"), oldFile = at("old");
        QFile::remove(in);
        if (!input.isNull())
            QVERIFY(ClientBundle::writeFile(in, input));
        QVERIFY(ClientBundle::writeFile(oldFile, old));
        for (const bool existing : {false, true}) {
            const QString folder = at(existing ? "onto-existing" : "onto-fresh");
            QDir(folder).removeRecursively();
            QVERIFY(QDir().mkpath(folder));
            const QString dst = folder + "/dst";
            if (existing)
                QVERIFY(ClientBundle::writeFile(dst, "previous content"));
            RollbackDataList list;
            std::unique_ptr<SlowFileOpSpecification> t;
            QString text;
            if (kind == "gzip") {
                t.reset(new FileUnpackTaskSpecification_zip(&list, in, dst, nullptr, 1.0, quint64(limit)));
                text = "Could not unzip '%1' to '%2'";
            } else if (kind.startsWith("lzma2")) {
                t.reset(new FileUnpackTaskSpecification_lzma2(&list, in, dst, nullptr, 1.0, quint64(limit),
                                                              kind == "lzma2"));
                text = "Could not unpack '%1' to '%2'";
            } else {
                t.reset(new FileTaskSpecification_patch(&list, oldFile, in, dst, nullptr, 1.0, quint64(limit)));
                text = "Could not patch '%1' to '%2'";
            }
            QSignalSpy messages(t.get(), &TaskSpecification::message);
            QCOMPARE(runTask(*t), int(ok ? TaskSpecification::STATE_FINISHED : TaskSpecification::STATE_FAILED));
            if (ok) {
                QCOMPARE(ClientBundle::readFile(dst), result);
                QCOMPARE(list.size(), 1);
                QCOMPARE(list.first().m_Op, int(RollbackData::FILE_CREATE));
                QCOMPARE(list.first().m_Path, dst);
                QVERIFY(spyTexts(messages).isEmpty());
            } else {
                QCOMPARE(QFileInfo::exists(dst), existing);
                if (existing)
                    QCOMPARE(ClientBundle::readFile(dst), QByteArray("previous content"));
                QVERIFY(list.isEmpty());
                QCOMPARE(spyTexts(messages), QStringList{text.arg(kind == "patch" ? oldFile : in, dst)});
            }
            // Nothing else is left beside the destination (no temporary files).
            QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
                     ok || existing ? QStringList{"dst"} : QStringList{});
        }
    }
};

QTEST_MAIN(PatchUnpackTest)
#include "patchunpacktest.moc"
