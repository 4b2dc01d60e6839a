#include "luaconfigdialog.h"

#include "luahelpers.h"
#include "plugin.h"

#include <QDir>
#include <QFileInfo>
#include <QListWidgetItem>
#include <QSettings>
#include <QStringList>

LuaConfigDialog* LuaConfigDialog::m_instance = nullptr;

namespace {

const char kConfigFileName[] = "luaconfig.ini";
const char kModulesArray[] = "Modules";

QString clientPath(void (*slot)(char*, size_t))
{
    char path[128] = {0};
    if (slot)
        slot(path, sizeof path);
    path[sizeof path - 1] = '\0';
    // The client hands over file-system paths, which are UTF-8 on macOS.
    return QString::fromUtf8(path);
}

} // namespace

LuaConfigDialog::LuaConfigDialog(QWidget* parent)
    : QDialog(parent)
{
    setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    collectLuaModules();
    connect(this, &QDialog::accepted, this, &LuaConfigDialog::onAccepted);
}

LuaConfigDialog::~LuaConfigDialog()
{
    if (m_instance == this)
        m_instance = nullptr;
}

void LuaConfigDialog::showDialog(QWidget* parent)
{
    if (!m_instance)
        m_instance = new LuaConfigDialog(parent);
    m_instance->show();
}

void LuaConfigDialog::closeDialog()
{
    delete m_instance;
    m_instance = nullptr;
}

QString LuaConfigDialog::getVX3ConfigPath()
{
    return clientPath(vx3Functions.getConfigPath);
}

QString LuaConfigDialog::getVX3PluginPath()
{
    return clientPath(vx3Functions.getPluginPath);
}

void LuaConfigDialog::collectLuaModules()
{
    const QString folder = getVX3PluginPath() + QStringLiteral("scriptling/");
    QStringList names = QDir(folder).entryList(QDir::Dirs);
    names.removeAll(QStringLiteral("."));
    names.removeAll(QStringLiteral(".."));
    for (const QString& name : qAsConst(names)) {
        if (QFileInfo(folder + name + QStringLiteral("/init.lua")).isFile())
            luaModulesListWidget->addItem(name);
    }

    const QHash<QString, bool> recorded = loadConfig();
    for (int row = 0; row < luaModulesListWidget->count(); ++row) {
        QListWidgetItem* item = luaModulesListWidget->item(row);
        item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
        const bool on = recorded.value(item->text(), true);
        item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
        item->setData(Qt::UserRole, on);
    }
}

QHash<QString, bool> LuaConfigDialog::loadConfig()
{
    QHash<QString, bool> recorded;
    QSettings settings(getVX3ConfigPath() + QLatin1String(kConfigFileName), QSettings::IniFormat);
    const int size = settings.beginReadArray(QLatin1String(kModulesArray));
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        const QString on = settings.value(QStringLiteral("on")).toString();
        const QString off = settings.value(QStringLiteral("off")).toString();
        if (!on.isEmpty())
            recorded.insert(on, true);
        else if (!off.isEmpty())
            recorded.insert(off, false);
    }
    settings.endArray();
    return recorded;
}

bool LuaConfigDialog::saveConfig()
{
    bool changed = false;
    QSettings settings(getVX3ConfigPath() + QLatin1String(kConfigFileName), QSettings::IniFormat);
    settings.remove(QLatin1String(kModulesArray));
    settings.beginWriteArray(QLatin1String(kModulesArray));
    for (int row = 0; row < luaModulesListWidget->count(); ++row) {
        const QListWidgetItem* item = luaModulesListWidget->item(row);
        const bool on = item->checkState() == Qt::Checked;
        settings.setArrayIndex(row);
        settings.setValue(on ? QStringLiteral("on") : QStringLiteral("off"), item->text());
        if (on != item->data(Qt::UserRole).toBool())
            changed = true;
    }
    settings.endArray();
    settings.sync();
    return changed;
}

void LuaConfigDialog::onAccepted()
{
    if (saveConfig()) {
        closeLua();
        initLua();
    }
}

void openLuaConfigDialog(QWidget* parent)
{
    LuaConfigDialog::showDialog(parent);
}

void closeLuaConfigDialog()
{
    LuaConfigDialog::closeDialog();
}
