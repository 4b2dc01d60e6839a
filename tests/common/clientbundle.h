#pragma once
// A temporary installed client for tests: "Voxtrel 3 Client.app/Contents" below a given folder,
// with files written at paths relative to the Contents folder.

#include <QByteArray>
#include <QString>

class ClientBundle
{
public:
    // Creates <root>/Voxtrel 3 Client.app/Contents.
    explicit ClientBundle(const QString& root);

    bool isValid() const { return m_Valid; }
    // The Contents folder: the installation folder of the updater.
    QString contentsDir() const { return m_Contents; }
    QString path(const QString& relative) const { return m_Contents + QLatin1Char('/') + relative; }

    // Writes a file (creating its folders); false on failure.
    bool addFile(const QString& relative, const QByteArray& content);
    bool addDir(const QString& relative);
    QByteArray read(const QString& relative) const;
    bool exists(const QString& relative) const;

    static QString sha512Hex(const QByteArray& data);
    // Writes data to any path, creating the folders.
    static bool writeFile(const QString& path, const QByteArray& data);
    static QByteArray readFile(const QString& path);

private:
    QString m_Contents;
    bool m_Valid;
};
