#include "luaconfigdialog.h"

#include "luahelpers.h"
#include "plugin.h"

#include <QDir>
#include <QFileInfo>
#include <QListWidgetItem>
#include <QSettings>
#include <QStringList>
#include <QVector>

#include <algorithm>

LuaConfigDialog* LuaConfigDialog::m_instance = nullptr;

namespace {

const char kConfigFileName[] = "luaconfig.ini";
const char kModulesArray[] = "Modules";
// More module entries than any script folder holds.
const int kMaxModuleEntries = 100000;

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
    // The file may be damaged, or written by a script: its size entry is not
    // trusted. Only the entries present within it are read, in index order
    // (the last entry of a name wins), and no more than kMaxModuleEntries.
    QVector<int> indexes;
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups) {
        bool isNumber = false;
        const int index = group.toInt(&isNumber);
        if (isNumber && index >= 1 && index <= size && group == QString::number(index))
            indexes.append(index);
    }
    std::sort(indexes.begin(), indexes.end());
    if (indexes.size() > kMaxModuleEntries)
        indexes.resize(kMaxModuleEntries);
    for (const int index : qAsConst(indexes)) {
        settings.setArrayIndex(index - 1);
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
