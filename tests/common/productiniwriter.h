#pragma once
// Builds a product list (the per-version file list) for tests, either as hand-written INI text
// or through QSettings, with helpers that form the "::"-separated values from real contents.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class ProductIniWriter
{
public:
    // A plain file: "sha512::size" of its content.
    static QString fileValue(const QByteArray& content);
    // A packed file: the download's hash and size, the installed file's hash and size, its path.
    static QString packedValue(const QByteArray& download, const QByteArray& installed,
                               const QString& target);
    // A patch: the patch's hash and size, the hash and size of the file it starts from, the
    // target path it produces.
    static QString patchValue(const QByteArray& patch, const QByteArray& source,
                              const QString& target);

    // Entries are kept in the order added; sections in the order first used.
    void add(const QString& section, const QString& key, const QString& value);
    void clear() { m_Entries.clear(); }

    // The INI text as a person would write it (keys as they stand, no escaping).
    QByteArray handWritten() const;
    bool writeByHand(const QString& path) const;
    // The same entries written with QSettings in INI format.
    bool writeWithQSettings(const QString& path) const;

private:
    struct Entry
    {
        QString section;
        QString key;
        QString value;
    };
    QList<Entry> m_Entries;
};
