#include "fallbackchapterparser.h"

#include "chapterinfo.h"
#include "keys.h"
#include "logmanager.h"
#include "textdetect.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QUuid>

#include <algorithm>
#include <limits>

namespace {

QString translated(const char *text)
{
    return QCoreApplication::translate("FallbackChapterParser", text);
}

bool isSentenceEnd(QChar c)
{
    const ushort u = c.unicode();
    return u == 0x3002 || u == 0xFF01 || u == 0xFF1F || u == '.' || u == '!' || u == '?';
}

bool isClauseMark(QChar c)
{
    const ushort u = c.unicode();
    return u == 0xFF0C || u == 0xFF1B || u == 0xFF1A || u == ',' || u == ';' || u == ':';
}

}

FallbackChapterParser::FallbackChapterParser(QObject *parent) : ChapterParser(parent) {}

ChapterListResult FallbackChapterParser::parseChapters(const QString &filePath,
                                                       const QString &dataDir,
                                                       const QString &novelId, QString *error)
{
    ChapterListResult result;
    const QString text = readTextFile(filePath, error);
    if (text.isEmpty())
        return result;
    const QString chapterDir = dataDir + QStringLiteral("chapter/");
    result.chapters = splitChapters(text, chapterDir, novelId);
    if (result.chapters.isEmpty() && error)
        *error = translated("无法成功解析章节");
    result.text = text;
    return result;
}

QString FallbackChapterParser::readTextFile(const QString &filePath, QString *error)
{
    auto fail = [error](const char *message) {
        if (error)
            *error = translated(message);
        return QString();
    };

    QFile file(filePath);
    // Only regular files: a directory is no book and a pipe would block.
    if (!QFileInfo(filePath).isFile() || !file.open(QIODevice::ReadOnly))
        return fail("无读入权限");
    const qint64 size = file.size();
    if (size == 0)
        return fail("文件为空");
    if (size > MaxFileSize)
        return fail("文件过大");

    TextDetect::Decoded decoded;
    if (uchar *mapped = file.map(0, size)) {
        decoded = TextDetect::decode(
            QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), int(size)));
        file.unmap(mapped);
    } else {
        decoded = TextDetect::decode(file.readAll());
    }
    file.close();
    if (!decoded.ok)
        return fail("内容编码失败");
    if (decoded.damaged > 0) {
        qWarning().noquote() << "[FallbackChapterParser] 文本含损坏字节，已替换为 U+FFFD: count="
                                 << decoded.damaged << "encoding=" << decoded.encoding
                                 << "path=" << filePath;
    }
    // A book of blank lines is no book.
    const QString &text = decoded.text;
    if (std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSpace(); }))
        return fail("文件为空");
    return decoded.text;
}

QVector<ChapterInfo *> FallbackChapterParser::splitChapters(const QString &text,
                                                            const QString &chapterDir,
                                                            const QString &novelId)
{
    return splitBySize(text, chapterDir, novelId);
}

QString FallbackChapterParser::titleForIndex(int index, const QString &text, qint64 start,
                                             qint64 end)
{
    Q_UNUSED(text);
    Q_UNUSED(start);
    Q_UNUSED(end);
    return defaultChapterTitle(index);
}

QString FallbackChapterParser::defaultChapterTitle(int index)
{
    return QStringLiteral("Chapter %1").arg(index + 1);
}

QVector<ChapterInfo *> FallbackChapterParser::splitBySize(const QString &text,
                                                          const QString &chapterDir,
                                                          const QString &novelId)
{
    QVector<ChapterInfo *> chapters;
    const qint64 n = text.size();
    if (n == 0)
        return chapters;
    chapters.reserve(int(n / 1500 + 1));

    // A tail of nothing but white space (the blank lines that end most
    // files) stays with the chapter before it instead of becoming an empty
    // chapter of its own.
    qint64 lastText = n - 1;
    while (lastText > 0 && text.at(int(lastText)).isSpace())
        --lastText;

    const QString now = currentTimeString();
    qint64 start = 0;
    int index = 0;
    while (start < n) {
        const qint64 hi = qMin(n - 1, start + 2500);
        const qint64 lo = qMin(hi, start + 1500);
        qint64 end = findSplitPoint(text, lo, hi);
        // A character outside the BMP stays whole.
        if (end + 1 < n && text.at(int(end)).isHighSurrogate() && text.at(int(end + 1)).isLowSurrogate())
            ++end;
        if (end >= lastText)
            end = n - 1;

        auto *chapter = new ChapterInfo;
        chapter->setId(QUuid::createUuid().toString());
        chapter->setNovelId(novelId);
        chapter->setPath(chapterDir + chapter->id() + QStringLiteral(".html"));
        chapter->setStartOffset(int(start));
        chapter->setEndOffset(int(end));
        chapter->setChapterIndex(index);
        chapter->setWordCount(int(end - start + 1));
        chapter->setStatus(0);
        chapter->setLoadStatus(0);
        chapter->setCreateTime(now);
        chapter->setUpdateTime(now);
        chapter->setTitle(titleForIndex(index, text, start, end));
        if (!chapters.isEmpty()) {
            chapter->setPrevChapter(chapters.last()->id());
            chapters.last()->setNextChapter(chapter->id());
        }
        chapters.append(chapter);
        ++index;
        start = end + 1;
    }
    QLOG_INFO().noquote() << "[FallbackChapterParser] 兜底切分完成，共" << chapters.size() << "章";
    return chapters;
}

