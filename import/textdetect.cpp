#include "textdetect.h"

#include "zhvariants.h"

#include <QTextCodec>
#include <QThread>
#include <QtEndian>

#include <unicode/ucsdet.h>

#include <algorithm>
#include <cstring>
#include <memory>
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
// bad byte). A UTF-8 book with a few damaged bytes is still UTF-8, while GBK
// or Big5 read as UTF-8 is malformed nearly everywhere. Gives up early once
// the malformed ones can no longer stay under one in fifty.
struct Utf8Tally
{
    qint64 multiByte = 0;
    qint64 malformed = 0;
    bool mostlyUtf8() const { return malformed * 50 <= multiByte; }
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
            if (!tally.mostlyUtf8() && tally.malformed * 50 > tally.multiByte + (n - i) / 2)
                break;
        }
    }
    return tally;
}

// The detectors look at this much of a book; enough to tell its encoding,
// little enough to cost nothing next to the decoding.
constexpr int SampleBytes = 64 * 1024;

// Code units that books are made of: text, Latin, Greek and Cyrillic letters,
// punctuation and symbols, kana, CJK, Hangul and full-width forms.
bool isBookUnit(ushort u)
{
    if (u < 0x80)
        return u >= 0x20 ? u != 0x7F : (u == '\n' || u == '\r' || u == '\t');
    return (u >= 0xA0 && u <= 0x24F) || (u >= 0x370 && u <= 0x4FF)
        || (u >= 0x2000 && u <= 0x27BF) || (u >= 0x3000 && u <= 0x312F)
        || (u >= 0x3400 && u <= 0x4DBF) || (u >= 0x4E00 && u <= 0x9FFF)
        || (u >= 0xAC00 && u <= 0xD7A3) || (u >= 0xF900 && u <= 0xFAFF)
        || (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFFEF);
}

// Share of a UTF-16 reading of the sample that is book text, surrogates
// counting only in pairs.
double utf16BookShare(const char *data, int n, bool littleEndian)
{
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    const int units = qMin(n, SampleBytes) / 2;
    auto unitAt = [&](int k) {
        return littleEndian ? ushort(p[2 * k] | (p[2 * k + 1] << 8))
                            : ushort((p[2 * k] << 8) | p[2 * k + 1]);
    };
    int good = 0;
    for (int k = 0; k < units; ++k) {
        const ushort u = unitAt(k);
        if (QChar::isHighSurrogate(u)) {
            if (k + 1 < units && QChar::isLowSurrogate(unitAt(k + 1))) {
                good += 2;
                ++k;
            }
        } else if (isBookUnit(u)) {
            ++good;
        }
    }
    return units ? double(good) / units : 0.0;
}

// UTF-16 without a byte-order mark. ICU's detector only looks at the first
// few code units for it and tells Chinese UTF-16 poorly, so both byte orders
// are read and kept when nearly every unit is book text; legacy CJK bytes
// read as UTF-16 land in private-use and surrogate ranges far too often.
enum class Utf16Order { None, Little, Big };

