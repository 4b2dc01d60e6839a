// The module dialog as the chat client sees it: opened through
// vx3plugin_configure on a parent widget of the client, found by its Qt
// object names, driven through its buttons.

#include "hangguard.h"
#include "outputcapture.h"
#include "standinclient.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> kExports = {"vx3plugin_setFunctionPointers", "vx3plugin_init",
                                           "vx3plugin_shutdown",            "vx3plugin_offersConfigure",
                                           "vx3plugin_configure",           "vx3plugin_onServerUpdatedEvent",
                                           "vx3plugin_onServerStopEvent"};

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

TEST_F(ModuleDialog, HugeArraySizeReadsOnlyThePresentEntries)
{
    struct Case {
        const char* file;
        Shown shown;
    };
    const Case cases[] = {
        // A damaged file (or one a script wrote) claims 2^31 - 1 entries.
        {"[Modules]\n1\\off=alpha\nsize=2147483647\n", {{"alpha", Qt::Unchecked}, {"Beta", Qt::Checked}}},
        {"[Modules]\n2147483647\\off=Beta\nsize=2147483647\n", {{"alpha", Qt::Checked}, {"Beta", Qt::Unchecked}}},
        // Entries out of order and beyond the size: the highest index wins,
        // entries beyond the size do not count.
        {"[Modules]\n7\\on=alpha\n3\\off=alpha\n2\\off=Beta\n9\\on=Beta\nsize=8\n",
         {{"alpha", Qt::Checked}, {"Beta", Qt::Unchecked}}},
        {"[Modules]\n1\\off=alpha\nsize=-4\n", {{"alpha", Qt::Checked}, {"Beta", Qt::Checked}}},
    };
    for (const Case& c : cases) {
        writeText(m_configFile, c.file);
        {
            HangGuard guard(20, "opening the dialog");
            configure();
        }
        EXPECT_EQ(shownModules(), c.shown) << c.file;
        press(QDialogButtonBox::Cancel);
    }
}

// The client runs a nested event loop inside one of its functions (a modal
// window, say) while a script waits in it. What the user and the client do
// meanwhile to the interpreter happens once the script's call has returned.
class DuringAClientCall : public ModuleDialog {
protected:
    void SetUp() override
    {
        ModuleDialog::SetUp();
        writeText(m_scripts + QStringLiteral("vx3events.lua"),
                  "local log = assert(io.open('" + m_log.toStdString() + "', 'a'))\n"
                  "local function line(text) log:write(text, '\\n') log:flush() end\n"
                  "line('started')\n"
                  "function onServerUpdatedEvent()\n"
                  "  line('handler begins')\n"
                  "  vx3.printMessageToCurrentTab('modal')\n"
                  "  local garbage = {} for k = 1, 1000 do garbage[k] = {k} end collectgarbage()\n"
                  "  line('handler ends ' .. vx3.getConfigPath():len())\n"
                  "end\n");
    }

    // Runs the event whose handler calls the client function (slot 185)
    // that runs `meanwhile` inside a nested event loop. Returns the event's
    // result; `nested` gets what was printed inside the loop.
    int eventWithNestedLoop(std::function<void()> meanwhile)
    {
        StandinClient::get().actions[185] = [this, meanwhile] {
            StandinClient::get().actions.erase(185);
            QEventLoop loop;
            QTimer::singleShot(0, &loop, [&] {
                OutputCapture capture;
                meanwhile();
                // An event while the plug-in is being restarted or shut down.
                m_eventMeanwhile = call<int (*)(uint64_t, const char*)>("vx3plugin_onServerStopEvent")(1, "bye");
                capture.stop();
                m_nestedOut = capture.out();
                m_nestedErr = capture.err();
                loop.quit();
            });
            loop.exec();
        };
        OutputCapture capture;
        const int result = call<int (*)(uint64_t)>("vx3plugin_onServerUpdatedEvent")(1);
        capture.stop();
        m_afterOut = capture.out();
        m_afterErr = capture.err();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return result;
    }

