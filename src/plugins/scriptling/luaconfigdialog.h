#ifndef LUACONFIGDIALOG_H
#define LUACONFIGDIALOG_H

// The "Lua Modules" dialog: lists the script modules (sub-folders of the
// plug-in's script folder holding an "init.lua") with a check box each and
// stores the choice in "luaconfig.ini" in the client's configuration folder.
// Confirming a changed choice restarts the interpreter so that the start-up
// script loads the new set.

#include "ui_luaconfigdialog.h"

#include <QDialog>
#include <QHash>
#include <QString>

class QWidget;

class LuaConfigDialog : public QDialog, private Ui::LuaConfigDialog {
    Q_OBJECT

public:
    explicit LuaConfigDialog(QWidget* parent);
    ~LuaConfigDialog() override;

    // Creates the one dialog if none is open, then shows it (non-modal).
    static void showDialog(QWidget* parent);
    // Deletes the open dialog, if any, without saving.
    static void closeDialog();

    // The client's configuration and plug-in paths (with their trailing separator).
    static QString getVX3ConfigPath();
    static QString getVX3PluginPath();

    // Module name -> switched on, as recorded in "luaconfig.ini".
    QHash<QString, bool> loadConfig();
    // Rewrites "luaconfig.ini" from the list; true when any module's state
    // differs from the state it was shown with.
    bool saveConfig();

private slots:
    void onAccepted();

private:
    void collectLuaModules();

    static LuaConfigDialog* m_instance;
};

// Plain entries for the exports.
void openLuaConfigDialog(QWidget* parent);
void closeLuaConfigDialog();

#endif // LUACONFIGDIALOG_H