Utf16Order utf16WithoutMark(const char *data, int n)
{
    if (n < 16)
        return Utf16Order::None;
    const double little = utf16BookShare(data, n, true);
    const double big = utf16BookShare(data, n, false);
    const double best = qMax(little, big);
    if (best < 0.95)
        return Utf16Order::None;
    return little >= big ? Utf16Order::Little : Utf16Order::Big;
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

// What ICU's charset detector makes of the book, judged from its first
// non-ASCII byte on: ASCII front matter tells nothing.
QByteArray detectCharset(const char *data, int n)
{
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    int from = 0;
    while (from < n && p[from] < 0x80)
        ++from;
    if (from == n)
        return QByteArray();
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UCharsetDetector, void (*)(UCharsetDetector *)> detector(
        ucsdet_open(&status), ucsdet_close);
    if (U_FAILURE(status))
        return QByteArray();
    ucsdet_setText(detector.get(), data + from, qMin(n - from, SampleBytes), &status);
    const UCharsetMatch *match = ucsdet_detect(detector.get(), &status);
    if (U_FAILURE(status) || !match)
        return QByteArray();
    const char *name = ucsdet_getName(match, &status);
    return U_SUCCESS(status) && name ? QByteArray(name) : QByteArray();
}

enum class CharsetKind { Other, Gb18030, LegacyCjk, SingleByte };

CharsetKind kindOf(const QByteArray &name)
{
    if (name == "GB18030")
        return CharsetKind::Gb18030;
    if (name == "Big5" || name == "Shift_JIS" || name == "EUC-JP" || name == "EUC-KR")
        return CharsetKind::LegacyCjk;
    if (name.startsWith("ISO-8859-") || name.startsWith("windows-125") || name == "KOI8-R")
        return CharsetKind::SingleByte;
    // UTF-8, UTF-16 and UTF-32 are tested before the detector; ISO-2022
    // text is 7-bit and reads as UTF-8; EBCDIC is no book format.
    return CharsetKind::Other;
}

// Legacy codecs through the platform run at some 60 MB/s; large books are
// decoded in pieces on several threads. Pieces start right after a line feed,
// a byte that none of these codecs uses inside a character and after which
// none carries state, so the joined result equals a decoding in one go.
QString decodeInPieces(QTextCodec *codec, const char *data, int n)
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

int countReplacements(const QString &text)
{
    return int(text.count(QChar(QChar::ReplacementCharacter)));
}

bool withinDamageLimit(qint64 damaged, qint64 length)
{
    return double(damaged) <= TextDetect::MaxDamagedShare * double(length);
}

// Binary files decode to control codes; real text has next to none.
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

TextDetect::Decoded reading(QString text, const QByteArray &encoding, int damaged)
{
    TextDetect::Decoded decoded;
    decoded.text = std::move(text);
    decoded.encoding = encoding;
    decoded.damaged = damaged;
    return decoded;
}

// UTF-8 through Qt's decoder; damaged counts the replacement characters it
// put in, not those the book itself holds (EF BF BD).
TextDetect::Decoded readUtf8(const char *data, int n, bool anyMalformed)
{
    QString text = QString::fromUtf8(data, n);
    int damaged = 0;
    if (anyMalformed) {
        const int inBook = int(QByteArray::fromRawData(data, n).count("\xEF\xBF\xBD"));
        damaged = qMax(0, countReplacements(text) - inBook);
    }
    return reading(std::move(text), "UTF-8", damaged);
}

TextDetect::Decoded readLegacy(QTextCodec *codec, const char *data, int n)
{
    QString text = decodeInPieces(codec, data, n);
    const int damaged = countReplacements(text);
    return reading(std::move(text), codec->name(), damaged);
}

TextDetect::Decoded decodeBytes(const QByteArray &bytes)
{
    const char *data = bytes.constData();
    const int n = bytes.size();
    const auto *u = reinterpret_cast<const unsigned char *>(data);

    if (n >= 3 && u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF)
        return readUtf8(data + 3, n - 3, !scanUtf8(bytes).valid);
    if (n >= 2 && u[0] == 0xFF && u[1] == 0xFE)
        return reading(decodeUtf16(data + 2, n - 2, true), "UTF-16LE", 0);
    if (n >= 2 && u[0] == 0xFE && u[1] == 0xFF)
        return reading(decodeUtf16(data + 2, n - 2, false), "UTF-16BE", 0);

    QTextCodec *gb = QTextCodec::codecForName("GB18030");
    const Utf8Scan scan = scanUtf8(bytes);
    if (scan.valid || (scan.truncatedTail && scan.validLength > 0)) {
        const Utf8Tally tally = tallyUtf8(data, scan.validLength);
        // Short GBK text can be well-formed UTF-8 in its byte pattern alone
        // (联通 is C1 AA CD A8), which the UTF-8 decoder turns into
        // replacement characters; GB18030 reads it cleanly.
        if (!tally.mostlyUtf8() && gb) {
            TextDetect::Decoded decoded = readLegacy(gb, data, n);
            if (decoded.damaged == 0)
                return decoded;
        }
        return readUtf8(data, scan.validLength, tally.malformed > 0);
    }

    // A UTF-8 book with a few damaged bytes is still UTF-8: read as GB18030
    // it would turn into nonsense without a single replacement character.
    if (tallyUtf8(data, n).mostlyUtf8())
        return readUtf8(data, n, true);

    switch (utf16WithoutMark(data, n)) {
    case Utf16Order::Little:
        return reading(decodeUtf16(data, n, true), "UTF-16LE", 0);
    case Utf16Order::Big:
        return reading(decodeUtf16(data, n, false), "UTF-16BE", 0);
    case Utf16Order::None:
        break;
    }

    // Big5 byte pairs are nearly all valid GB18030 too, so a clean GB18030
    // reading proves nothing; the detector's statistics decide. A
    // single-byte answer loses to a clean GB18030 reading, which short
    // Chinese samples sometimes get.
    const QByteArray detected = detectCharset(data, n);
    const CharsetKind kind = kindOf(detected);
    QTextCodec *named = kind == CharsetKind::Other ? nullptr : QTextCodec::codecForName(detected);
    struct Attempt
    {
        QTextCodec *codec;
        bool clean;   // only a reading without replacement characters will do
    };
    std::vector<Attempt> attempts;
    if (named && kind == CharsetKind::LegacyCjk)
        attempts.push_back({named, false});
    if (gb)
        attempts.push_back({gb, kind == CharsetKind::SingleByte});
    if (named && kind == CharsetKind::SingleByte)
        attempts.push_back({named, false});
    for (const Attempt &attempt : attempts) {
        TextDetect::Decoded decoded = readLegacy(attempt.codec, data, n);
        if (attempt.clean ? decoded.damaged == 0
                          : withinDamageLimit(decoded.damaged, decoded.text.size()))
            return decoded;
    }
    QString text = QString::fromLocal8Bit(data, n);
    const int damaged = countReplacements(text);
    return reading(std::move(text), QTextCodec::codecForLocale()->name(), damaged);
}

bool isSimplifiedOnly(ushort u)
{
    return std::binary_search(ZhVariants::SimplifiedOnly,
                              ZhVariants::SimplifiedOnly + ZhVariants::SimplifiedOnlyCount,
                              char16_t(u));
}

bool isTraditionalOnly(ushort u)
{
    return std::binary_search(ZhVariants::TraditionalOnly,
                              ZhVariants::TraditionalOnly + ZhVariants::TraditionalOnlyCount,
                              char16_t(u));
}

}