    std::vector<std::string> logLines() const
    {
        std::vector<std::string> lines;
        for (const QByteArray& line : readAll(m_log).split('\n'))
            if (!line.isEmpty())
                lines.push_back(line.toStdString());
        return lines;
    }

    int m_eventMeanwhile = -1;
    std::string m_nestedOut;
    std::string m_nestedErr;
    std::string m_afterOut;
    std::string m_afterErr;
};

using Lines = std::vector<std::string>;

TEST_F(DuringAClientCall, ChangedChoiceRestartsAfterTheCall)
{
    OutputCapture quiet;
    ASSERT_EQ(call<int (*)()>("vx3plugin_init")(), 0);
    quiet.stop();
    configure();
    QPointer<QDialog> shown = dialog();
    EXPECT_EQ(eventWithNestedLoop([this] {
                  list()->item(1)->setCheckState(Qt::Unchecked);
                  press(QDialogButtonBox::Ok);
              }),
              0);
    EXPECT_EQ(m_nestedOut, "");
    EXPECT_EQ(m_nestedErr, "");
    EXPECT_EQ(m_eventMeanwhile, 1);
    EXPECT_EQ(recordedModules(), (Recorded{{"on", "alpha"}, {"off", "Beta"}}));
    EXPECT_TRUE(shown.isNull());
    EXPECT_EQ(m_afterOut, "Shutting down Lua interpreter\nInitializing Lua interpreter\n");
    EXPECT_EQ(m_afterErr, "");
    const std::string ends = "handler ends " + std::to_string(StandinClient::get().answers[181].text.size());
    EXPECT_EQ(logLines(), (Lines{"started", "handler begins", ends, "started"}));
}

TEST_F(DuringAClientCall, ShutdownAndInitHappenAfterTheCall)
{
    struct Case {
        const char* title;
        bool initAgain;
        const char* nestedOut;
        const char* afterOut;
        int restarted;
    };
    const Case cases[] = {
        {"shutdown", false, "SCRIPTLING: shutdown\n", "Shutting down Lua interpreter\n", 0},
        {"shutdown and init", true, "SCRIPTLING: shutdown\nSCRIPTLING: init\n",
         "Shutting down Lua interpreter\nInitializing Lua interpreter\n", 1},
    };
    const std::string ends = "handler ends " + std::to_string(StandinClient::get().answers[181].text.size());
    for (const Case& c : cases) {
        QFile::remove(m_log);
        OutputCapture quiet;
        ASSERT_EQ(call<int (*)()>("vx3plugin_init")(), 0);
        quiet.stop();
        EXPECT_EQ(eventWithNestedLoop([this, c] {
                      call<void (*)()>("vx3plugin_shutdown")();
                      if (c.initAgain) {
                          EXPECT_EQ(call<int (*)()>("vx3plugin_init")(), 0) << c.title;
                      }
                  }),
                  0)
            << c.title;
        EXPECT_EQ(m_nestedOut, c.nestedOut) << c.title;
        EXPECT_EQ(m_nestedErr, "") << c.title;
        EXPECT_EQ(m_eventMeanwhile, 1) << c.title;
        EXPECT_EQ(m_afterOut, c.afterOut) << c.title;
        Lines expected{"started", "handler begins", ends};
        if (c.restarted)
            expected.push_back("started");
        EXPECT_EQ(logLines(), expected) << c.title;

        // Afterwards the plug-in is in the state the client asked for.
        OutputCapture next;
        const int result = call<int (*)(uint64_t, const char*)>("vx3plugin_onServerStopEvent")(1, "bye");
        next.stop();
        EXPECT_EQ(result, 1) << c.title;
        EXPECT_EQ(next.err(), c.restarted ? "Error running Lua function: Function 'onServerStopEvent' not found\n" : "")
            << c.title;
        OutputCapture down;
        call<void (*)()>("vx3plugin_shutdown")();
    }
}

} // namespace
