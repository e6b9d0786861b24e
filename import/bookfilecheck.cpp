#include "bookfilecheck.h"

#include "confinement.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QVector>
#include <QtEndian>

namespace BookFileCheck {

namespace {

// What the bytes of a file are, as far as its first bytes and its end tell.
enum class Content {
    Unknown,
    Text,
    Zip,        // a ZIP that is neither of the two below
    Epub,
    ComicZip,   // a ZIP of pictures
    Pdf,
    Mobi,       // PalmDB: MOBI, KF8 or PalmDOC
    Fb2,
    Rar,
    SevenZip,
    Tar,
    Image,
};

constexpr qint64 HeadBytes = 4096;
// The ZIP end record (22 bytes) may be followed by a comment of up to 64 KiB.
constexpr qint64 ZipTailBytes = 22 + 65535;
// Bounds the central directory read to classify a ZIP by its entry names.
constexpr qint64 CentralDirectoryLimit = 8 * 1024 * 1024;
// A PDF's trailer (and with it /Encrypt) sits at its end, or, linearised, near its start.
constexpr qint64 PdfTrailerBytes = 64 * 1024;

QString tr(const char *text)
{
    return QCoreApplication::translate("BookFileCheck", text);
}

// A little-endian number at a place the caller has checked lies inside bytes.
template <typename T>
T le(const QByteArray &bytes, int at)
{
    return qFromLittleEndian<T>(bytes.constData() + at);
}

QByteArray readAt(QFile &file, qint64 offset, qint64 length)
{
    return file.seek(offset) ? file.read(length) : QByteArray();
}

struct Inspection
{
    bool exists = false;
    bool readable = false;
    qint64 size = 0;
    QByteArray head;
    Content content = Content::Unknown;
    bool cutOff = false;   // an archive whose end or directory is missing
    bool unsorted = false; // a ZIP whose entries were not looked at
};

// EPUB when the package says so by its first entry or its entry names, a
// comic when it holds pictures and no documents; cut off when the end
// record or the directory it points at is not there.
void inspectZip(QFile &file, Inspection &result)
{
    result.content = Content::Zip;
    const QByteArray &head = result.head;
    if (head.size() >= 30 && head.startsWith("PK\x03\x04")) {
        const int nameLength = int(le<quint16>(head, 26));
        const int dataAt = 30 + nameLength + int(le<quint16>(head, 28));
        if (head.mid(30, nameLength) == "mimetype" && head.mid(dataAt, 20) == "application/epub+zip")
            result.content = Content::Epub;
    }

    const qint64 tailLength = qMin(result.size, ZipTailBytes);
    const QByteArray tail = readAt(file, result.size - tailLength, tailLength);
    const int end = tail.lastIndexOf(QByteArray("PK\x05\x06", 4));
    if (end < 0 || end + 22 > tail.size()) {
        result.cutOff = true;
        return;
    }
    const qint64 endAt = result.size - tailLength + end;
    const qint64 directorySize = le<quint32>(tail, end + 12);
    const quint32 declaredAt = le<quint32>(tail, end + 16);
    if (result.content == Content::Epub)
        return;
    if (directorySize > endAt) {
        result.cutOff = true;
        return;
    }
    // ZIP64, or too many names to read here: left to the format's reader.
    if (declaredAt == 0xffffffffu || directorySize > CentralDirectoryLimit) {
        result.unsorted = true;
        return;
    }
    // Data before the archive moves the directory as a whole, as unzip allows.
    const qint64 directoryAt = endAt - directorySize;
    const QByteArray directory = readAt(file, directoryAt, directorySize);
    static const QStringList pictureSuffixes{QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("png"),
                                             QStringLiteral("gif"), QStringLiteral("webp"), QStringLiteral("bmp")};
    bool package = false, pictures = false, documents = false;
    int at = 0;
    while (at + 46 <= directory.size()) {
        if (!directory.mid(at, 4).startsWith("PK\x01\x02")) {
            result.cutOff = true;
            return;
        }
        const int nameLength = int(le<quint16>(directory, at + 28));
        const QString name = QString::fromUtf8(directory.mid(at + 46, nameLength)).toLower();
        package = package || name == QLatin1String("meta-inf/container.xml") || name.endsWith(QLatin1String(".opf"));
        const QString suffix = QFileInfo(name).suffix();
        documents = documents || suffix.startsWith(QLatin1String("htm")) || suffix == QLatin1String("xhtml");
        pictures = pictures || pictureSuffixes.contains(suffix);
        at += 46 + nameLength + int(le<quint16>(directory, at + 30)) + int(le<quint16>(directory, at + 32));
    }
    if (at != directory.size()) {
        result.cutOff = true;
        return;
    }
    if (package)
        result.content = Content::Epub;
    else if (pictures && !documents)
        result.content = Content::ComicZip;
}

// 7z names where its header lies, at the end: a file shorter than that is cut off.
bool sevenZipCutOff(const Inspection &result)
{
    if (result.head.size() < 32)
        return true;
    const quint64 offset = le<quint64>(result.head, 12);
    const quint64 length = le<quint64>(result.head, 20);
    const quint64 room = quint64(result.size) - 32;
    return offset > room || length > room - offset;
}

// A PalmDB lists where each record starts: a file that ends before its
// table does, or before its last record starts, was cut off. Record counts
// are 16 bits, so the table read is at most 512 KiB.
bool palmRecordsCutOff(QFile &file, qint64 size)
{
    constexpr qint64 TableAt = 78;
    const QByteArray count = readAt(file, 76, 2);
    if (count.size() < 2)
        return true;
    const qint64 records = qFromBigEndian<quint16>(count.constData());
    if (TableAt + 8 * records > size)
        return true;
    const QByteArray table = readAt(file, TableAt, 8 * records);
    quint32 last = 0;
    for (qint64 i = 0; i + 8 <= table.size(); i += 8)
        last = qMax(last, qFromBigEndian<quint32>(table.constData() + i));
    return records > 0 && qint64(last) >= size;
}

bool isFb2(const QByteArray &head)
{
    // UTF-16 books too: their ASCII is the same with the zero bytes taken out.
    QByteArray ascii = head;
    ascii.replace('\0', QByteArray());
    return ascii.contains("<FictionBook") || ascii.contains(":FictionBook");
}

Inspection inspect(const QString &path)
{
    Inspection result;
    const QFileInfo info(path);
    result.exists = info.exists() && info.isFile();
    if (!result.exists)
        return result;
    result.size = info.size();
    QFile file(path);
    result.readable = file.open(QIODevice::ReadOnly);
    if (!result.readable || result.size == 0)
        return result;
    result.head = file.read(HeadBytes);
    const QByteArray &head = result.head;

    if (head.startsWith("PK\x03\x04") || head.startsWith("PK\x05\x06")) {
        inspectZip(file, result);
    } else if (head.left(1024).contains("%PDF-")) {
        result.content = Content::Pdf;
    } else if (head.startsWith("Rar!\x1a\x07")) {
        result.content = Content::Rar;
    } else if (head.startsWith("7z\xbc\xaf\x27\x1c")) {
        result.content = Content::SevenZip;
        result.cutOff = sevenZipCutOff(result);
    } else if (head.mid(60, 8) == "BOOKMOBI" || head.mid(60, 8) == "TEXtREAd") {
        result.content = Content::Mobi;
        result.cutOff = palmRecordsCutOff(file, result.size);
    } else if (head.mid(257, 5) == "ustar") {
        result.content = Content::Tar;
    } else if (head.startsWith("\x89PNG") || head.startsWith("\xff\xd8\xff") || head.startsWith("GIF8")
               || (head.startsWith("RIFF") && head.mid(8, 4) == "WEBP")) {
        result.content = Content::Image;
    } else if (isFb2(head)) {
        result.content = Content::Fb2;
    } else if (!head.contains('\0') || head.startsWith("\xff\xfe") || head.startsWith("\xfe\xff")) {
        result.content = Content::Text;
    }
    return result;
}

// How a reader knows the content, and the suffix that would import it. A
// name that starts with Latin letters brings the space before it.
struct ContentName
{
    Content content;
    const char *name;
    const char *suffix;
};

const ContentName Names[] = {
    {Content::Text, QT_TRANSLATE_NOOP("BookFileCheck", "纯文本"), ".txt"},
    {Content::Zip, QT_TRANSLATE_NOOP("BookFileCheck", " ZIP 压缩包"), nullptr},
    {Content::Epub, QT_TRANSLATE_NOOP("BookFileCheck", " EPUB 电子书"), ".epub"},
    {Content::ComicZip, QT_TRANSLATE_NOOP("BookFileCheck", " ZIP 漫画压缩包"), ".cbz"},
    {Content::Pdf, QT_TRANSLATE_NOOP("BookFileCheck", " PDF 文档"), ".pdf"},
    {Content::Mobi, QT_TRANSLATE_NOOP("BookFileCheck", " MOBI 电子书"), ".mobi"},
    {Content::Fb2, QT_TRANSLATE_NOOP("BookFileCheck", " FB2 电子书"), ".fb2"},
    {Content::Rar, QT_TRANSLATE_NOOP("BookFileCheck", " RAR 压缩包"), ".cbr"},
    {Content::SevenZip, QT_TRANSLATE_NOOP("BookFileCheck", " 7z 压缩包"), ".cb7"},
    {Content::Tar, QT_TRANSLATE_NOOP("BookFileCheck", " tar 归档"), ".cbt"},
    {Content::Image, QT_TRANSLATE_NOOP("BookFileCheck", "图片"), nullptr},
};

// The contents a suffix's parser reads; a strict suffix also refuses what
// cannot be told (its format always starts the same way).
struct Expectation
{
    QVector<Content> accepted;
    bool strict = false;
};

Expectation expected(const QString &suffix)
{
    const QVector<Content> archives{Content::Zip, Content::Epub, Content::ComicZip,
                                    Content::Rar, Content::SevenZip, Content::Tar};
    if (suffix == QLatin1String("epub"))
        return {{Content::Epub}, true};
    if (suffix == QLatin1String("cbz"))
        return {{Content::Zip, Content::Epub, Content::ComicZip}, true};
    if (suffix == QLatin1String("cbr") || suffix == QLatin1String("cb7"))
        return {archives, true};
    if (suffix == QLatin1String("cbt"))
        return {archives, false};
    if (suffix == QLatin1String("pdf"))
        return {{Content::Pdf}, true};
    if (suffix == QLatin1String("mobi") || suffix == QLatin1String("azw3") || suffix == QLatin1String("kf8"))
        return {{Content::Mobi}, false};
    if (suffix == QLatin1String("fb2"))
        return {{Content::Fb2, Content::Text}, false};
    if (suffix == QLatin1String("txt"))
        return {{Content::Text, Content::Fb2}, false};
    return {};
}

QString wrongFormat(const QString &label, Content content)
{
    for (const ContentName &entry : Names) {
        if (entry.content != content)
            continue;
        const QString name = tr(entry.name);
        if (!entry.suffix)
            return tr("文件不是 %1 格式，而是%2").arg(label, name);
        return tr("文件不是 %1 格式，而是%2；请把扩展名改为 %3 后再导入")
            .arg(label, name, QLatin1String(entry.suffix));
    }
    return tr("文件不是 %1 格式，无法识别其内容").arg(label);
}

bool withoutText(const Inspection &result)
{
    if (result.size > result.head.size())
        return false;
    QByteArray bytes = result.head;
    bytes.replace('\0', QByteArray());
    QString text = QString::fromUtf8(bytes);
    text.remove(QChar(0xfeff));
    return text.trimmed().isEmpty();
}

}

QString refusal(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    const Expectation expectation = expected(suffix);
    if (expectation.accepted.isEmpty())
        return QString();   // a format this check does not know
    const Inspection result = inspect(path);
    if (!result.exists)
        return tr("文件不存在");
    if (!result.readable)
        return tr("无法读取文件：没有读取权限");
    if (result.size == 0)
        return tr("文件为空");

    const QString label = suffix.toUpper();
    const bool told = result.content != Content::Unknown && result.content != Content::Text;
    const bool accepted = expectation.accepted.contains(result.content)
        || (result.unsorted && expectation.accepted.contains(Content::Epub));
    // A ZIP whose directory is gone cannot be told from a damaged book of
    // this format: its damage is what the reader can act on.
    const bool untoldZip = result.cutOff && result.content == Content::Zip;
    if (!accepted && !untoldZip && (expectation.strict || told))
        return wrongFormat(label, result.content);
    if (result.cutOff)
        return damaged(label);
    if (expectation.accepted.contains(Content::Text) && withoutText(result))
        return tr("文件中没有可读的文字");
    return QString();
}

QString damaged(const QString &label)
{
    return tr("%1 文件已损坏或不完整（可能没有下载完），请重新获取该文件").arg(label);
}

namespace {

// What a PDF's bytes show of why it could not be read (locked, cut off);
// empty when they show nothing.
QString pdfCause(const QString &path)
{
    if (inspect(path).content != Content::Pdf)
        return QString();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const qint64 size = file.size();
    const qint64 tailLength = qMin(size, PdfTrailerBytes);
    const QByteArray tail = readAt(file, size - tailLength, tailLength);
    const QByteArray head = readAt(file, 0, qMin(size - tailLength, PdfTrailerBytes));
    if (tail.contains("/Encrypt") || head.contains("/Encrypt"))
        return tr("PDF 文件有密码保护，请先解除密码再导入");
    if (!tail.right(1024).contains("%%EOF"))
        return damaged(QStringLiteral("PDF"));
    return QString();
}

}

QString explainFailure(const QString &path, const QString &parserMessage)
{
    const QString cause = pdfCause(path);
    if (!cause.isEmpty())
        return cause;
    if (Confinement::helperPath().isEmpty())
        return tr("程序安装不完整（缺少解码组件 %1），请重新安装本程序").arg(QLatin1String(Confinement::kHelperName));
    return parserMessage;
}

}
