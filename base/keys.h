#pragma once

#include <QString>
#include <QStringList>

// Stored ids and time stamps: the output of these functions is part of the
// library database and must never change.

// Lower-case hexadecimal MD5 of the UTF-8 bytes of text.
QString md5Hex(const QString &text);

// A book's id: md5Hex of its file path as given, or the path itself when
// that is empty.
QString bookIdForPath(const QString &filePath);

// Whether text has the form of a book id, and so may name a book's data
// folder: 32 hexadecimal digits. md5Hex writes them in lower case, but an
// importer chooses its ids, and folders of ids stored in capitals are the
// library's too.
bool isBookId(const QString &text);

// md5Hex of the parts joined with "|".
QString md5OfJoined(const QStringList &parts);

// Local time as "yyyy-MM-dd hh:mm:ss".
QString currentTimeString();
