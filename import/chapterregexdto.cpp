#include "chapterregexdto.h"

#include <QDebug>

ChapterRegexDto::ChapterRegexDto(QObject *parent) : QObject(parent) {}

void ChapterRegexDto::setName(const QString &name)
{
    if (name == m_name)
        return;
    m_name = name;
    emit nameChanged();
}

void ChapterRegexDto::setPatternStr(const QString &pattern)
{
    if (pattern == m_patternStr)
        return;
    m_patternStr = pattern;
    compile();
    emit patternStrChanged();
    emit isValidChanged();
}

void ChapterRegexDto::compile()
{
    if (m_patternStr.isEmpty()) {
        m_regex = QRegularExpression();
        m_isValid = false;
        return;
    }
    // Unicode white space too: headings are often spaced with U+3000.
    m_regex = QRegularExpression(m_patternStr, QRegularExpression::CaseInsensitiveOption
                                                   | QRegularExpression::MultilineOption
                                                   | QRegularExpression::UseUnicodePropertiesOption);
    m_isValid = m_regex.isValid();
    if (!m_isValid) {
        qWarning().noquote() << "[ChapterRegexDto] 正则编译失败：" << m_name << "| 错误："
                             << m_regex.errorString() << "| 表达式：" << m_patternStr;
    }
}
