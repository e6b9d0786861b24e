#pragma once

#include <QByteArray>
#include <QString>

// Turning the raw bytes of a plain-text book into text, and telling which
// language a text sample is written in. Stateless.
namespace TextDetect {

// Damaged bytes a book may hold, as a share of its characters, and still be
// read (each becomes U+FFFD).
constexpr double MaxDamagedShare = 0.01;

struct Decoded
{
    QString text;         // NUL-free, lone surrogates replaced by U+FFFD
    QByteArray encoding;  // the codec that read it, e.g. "UTF-8", "GB18030", "Big5"
    int damaged = 0;      // U+FFFD put in for bytes that were not text
    bool ok = false;      // false: no encoding reads the bytes as text
};

// Structural UTF-8 check: lead bytes and their continuation bytes only.
bool isValidUtf8(const QByteArray &bytes);

// Byte-order marks, then UTF-8 (also with a few damaged bytes), UTF-16
// without a mark, then what ICU's charset detector names (GB18030, Big5,
// Shift_JIS, EUC-KR, single-byte codes), GB18030 where it reads the bytes
// cleanly, and the local 8-bit codec last. Refused (ok false) when more than
// MaxDamagedShare of the text would be replacement characters, or it looks
// like binary data.
Decoded decode(const QByteArray &bytes);

// decode(bytes).text: empty when the bytes are not text.
QString decodeText(const QByteArray &bytes);

// Replaces every unpaired surrogate by U+FFFD; returns how many.
int replaceLoneSurrogates(QString &text);

// One of "zh_CN", "zh_TW", "en", "ru", "ar", "hi", "unknown".
QString detectLanguage(const QString &text);

}
