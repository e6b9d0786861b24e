#pragma once

#include <QObject>
#include <QRegularExpression>
#include <QString>

// One named chapter-heading pattern, compiled case-insensitive and multi-line.
class ChapterRegexDto : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(QString patternStr READ patternStr WRITE setPatternStr NOTIFY patternStrChanged)
    Q_PROPERTY(bool isValid READ isValid NOTIFY isValidChanged)

public:
    explicit ChapterRegexDto(QObject *parent = nullptr);

    QString name() const { return m_name; }
    void setName(const QString &name);

    QString patternStr() const { return m_patternStr; }
    // Recompiles; isValidChanged follows even when validity stays the same.
    void setPatternStr(const QString &pattern);

    bool isValid() const { return m_isValid; }
    QRegularExpression regex() const { return m_regex; }

    void compile();

signals:
    void nameChanged();
    void patternStrChanged();
    void isValidChanged();

private:
    QString m_name;
    QString m_patternStr;
    QRegularExpression m_regex;
    bool m_isValid = false;
};
