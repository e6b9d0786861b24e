#pragma once

#include <QString>
#include <QTemporaryDir>

// Points the program's writable locations (configuration and data) at a fresh
// temporary folder for the life of the object, so tests never touch the
// user's folders and parallel test processes never share files.
class TestEnvironment
{
public:
    TestEnvironment();
    ~TestEnvironment();

    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }
    QString configHome() const { return root() + QStringLiteral("/config"); }
    QString dataHome() const { return root() + QStringLiteral("/data"); }

    // Opens and migrates the library database in the temporary location.
    bool openDatabase();
    // Closes and removes the default connection.
    static void closeDatabase();

    // Environment for a child process that should use the same locations.
    QStringList childEnvironment() const;

private:
    QTemporaryDir m_dir;
    QByteArray m_oldConfig;
    QByteArray m_oldData;
};
