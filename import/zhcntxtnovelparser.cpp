#include "zhcntxtnovelparser.h"

#include "logmanager.h"
#include "novelinfo.h"
#include "textdetect.h"
#include "txtnovelrecord.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QVector>

namespace {

struct NamePattern
{
    QRegularExpression expression;
    int titleGroup;
    int authorGroup; // 0: the pattern gives no author
};

const QVector<NamePattern> &fileNamePatterns()
{
    static const QVector<NamePattern> patterns = {
        {QRegularExpression(QString::fromUtf8(R"re(《(.+?)》\s*[作著][者]?[：:]\s*(.+))re")), 1, 2},
        {QRegularExpression(QString::fromUtf8(R"re(《(.+?)》\s*[-—–]\s*(.+))re")), 1, 2},
        {QRegularExpression(QString::fromUtf8(R"re(《(.+?)》\s*(.+?)\s*[作著]$)re")), 1, 2},
        {QRegularExpression(QString::fromUtf8(R"re(《(.+?)》)re")), 1, 0},
        {QRegularExpression(QString::fromUtf8(R"re(\[(.+?)\]\s*(\S+))re")), 2, 1},
        {QRegularExpression(QString::fromUtf8(R"re((\S+?)\s+[bB][yY]\s+(.+))re")), 1, 2},
        {QRegularExpression(QString::fromUtf8(R"re((\S+?)\s*[-—–]\s*(.+))re")), 2, 1},
    };
    return patterns;
}

const QVector<QRegularExpression> &headTitlePatterns()
{
    static const QVector<QRegularExpression> patterns = {
        QRegularExpression(QString::fromUtf8(R"re(书名[：:]\s*(.+))re")),
        QRegularExpression(QString::fromUtf8(R"re(^《(.+?)》)re")),
    };
    return patterns;
}

const QRegularExpression &headAuthorPattern()
{
    // Line by line: the author line may be any line of the head.
    static const QRegularExpression pattern(
        QString::fromUtf8(R"re([作著]\s*[者]?[：:]\s*(.+?)(?:\s*[作著])?$)re"),
        QRegularExpression::MultilineOption);
    return pattern;
}

const QRegularExpression &headDescriptionPattern()
{
    static const QRegularExpression pattern(
        QString::fromUtf8(R"re((?:简\s*介|文\s*案|内\s*容\s*简\s*介)[：:]\s*(.+))re"));
    return pattern;
}

bool isSentenceEnd(QChar c)
{
    const ushort u = c.unicode();
    return u == 0x3002 || u == 0xFF01 || u == 0xFF1F || u == '.' || u == '!' || u == '?';
}

// Trimmed, with one trailing 著 ("written by") taken off.
QString cleanAuthor(const QString &raw)
{
    QString author = raw.trimmed();
    if (author.endsWith(QChar(0x8457)))
        author = author.left(author.size() - 1).trimmed();
    return author;
}

}

ZhCnTxtNovelParser::ZhCnTxtNovelParser(QObject *parent) : NovelParser(parent) {}

NovelInfo *ZhCnTxtNovelParser::parseNovel(const QString &filePath)
{
    const QFileInfo info(filePath);
    NovelInfo *novel = newTxtNovelRecord(filePath);
    novel->setLanguage(QStringLiteral("zh_CN"));

    QString baseName = info.fileName();
    const int dot = baseName.lastIndexOf(QLatin1Char('.'));
    if (dot > 0)
        baseName = baseName.left(dot);

    QString title;
    QString author;
    QString description;

    for (const NamePattern &row : fileNamePatterns()) {
        const QRegularExpressionMatch match = row.expression.match(baseName);
        if (!match.hasMatch())
            continue;
        const QString t = match.captured(row.titleGroup).trimmed();
        if (!t.isEmpty())
            title = t;
        if (row.authorGroup > 0) {
            const QString a = cleanAuthor(match.captured(row.authorGroup));
            if (!a.isEmpty())
                author = a;
        }
        break;
    }

    QFile file(filePath);
    if (info.isFile() && file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.read(qMin<qint64>(file.size(), 2000));
        file.close();
        QString head = TextDetect::decodeText(bytes);
        // The patterns see lines ended by LF alone, as CRLF and lone CR books end them too.
        head.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
        if (!head.isEmpty()) {
            QString headTitle;
            for (const QRegularExpression &pattern : headTitlePatterns()) {
                const QRegularExpressionMatch match = pattern.match(head);
                if (match.hasMatch()) {
                    headTitle = match.captured(1).trimmed();
                    break;
                }
            }

            QString headAuthor;
            const QRegularExpressionMatch authorMatch = headAuthorPattern().match(head);
            if (authorMatch.hasMatch())
                headAuthor = cleanAuthor(authorMatch.captured(1));

            QString desc;
            const QRegularExpressionMatch descMatch = headDescriptionPattern().match(head);
            if (descMatch.hasMatch()) {
                desc = descMatch.captured(1).trimmed();
                if (desc.size() > 100) {
                    // Cut at the last sentence end between 52 and 101 (1-based).
                    int cut = 100;
                    for (int p = 101; p >= 52 && cut == 100; --p) {
                        if (isSentenceEnd(desc.at(p - 1)))
                            cut = p;
                    }
                    desc = desc.left(cut);
                }
            }

            if (!headTitle.isEmpty())
                title = headTitle;
            if (!headAuthor.isEmpty())
                author = headAuthor;
            if (!desc.isEmpty())
                description = desc;
        }
    }

    if (title.isEmpty())
        title = baseName;
    if (author.isEmpty())
        author = QString::fromUtf8("未知作者");
    title.remove(QChar(0x300A)).remove(QChar(0x300B));

    novel->setTitle(title);
    novel->setAuthor(author);
    novel->setDescription(description.isEmpty() ? author : description);
    QLOG_INFO().noquote() << "[ZhCnTxtNovelParser] 元信息:" << title << "/" << author;
    return novel;
}
