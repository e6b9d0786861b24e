#include "textdetect.h"

#include <QTextCodec>
#include <QThread>
#include <QtEndian>

#include <cstring>
#include <thread>
#include <vector>

namespace {

// Length of the valid UTF-8 prefix that ends on a sequence boundary, and
// whether the rest is no more than one sequence cut off by the end of the
// array. A head sample read from a UTF-8 book is often cut in the middle of a
// character; that must not send the whole sample to another codec.
struct Utf8Scan
{
    int validLength = 0;
    bool truncatedTail = false;
    bool valid = false;
};

Utf8Scan scanUtf8(const QByteArray &bytes)
{
    Utf8Scan scan;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const int n = bytes.size();
    int i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        int follow;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC0 && c <= 0xDF) {
            follow = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            follow = 2;
        } else if (c >= 0xF0 && c <= 0xF7) {
            follow = 3;
        } else {
            scan.validLength = i;
            return scan;
        }
        int j = 1;
        for (; j <= follow && i + j < n; ++j) {
            if ((p[i + j] & 0xC0) != 0x80) {
                scan.validLength = i;
                return scan;
            }
        }
        if (j <= follow) {
            // Ran out of bytes inside the sequence.
            scan.validLength = i;
            scan.truncatedTail = true;
            return scan;
        }
        i += follow + 1;
    }
    scan.validLength = n;
    scan.valid = true;
    return scan;
}

// Counts over a UTF-8 reading as Qt's decoder sees it: well-formed multi-byte
// characters, and malformed sequences (overlong forms, surrogates, values
// above U+10FFFF, bad lead or continuation bytes; the walk resumes after the
// bad byte). Gives up early once the malformed ones can no longer stay under
// one in a thousand.
struct Utf8Tally
{
    qint64 multiByte = 0;
    qint64 malformed = 0;
    bool mostlyUtf8() const { return malformed * 1000 <= multiByte; }
};

Utf8Tally tallyUtf8(const char *data, int n)
{
    Utf8Tally tally;
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    int i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int follow = 0;
        unsigned char low = 0x80, high = 0xBF;   // bounds of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            follow = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            follow = 2;
            if (c == 0xE0)
                low = 0xA0;
            else if (c == 0xED)
                high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            follow = 3;
            if (c == 0xF0)
                low = 0x90;
            else if (c == 0xF4)
                high = 0x8F;
        }
        bool ok = follow > 0 && i + follow < n && p[i + 1] >= low && p[i + 1] <= high;
        for (int j = 2; ok && j <= follow; ++j)
            ok = (p[i + j] & 0xC0) == 0x80;
        if (ok) {
            ++tally.multiByte;
            i += follow + 1;
        } else {
            ++tally.malformed;
            ++i;
            // Even if every byte left were a character of two bytes.
            if (!tally.mostlyUtf8() && tally.malformed * 1000 > tally.multiByte + (n - i) / 2)
                break;
        }
    }
    return tally;
}

QString decodeUtf16(const char *data, int size, bool littleEndian)
{
    const int units = size / 2;
    QString text(units, Qt::Uninitialized);
    if (littleEndian)
        qFromLittleEndian<quint16>(data, units, text.data());
    else
        qFromBigEndian<quint16>(data, units, text.data());
    return text;
}

int countReplacements(const QString &text)
{
    return int(text.count(QChar(QChar::ReplacementCharacter)));
}

// Binary files decode to replacement characters and control codes; real text
// has next to none.
bool looksLikeBinary(const QString &text)
{
    qsizetype junk = 0;
    for (const QChar ch : text) {
        const ushort u = ch.unicode();
        if (u == QChar::ReplacementCharacter
            || (u < 0x20 && u != '\t' && u != '\n' && u != '\v' && u != '\f' && u != '\r'
                && u != 0x1A)
            || u == 0x7F) {
            ++junk;
        }
    }
    return junk * 10 > text.size();
}

// GB18030 through the platform codec runs at some 60 MB/s; large books are
// decoded in pieces on several threads. Pieces start right after a line feed,
// a byte that never occurs inside a multi-byte GB18030 sequence, so the joined
// result equals a decoding in one go.
QString decodeGb18030(QTextCodec *codec, const char *data, int n)
{
    constexpr int MinPiece = 2 * 1024 * 1024;
    const int pieces = qMin(QThread::idealThreadCount(), n / MinPiece);
    if (pieces <= 1)
        return codec->toUnicode(data, n);

    std::vector<int> bounds{0};
    for (int k = 1; k < pieces; ++k) {
        const int from = qMax(bounds.back(), int(qint64(n) * k / pieces));
        const void *lf = std::memchr(data + from, '\n', size_t(n - from));
        if (!lf)
            break;
        const int at = int(static_cast<const char *>(lf) - data) + 1;
        if (at < n)
            bounds.push_back(at);
    }
    bounds.push_back(n);

    std::vector<QString> parts(bounds.size() - 1);
    std::vector<std::thread> workers;
    for (size_t k = 1; k < parts.size(); ++k) {
        workers.emplace_back([&, k] {
            parts[k] = codec->toUnicode(data + bounds[k], bounds[k + 1] - bounds[k]);
        });
    }
    parts[0] = codec->toUnicode(data, bounds[1]);
    for (std::thread &worker : workers)
        worker.join();

    qsizetype total = 0;
    for (const QString &part : parts)
        total += part.size();
    QString text;
    text.reserve(int(total));
    for (QString &part : parts) {
        text += part;
        part = QString();
    }
    return text;
}