qint64 FallbackChapterParser::findSplitPoint(const QString &text, qint64 lo, qint64 hi)
{
    const qint64 c = text.size();
    hi = qMin(hi, c - 1);
    lo = qMax<qint64>(lo, 0);
    if (hi < lo)
        lo = hi;
    if (hi < 0)
        return hi;

    const QChar *p = text.constData();
    // A blank line in any line-ending convention (LF, CRLF, lone CR): a line
    // end directly followed by another. The cut goes after the first line end.
    const auto endsLine = [p, c](qint64 i) {
        return p[i] == QLatin1Char('\n')
            || (p[i] == QLatin1Char('\r') && (i + 1 >= c || p[i + 1] != QLatin1Char('\n')));
    };
    for (qint64 i = hi; i >= lo; --i) {
        if (i + 1 < c && endsLine(i)
            && (p[i + 1] == QLatin1Char('\n') || p[i + 1] == QLatin1Char('\r')))
            return i;
    }
    for (qint64 i = hi; i >= lo; --i) {
        if (isSentenceEnd(p[i]))
            return i;
    }
    for (qint64 i = hi; i >= lo; --i) {
        if (isClauseMark(p[i]))
            return i;
    }
    return hi;
}

bool FallbackChapterParser::writeChapterFiles(const QVector<ChapterInfo *> &chapters,
                                              const QString &text)
{
    if (chapters.isEmpty() || text.isEmpty() || !chapters.first())
        return false;

    const QString dirPath = QFileInfo(chapters.first()->path()).absolutePath();
    if (!QDir().mkpath(dirPath)) {
        qWarning().noquote() << "[FallbackChapterParser] 章节目录创建失败:" << dirPath;
        return false;
    }

    int written = 0;
    const qint64 n = text.size();
    for (ChapterInfo *chapter : chapters) {
        if (!chapter)
            continue;
        const qint64 start = chapter->startOffset();
        const qint64 end = chapter->endOffset();
        if (start < 0 || start > end || end >= n)
            continue;
        const QString document = splitParagraphLines(chapter->title(), text, start, end);
        if (document.isEmpty())
            continue;
        QFile file(chapter->path());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            continue;
        QTextStream out(&file);
        out.setCodec("UTF-8");
        out << document;
        out.flush();
        file.close();
        ++written;
    }
    QLOG_INFO().noquote() << "[FallbackChapterParser] 内容写入完成:" << written << "/"
                          << chapters.size();
    return written > 0;
}

QString FallbackChapterParser::splitParagraphLines(const QString &title, const QString &text,
                                                   qint64 start, qint64 end)
{
    const qint64 n = text.size();
    start = qMax<qint64>(start, 0);
    end = qMin(end, n - 1);
    const QChar *p = text.constData();
    while (start <= end && p[start].isSpace())
        ++start;
    while (end >= start && p[end].isSpace())
        --end;
    if (end < start)
        return QString();

    QStringList lines;
    lines.reserve(int((end - start + 1) / 40 + 10));
    qint64 pieceStart = start;
    for (qint64 i = start; i <= end + 1; ++i) {
        if (i == end + 1 || p[i] == QLatin1Char('\n') || p[i] == QLatin1Char('\r')) {
            const QString piece =
                QString(p + pieceStart, int(i - pieceStart)).trimmed();
            if (!piece.isEmpty())
                lines.append(piece);
            pieceStart = i + 1;
        }
    }
    return buildChapterXhtml(title, lines);
}

QString FallbackChapterParser::buildChapterXhtml(const QString &title, const QStringList &lines)
{
    qint64 reserve = 700;
    for (const QString &line : lines)
        reserve += 2 * line.size() + 60;

    QString out;
    out.reserve(int(qMin<qint64>(reserve, std::numeric_limits<int>::max() / 2)));
    out += QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" "
        "\"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">\n"
        "<html xmlns=\"http://www.w3.org/1999/xhtml\" xml:lang=\"zh-CN\">\n"
        "    <head>\n"
        "        <meta name=\"viewport\" content=\"width=device-width, initial-scale=1.0, "
        "maximum-scale=1.0, user-scalable=no\" />\n"
        "        <meta http-equiv=\"Content-Type\" content=\"application/xhtml+xml; "
        "charset=utf-8\" />\n"
        "        <title>");
    out += title.toHtmlEscaped();
    out += QStringLiteral(
        "</title>\n"
        "        <style type=\"text/css\">\n"
        "            body { padding: 0; margin: 0; }\n"
        "            p { line-height: 125%; margin-top: 0px; margin-bottom: 0px; "
        "text-indent: 2em !important; white-space: pre-wrap; }\n"
        "        </style>\n"
        "    </head>\n"
        "    <body>\n");
    const QString indent = QStringLiteral("        <p>") + QChar(0x2003) + QChar(0x2003);
    for (const QString &line : lines) {
        out += indent;
        out += line.toHtmlEscaped();
        out += QStringLiteral("</p>\n        <p></p>\n");
    }
    out += QStringLiteral("    </body>\n</html>");
    return out;
}
