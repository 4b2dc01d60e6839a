#pragma once
// A whole folder tree captured for comparison: every file, folder and symbolic link below a root
// with its kind, its permission bits and its content (files) or link target (links).  Tests take
// one before an operation and compare the tree with it afterwards.

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

class TreeSnapshot
{
public:
    struct Node
    {
        enum Kind { File, Dir, Link } kind = File;
        int mode = 0;          // Unix permission bits (links: 0)
        QByteArray content;    // files: the content; links: the target as stored
        bool operator==(const Node& o) const
        {
            return kind == o.kind && mode == o.mode && content == o.content;
        }
        bool operator!=(const Node& o) const { return !(*this == o); }
    };

    // Reads the tree below root (links are not followed).  A missing root gives an empty tree.
    static TreeSnapshot take(const QString& root);

    // The paths (relative to the root) that differ between the two trees, each with a short
    // reason; empty when the trees are identical.
    QStringList differences(const TreeSnapshot& other) const;

    const QMap<QString, Node>& nodes() const { return m_Nodes; }
    bool contains(const QString& relative) const { return m_Nodes.contains(relative); }
    Node node(const QString& relative) const { return m_Nodes.value(relative); }

private:
    QMap<QString, Node> m_Nodes;
};
