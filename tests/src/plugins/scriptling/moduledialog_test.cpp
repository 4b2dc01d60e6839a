// The module dialog as the chat client sees it: opened through
// vx3plugin_configure on a parent widget of the client, found by its Qt
// object names, driven through its buttons.

#include "outputcapture.h"
#include "standinclient.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> kExports = {"vx3plugin_setFunctionPointers", "vx3plugin_init",
                                           "vx3plugin_shutdown",            "vx3plugin_offersConfigure",
                                           "vx3plugin_configure"};

class ModuleDialog : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "client";
        static char* argv[] = {name, nullptr};
        if (!qApp)
            s_application = new QApplication(argc, argv);
        std::string error;
        ASSERT_TRUE(StandinClient::get().load(kExports, &error)) << error;
    }

    static void TearDownTestSuite()
    {
        delete s_application;
        s_application = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        const QString root = m_root.path() + QStringLiteral("/");
        m_scripts = root + QStringLiteral("p/scriptling/");
        // The plug-in reads the client's paths into 128-byte buffers.
        ASSERT_LE((m_scripts + QStringLiteral("vx3events.lua")).toLatin1().size(), 127) << root.toStdString();
        m_configFile = root + QStringLiteral("config/luaconfig.ini");
        m_log = root + QStringLiteral("started.log");
        QDir().mkpath(m_scripts);
        QDir().mkpath(root + QStringLiteral("config"));
        addModule(QStringLiteral("alpha"), true);
        addModule(QStringLiteral("Beta"), true);
        addModule(QStringLiteral("gamma"), false); // no init.lua
        addModule(QStringLiteral(".hidden"), true);
        QDir().mkpath(m_scripts + QStringLiteral("delta/init.lua")); // a folder, not a file
        writeText(m_scripts + QStringLiteral("vx3events.lua"),
                  "local f = assert(io.open('" + m_log.toStdString() + "', 'a')) f:write('started\\n') f:close()\n");

        StandinClient& client = StandinClient::get();
        client.clearRecords();
        client.answers[182].text = (root + QStringLiteral("p/")).toStdString();
        client.answers[181].text = (root + QStringLiteral("config/")).toStdString();
        client.installTable();
        m_parent = std::make_unique<QWidget>();
    }

    void TearDown() override
    {
        OutputCapture quiet;
        call<void (*)()>("vx3plugin_shutdown")();
        quiet.stop();
        m_parent.reset();
        EXPECT_EQ(StandinClient::get().unexpected, std::vector<std::string>());
    }

    template <typename F>
    F call(const char* name)
    {
        return StandinClient::get().function<F>(name);
    }

    void addModule(const QString& name, bool withInit)
    {
        QDir().mkpath(m_scripts + name);
        if (withInit)
            writeText(m_scripts + name + QStringLiteral("/init.lua"), "return {}\n");
    }

    static void writeText(const QString& path, const std::string& text)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.data(), static_cast<qint64>(text.size()));
    }

    static QByteArray readAll(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void configure() { call<void (*)(void*, void*)>("vx3plugin_configure")(nullptr, m_parent.get()); }

    QDialog* dialog() const { return m_parent->findChild<QDialog*>(QStringLiteral("LuaConfigDialog")); }

    QListWidget* list() const
    {
        QDialog* d = dialog();
        return d ? d->findChild<QListWidget*>(QStringLiteral("luaModulesListWidget")) : nullptr;
    }

    // Presses a button of the dialog and lets Qt carry out the deferred delete.
    void press(QDialogButtonBox::StandardButton which)
    {
        QDialogButtonBox* box = dialog()->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        ASSERT_NE(box, nullptr);
        ASSERT_NE(box->button(which), nullptr);
        box->button(which)->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    std::vector<std::pair<QString, Qt::CheckState>> shownModules() const
    {
        std::vector<std::pair<QString, Qt::CheckState>> shown;
        for (int row = 0; row < list()->count(); ++row)
            shown.emplace_back(list()->item(row)->text(), list()->item(row)->checkState());
        return shown;
    }

    // The "Modules" array of the file as (key, module) pairs.
    std::vector<std::pair<QString, QString>> recordedModules() const
    {
        std::vector<std::pair<QString, QString>> entries;
        QSettings settings(m_configFile, QSettings::IniFormat);
        const int size = settings.beginReadArray(QStringLiteral("Modules"));
        for (int i = 0; i < size; ++i) {
            settings.setArrayIndex(i);
            for (const QString& key : settings.childKeys())
                entries.emplace_back(key, settings.value(key).toString());
        }
        settings.endArray();
        return entries;
    }

    int startCount() const { return static_cast<int>(readAll(m_log).count("started\n")); }

    static QApplication* s_application;
    QTemporaryDir m_root{QDir::tempPath() + QStringLiteral("/d-XXXXXX")};
    QString m_scripts;
    QString m_configFile;
    QString m_log;
    std::unique_ptr<QWidget> m_parent;
};

QApplication* ModuleDialog::s_application = nullptr;

using Shown = std::vector<std::pair<QString, Qt::CheckState>>;
using Recorded = std::vector<std::pair<QString, QString>>;

TEST_F(ModuleDialog, ListsModulesWithTheirRecordedState)
{
    EXPECT_EQ(call<int (*)()>("vx3plugin_offersConfigure")(), 2);
    writeText(m_configFile, "[Modules]\n1\\off=alpha\n2\\on=zeta\nsize=2\n");
    configure();
    ASSERT_NE(dialog(), nullptr);
    EXPECT_TRUE(dialog()->isVisible());
    EXPECT_FALSE(dialog()->isModal());
    EXPECT_EQ(dialog()->windowTitle(), QStringLiteral("Lua Modules"));
    // Sorted by name ignoring case; no folder without an init.lua file, no hidden folder.
    EXPECT_EQ(shownModules(), (Shown{{"alpha", Qt::Unchecked}, {"Beta", Qt::Checked}}));
    for (int row = 0; row < list()->count(); ++row)
        EXPECT_EQ(list()->item(row)->flags(), Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
    EXPECT_EQ(StandinClient::get().calls,
              (std::vector<std::string>{"182 getPluginPath(buffer, size:128)", "181 getConfigPath(buffer, size:128)"}));
}

TEST_F(ModuleDialog, LastEntryWinsAndIncompleteEntriesAreIgnored)
{
    writeText(m_configFile, "[Modules]\n1\\on=alpha\n2\\off=alpha\n3\\other=Beta\n4\\off=\nsize=4\n");
    configure();
    EXPECT_EQ(shownModules(), (Shown{{"alpha", Qt::Unchecked}, {"Beta", Qt::Checked}}));
}

TEST_F(ModuleDialog, OpeningTwiceShowsTheSameDialog)
{
    configure();
    QPointer<QDialog> first = dialog();
    ASSERT_FALSE(first.isNull());
    first->hide();
    configure();
    EXPECT_EQ(m_parent->findChildren<QDialog*>().size(), 1);
    EXPECT_EQ(dialog(), first.data());
    EXPECT_TRUE(first->isVisible());
}

TEST_F(ModuleDialog, OkWithoutChangesRewritesTheFileOnly)
{
    OutputCapture quiet;
    ASSERT_EQ(call<int (*)()>("vx3plugin_init")(), 0);
    quiet.stop();
    writeText(m_configFile, "[Modules]\n1\\off=alpha\n2\\off=Beta\n3\\on=vanished\nsize=3\n");
    configure();
    list()->item(1)->setCheckState(Qt::Checked);
    list()->item(1)->setCheckState(Qt::Unchecked); // back to where it was
    QPointer<QDialog> shown = dialog();
    OutputCapture capture;
    press(QDialogButtonBox::Ok);
    capture.stop();
    EXPECT_TRUE(shown.isNull()); // deleted on close
    EXPECT_EQ(recordedModules(), (Recorded{{"off", "alpha"}, {"off", "Beta"}}));
    // Rewritten, not merged: the module that no longer exists is gone.
    EXPECT_FALSE(readAll(m_configFile).contains("vanished")) << readAll(m_configFile).toStdString();
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(startCount(), 1);
}

TEST_F(ModuleDialog, ChangedChoiceRestartsTheInterpreter)
{
    OutputCapture quiet;
    ASSERT_EQ(call<int (*)()>("vx3plugin_init")(), 0);
    quiet.stop();
    writeText(m_configFile, "[Modules]\n1\\on=alpha\n2\\on=Beta\nsize=2\n");
    configure();
    list()->item(1)->setCheckState(Qt::Unchecked);
    OutputCapture capture;
    press(QDialogButtonBox::Ok);
    capture.stop();
    EXPECT_EQ(recordedModules(), (Recorded{{"on", "alpha"}, {"off", "Beta"}}));
    EXPECT_EQ(capture.out(), "Shutting down Lua interpreter\nInitializing Lua interpreter\n");
    EXPECT_EQ(startCount(), 2);
}

TEST_F(ModuleDialog, CancelAndCloseWriteNothing)
{
    const std::string original = "[Modules]\n1\\off=vanished\nsize=1\n";
    writeText(m_configFile, original);
    configure();
    list()->item(0)->setCheckState(Qt::Unchecked);
    QPointer<QDialog> shown = dialog();
    press(QDialogButtonBox::Cancel);
    EXPECT_TRUE(shown.isNull());
    EXPECT_EQ(readAll(m_configFile).toStdString(), original);

    configure();
    shown = dialog();
    list()->item(0)->setCheckState(Qt::Unchecked);
    shown->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(shown.isNull());
    EXPECT_EQ(readAll(m_configFile).toStdString(), original);
}

TEST_F(ModuleDialog, ShutdownDeletesTheOpenDialogWithoutSaving)
{
    configure();
    QPointer<QDialog> shown = dialog();
    list()->item(0)->setCheckState(Qt::Unchecked);
    OutputCapture quiet;
    call<void (*)()>("vx3plugin_shutdown")();
    quiet.stop();
    EXPECT_TRUE(shown.isNull());
    EXPECT_FALSE(QFile::exists(m_configFile));
    configure(); // a new one can be opened afterwards
    EXPECT_NE(dialog(), nullptr);
}

TEST_F(ModuleDialog, WithoutConfigFileEveryModuleIsOn)
{
    configure();
    EXPECT_EQ(shownModules(), (Shown{{"alpha", Qt::Checked}, {"Beta", Qt::Checked}}));
    press(QDialogButtonBox::Ok);
    EXPECT_EQ(recordedModules(), (Recorded{{"on", "alpha"}, {"on", "Beta"}}));
}

TEST_F(ModuleDialog, PathsWithNonAsciiNamesAreReadAsUtf8)
{
    // A home folder named "Jürgen": the client hands over its paths in UTF-8.
    const QString home = m_root.path() + QStringLiteral("/J\u00fcrgen/");
    const QString scripts = home + QStringLiteral("p/scriptling/");
    QDir().mkpath(scripts + QStringLiteral("m\u00f6dule"));
    QDir().mkpath(home + QStringLiteral("config"));
    writeText(scripts + QStringLiteral("m\u00f6dule/init.lua"), "return {}\n");
    StandinClient& client = StandinClient::get();
    client.answers[182].text = (home + QStringLiteral("p/")).toUtf8().toStdString();
    client.answers[181].text = (home + QStringLiteral("config/")).toUtf8().toStdString();
    configure();
    EXPECT_EQ(shownModules(), (Shown{{QStringLiteral("m\u00f6dule"), Qt::Checked}}));
    press(QDialogButtonBox::Ok);
    m_configFile = home + QStringLiteral("config/luaconfig.ini");
    EXPECT_TRUE(QFile::exists(m_configFile));
    EXPECT_EQ(recordedModules(), (Recorded{{"on", QStringLiteral("m\u00f6dule")}}));
}

TEST_F(ModuleDialog, MissingScriptFolderListsNothing)
{
    QDir(m_scripts).removeRecursively();
    writeText(m_configFile, "[Modules]\n1\\on=alpha\nsize=1\n");
    configure();
    EXPECT_EQ(list()->count(), 0);
    press(QDialogButtonBox::Ok);
    EXPECT_EQ(recordedModules(), Recorded{});
}

} // namespace
