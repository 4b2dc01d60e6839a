#include "common/clientbundle.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

ClientBundle::ClientBundle(const QString& root)
    : m_Contents(root + QStringLiteral("/Voxtrel 3 Client.app/Contents"))
    , m_Valid(QDir().mkpath(m_Contents))
{
}

bool ClientBundle::addFile(const QString& relative, const QByteArray& content)
{
    return writeFile(path(relative), content);
}

bool ClientBundle::addDir(const QString& relative)
{
    return QDir().mkpath(path(relative));
}

QByteArray ClientBundle::read(const QString& relative) const
{
    return readFile(path(relative));
}

bool ClientBundle::exists(const QString& relative) const
{
    return QFileInfo::exists(path(relative));
}

QString ClientBundle::sha512Hex(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

bool ClientBundle::writeFile(const QString& path, const QByteArray& data)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

QByteArray ClientBundle::readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