namespace TextDetect {

bool isValidUtf8(const QByteArray &bytes)
{
    return scanUtf8(bytes).valid;
}

int replaceLoneSurrogates(QString &text)
{
    const int n = text.size();
    const QChar *p = text.constData();
    int found = 0;
    for (int i = 0; i < n; ++i) {
        if (!p[i].isSurrogate())
            continue;
        if (p[i].isHighSurrogate() && i + 1 < n && p[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        if (found++ == 0)
            p = text.data();   // detach only when there is something to mend
        text[i] = QChar(QChar::ReplacementCharacter);
    }
    return found;
}

Decoded decode(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return Decoded();
    Decoded decoded = decodeBytes(bytes);
    // A stray NUL must not end the book.
    if (decoded.text.contains(QChar(0)))
        decoded.text.remove(QChar(0));
    decoded.damaged += replaceLoneSurrogates(decoded.text);
    decoded.ok = withinDamageLimit(decoded.damaged, decoded.text.size())
        && !looksLikeBinary(decoded.text);
    if (!decoded.ok)
        decoded.text = QString();
    return decoded;
}

QString decodeText(const QByteArray &bytes)
{
    return decode(bytes).text;
}

QString detectLanguage(const QString &text)
{
    const int n = qMin(text.size(), 2000);
    if (n == 0)
        return QStringLiteral("unknown");

    int letters = 0, cjk = 0, simplified = 0, traditional = 0, latin = 0, cyrillic = 0,
        arabic = 0, devanagari = 0;
    const QChar *p = text.constData();
    for (int i = 0; i < n; ++i) {
        const QChar ch = p[i];
        if (ch.isSpace() || ch.isPunct())
            continue;
        ++letters;
        const ushort u = ch.unicode();
        if ((u >= 0x4E00 && u <= 0x9FFF) || (u >= 0x3400 && u <= 0x4DBF)) {
            ++cjk;
            if (isSimplifiedOnly(u))
                ++simplified;
            else if (isTraditionalOnly(u))
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
    // Most characters are written alike in both scripts; those written in
    // only one of them decide.
    auto chinese = [&]() {
        return traditional > simplified ? QStringLiteral("zh_TW") : QStringLiteral("zh_CN");
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
