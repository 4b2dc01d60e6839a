#include "common/productiniwriter.h"

#include "common/clientbundle.h"

#include <QFile>
#include <QSettings>
#include <QStringList>

QString ProductIniWriter::fileValue(const QByteArray& content)
{
    return ClientBundle::sha512Hex(content) + QStringLiteral("::") + QString::number(content.size());
}

QString ProductIniWriter::packedValue(const QByteArray& download, const QByteArray& installed,
                                      const QString& target)
{
    return fileValue(download) + QStringLiteral("::") + fileValue(installed) + QStringLiteral("::") + target;
}

QString ProductIniWriter::patchValue(const QByteArray& patch, const QByteArray& source,
                                     const QString& target)
{
    return packedValue(patch, source, target);
}

void ProductIniWriter::add(const QString& section, const QString& key, const QString& value)
{
    m_Entries.append({section, key, value});
}

QByteArray ProductIniWriter::handWritten() const
{
    QStringList sections;
    for (const Entry& e : m_Entries) {
        if (!sections.contains(e.section))
            sections << e.section;
    }
    QByteArray text;
    for (const QString& section : sections) {
        text += "[" + section.toUtf8() + "]\n";
        for (const Entry& e : m_Entries) {
            if (e.section == section)
                text += e.key.toUtf8() + "=" + e.value.toUtf8() + "\n";
        }
        text += "\n";
    }
    return text;
}

bool ProductIniWriter::writeByHand(const QString& path) const
{
    return ClientBundle::writeFile(path, handWritten());
}

bool ProductIniWriter::writeWithQSettings(const QString& path) const
{
    QFile::remove(path);
    {
        QSettings ini(path, QSettings::IniFormat);
        for (const Entry& e : m_Entries) {
            ini.beginGroup(e.section);
            ini.setValue(e.key, e.value);
            ini.endGroup();
        }
        ini.sync();
        if (ini.status() != QSettings::NoError)
            return false;
    }
    return QFile::exists(path);
}