QString decodeBytes(const QByteArray &bytes)
{
    const char *data = bytes.constData();
    const int n = bytes.size();
    const auto *u = reinterpret_cast<const unsigned char *>(data);

    if (n >= 3 && u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF)
        return QString::fromUtf8(data + 3, n - 3);
    if (n >= 2 && u[0] == 0xFF && u[1] == 0xFE)
        return decodeUtf16(data + 2, n - 2, true);
    if (n >= 2 && u[0] == 0xFE && u[1] == 0xFF)
        return decodeUtf16(data + 2, n - 2, false);

    QTextCodec *gb = QTextCodec::codecForName("GB18030");
    const Utf8Scan scan = scanUtf8(bytes);
    if (scan.valid || (scan.truncatedTail && scan.validLength > 0)) {
        // Short GBK text can be well-formed UTF-8 in its byte pattern alone
        // (联通 is C1 AA CD A8), which the UTF-8 decoder turns into
        // replacement characters; GB18030 reads it cleanly.
        if (!tallyUtf8(data, scan.validLength).mostlyUtf8() && gb) {
            const QString text = decodeGb18030(gb, data, n);
            if (countReplacements(text) == 0)
                return text;
        }
        return QString::fromUtf8(data, scan.validLength);
    }

    // A UTF-8 book with a few damaged bytes is still UTF-8: read as GB18030
    // it would turn into nonsense without a single replacement character.
    if (tallyUtf8(data, n).mostlyUtf8())
        return QString::fromUtf8(data, n);

    if (gb) {
        const QString text = decodeGb18030(gb, data, n);
        // A few stray bytes in a long GBK book must not reject it.
        if (qint64(countReplacements(text)) * 1000 <= text.size())
            return text;
    }

    return QString::fromLocal8Bit(data, n);
}

}

namespace TextDetect {

bool isValidUtf8(const QByteArray &bytes)
{
    return scanUtf8(bytes).valid;
}

QString decodeText(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return QString();
    QString text = decodeBytes(bytes);
    // A stray NUL must not end the book.
    if (text.contains(QChar(0)))
        text.remove(QChar(0));
    if (text.isEmpty() || looksLikeBinary(text))
        return QString();
    return text;
}

QString detectLanguage(const QString &text)
{
    const int n = qMin(text.size(), 2000);
    if (n == 0)
        return QStringLiteral("unknown");

    int letters = 0, cjk = 0, traditional = 0, latin = 0, cyrillic = 0, arabic = 0,
        devanagari = 0;
    const QChar *p = text.constData();
    for (int i = 0; i < n; ++i) {
        const QChar ch = p[i];
        if (ch.isSpace() || ch.isPunct())
            continue;
        ++letters;
        const ushort u = ch.unicode();
        if ((u >= 0x4E00 && u <= 0x9FFF) || (u >= 0x3400 && u <= 0x4DBF)) {
            ++cjk;
            if (u >= 0x8A00 && u <= 0x8DFF)
                ++traditional;
        } else if ((u >= 0x0041 && u <= 0x007A) || (u >= 0x00C0 && u <= 0x017F)) {
            ++latin;
        } else if (u >= 0x0400 && u <= 0x04FF) {
            ++cyrillic;
        } else if (u >= 0x0600 && u <= 0x06FF) {
            ++arabic;
        } else if (u >= 0x0900 && u <= 0x097F) {
            ++devanagari;
        }
    }
    if (letters == 0)
        return QStringLiteral("unknown");

    const double total = letters;
    const double cjkRatio = cjk / total;
    const double latinRatio = latin / total;
    auto chinese = [&]() {
        return double(traditional) / double(cjk) > 0.3 ? QStringLiteral("zh_TW")
                                                       : QStringLiteral("zh_CN");
    };
    if (cjkRatio > 0.6)
        return chinese();
    if (latinRatio > 0.6)
        return QStringLiteral("en");
    if (cyrillic / total > 0.6)
        return QStringLiteral("ru");
    if (arabic / total > 0.6)
        return QStringLiteral("ar");
    if (devanagari / total > 0.6)
        return QStringLiteral("hi");
    if (cjkRatio > 0.3 && latinRatio > 0.3)
        return cjkRatio > latinRatio ? chinese() : QStringLiteral("en");
    return QStringLiteral("unknown");
}

}
