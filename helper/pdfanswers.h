#pragma once

#include "decodewire.h"

#include <QByteArray>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QVector>

// What the decoding helper answers about a PDF book in the bytes after its
// Answer header: the book's facts (Kind::PdfBook) and one page's text
// (Kind::PdfText, Kind::PdfWords). The helper writes them within the bounds
// below; the program reads them as hostile, and an answer that breaks a
// bound, ends early or runs on is refused whole.
namespace PdfAnswers {

// Past any real book: a page tree of more is refused, its pages unread.
constexpr int kMaxPages = 20000;
// Outline entries read: each becomes a chapter, however small the file.
constexpr int kMaxOutlineEntries = 100000;
// Outlines nest as deep as the file says; a hostile file is cut off here.
constexpr int kMaxOutlineDepth = 64;
// Characters of one outline title, of one information field, of one word.
constexpr int kMaxTitleChars = 1024;
constexpr int kMaxInfoChars = 4096;
constexpr int kMaxWordChars = 1024;
// A page's whole text, and its words.
constexpr int kMaxPageTextChars = 1 << 20;
constexpr int kMaxPageWords = 200000;
// The bytes of one answer, whatever it holds.
constexpr int kMaxBytes = DecodeWire::kMaxPayloadBytes;

struct OutlineEntry {
    QString title;
    // 0-based, as the outline says: maybe past the last page.
    qint32 page = 0;
};

struct Book {
    qint32 pages = 0;
    QString title, author, subject;
    // Every page's size in points (0x0 for a page that does not load);
    // none when the book has more than kMaxPages.
    QVector<QSizeF> pagePoints;
    // Depth first, each item before its children, as the outline lists them.
    QVector<OutlineEntry> outline;
    // The helper's check of the book, when it made one (the program did not
    // hold its verdict): why poppler must not read it (empty: it may; the
    // book's facts are then all empty), and the pages (0-based, ascending)
    // that draw an image past the pixel bound.
    bool checked = false;
    QString refusal;
    QVector<qint32> refusedPages;
};

struct Word {
    QRectF box;
    QString text;
    // Poppler's word ends its line (no next word), or a space follows it.
    bool lineEnd = false;
    bool spaceAfter = false;
};

struct PageText {
    // The page's whole text: of a PdfText request, or of a PdfWords request
    // whose words hold no text.
    QString text;
    QVector<Word> words;
};

// Cut to the bounds: a string to its characters, lists to what fits the
// answer's bytes.
QString bounded(const QString &text, int maxChars);

QByteArray write(const Book &book);
QByteArray write(const PageText &page);
// False for anything but an answer within the bounds, read to its end.
bool read(const QByteArray &bytes, Book *book);
bool read(const QByteArray &bytes, PageText *page);

}
