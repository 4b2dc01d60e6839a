#pragma once
// A scratch root for one test: the folders "tmp", "home" and "config" below a fresh temporary
// folder, with TMPDIR, HOME and VX3_CONFIG_DIR pointing at them while the object lives.  The
// variables are not restored afterwards; the next test's environment replaces them.  Every root
// lies in the temp folder the program started with.

#include <QString>
#include <QTemporaryDir>

class TempEnvironment {
public:
    TempEnvironment();

    bool isValid() const { return m_valid; }
    QString path(const QString &relative) const { return m_root.filePath(relative); }
    QString tmp() const { return path(QStringLiteral("tmp")); }

private:
    QTemporaryDir m_root;
    bool m_valid = false;
};
