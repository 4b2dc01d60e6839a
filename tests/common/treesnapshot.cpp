#include "common/treesnapshot.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

TreeSnapshot TreeSnapshot::take(const QString& root)
{
    TreeSnapshot snapshot;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QByteArray local = QFile::encodeName(path);
        struct stat st;
        if (lstat(local.constData(), &st) != 0)
            continue;
        Node node;
        if (S_ISLNK(st.st_mode)) {
            node.kind = Node::Link;
            QByteArray target(4096, '\0');
            const ssize_t n = readlink(local.constData(), target.data(), size_t(target.size()));
            if (n >= 0)
                node.content = target.left(int(n));
        } else {
            node.mode = int(st.st_mode & 07777);
            if (S_ISDIR(st.st_mode)) {
                node.kind = Node::Dir;
            } else {
                QFile f(path);
                node.content = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
            }
        }
        snapshot.m_Nodes.insert(base.relativeFilePath(path), node);
    }
    return snapshot;
}

QStringList TreeSnapshot::differences(const TreeSnapshot& other) const
{
    QStringList out;
    for (auto it = m_Nodes.cbegin(); it != m_Nodes.cend(); ++it) {
        const auto there = other.m_Nodes.constFind(it.key());
        if (there == other.m_Nodes.cend()) {
            out << it.key() + QStringLiteral(": only in the first tree");
        } else if (there->kind != it->kind) {
            static const char* const kinds[] = {"file", "folder", "link"};
            out << it.key() + QStringLiteral(": %1 became %2").arg(kinds[it->kind], kinds[there->kind]);
        } else if (there->mode != it->mode) {
            out << it.key() + QStringLiteral(": mode %1 became %2").arg(it->mode, 0, 8).arg(there->mode, 0, 8);
        } else if (there->content != it->content) {
            out << it.key() + QStringLiteral(": content differs");
        }
    }
    for (auto it = other.m_Nodes.cbegin(); it != other.m_Nodes.cend(); ++it) {
        if (!m_Nodes.contains(it.key()))
            out << it.key() + QStringLiteral(": only in the second tree");
    }
    return out;
}
