#include "testenvironment.h"
#include "databaseconnection.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

TestEnvironment::TestEnvironment()
    : m_oldConfig(qgetenv("XDG_CONFIG_HOME"))
    , m_oldData(qgetenv("XDG_DATA_HOME"))
{
    QCoreApplication::setOrganizationName(QStringLiteral("com.tivex"));
    QCoreApplication::setApplicationName(QStringLiteral("harbour-Quillora"));
    qputenv("XDG_CONFIG_HOME", configHome().toUtf8());
    qputenv("XDG_DATA_HOME", dataHome().toUtf8());
}

TestEnvironment::~TestEnvironment()
{
    closeDatabase();
    qputenv("XDG_CONFIG_HOME", m_oldConfig);
    qputenv("XDG_DATA_HOME", m_oldData);
}

bool TestEnvironment::openDatabase()
{
    return DatabaseConnection::openAndMigrate();
}

void TestEnvironment::closeDatabase()
{
    DatabaseConnection::close();
}

QStringList TestEnvironment::childEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome());
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    return env.toStringList();
}
