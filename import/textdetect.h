#pragma once

#include <QByteArray>
#include <QString>

// Turning the raw bytes of a plain-text book into text, and telling which
// language a text sample is written in. Stateless.
namespace TextDetect {

// Structural UTF-8 check: lead bytes and their continuation bytes only.
bool isValidUtf8(const QByteArray &bytes);

// Byte-order marks first, then UTF-8, GB18030, then the local 8-bit codec.
// NUL bytes are dropped. Empty when the bytes are not text.
QString decodeText(const QByteArray &bytes);

// One of "zh_CN", "zh_TW", "en", "ru", "ar", "hi", "unknown".
QString detectLanguage(const QString &text);

}
