#pragma once

#include "paragraph.h"

#include <QByteArray>
#include <QList>
#include <QVector>

// A chapter's paragraphs kept encoded while the book is walked: only the
// fields that differ from a default paragraph are written, so a section of a
// million one-letter paragraphs takes a few bytes each instead of a quarter
// of a kilobyte. Read back in order, a piece at a time.
class Fb2PackedParagraphs
{
public:
    void append(const QVector<Paragraph> &paragraphs);
    // Paragraphs that come before every one held.
    void prepend(const QVector<Paragraph> &paragraphs);
    int size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    qint64 chunkCount() const { return m_chunks; }

    // The next paragraphs from the start, at most count; the bytes read are released.
    QVector<Paragraph> takeFront(int count);

private:
    QList<QByteArray> m_blocks;
    int m_readOffset = 0;   // into the first block
    int m_size = 0;
    qint64 m_chunks = 0;
};
