#pragma once

#include "novelparser.h"
#include "pdfanswers.h"

#include <QSizeF>
#include <QString>

#include <thread>

// The book record of a PDF: document information, data folder and a cover
// drawn from the first page, all read by the decoding helper.
class PdfNovelParser : public NovelParser
{
    Q_OBJECT
public:
    explicit PdfNovelParser(QObject *parent = nullptr);
    ~PdfNovelParser() override;

    // With a deferred cover, parseNovel leaves the cover to a thread of its
    // own, so an import draws it while the chapters are read; takeCover()
    // waits for it and returns its path (empty: none).
    void setDeferredCover(bool deferred) { m_deferCover = deferred; }
    // Where the cover is written instead of the book's data folder.
    void setCoverDir(const QString &dir) { m_coverDir = dir; }
    QString takeCover();

    // Never null: a file that does not open still gets a record named after
    // it; the chapter step then refuses the book.
    NovelInfo *parseNovel(const QString &filePath) override;
    // The facts of the book the last parseNovel read; null when it read none.
    const PdfAnswers::Book *facts() const { return m_read ? &m_facts : nullptr; }

    // The saved cover's path, or empty: the first page of the book at path,
    // points in size, drawn by the decoding helper; none when that is over
    // its budget.
    static QString saveCover(const QString &path, const QSizeF &points, const QString &dataDir);

    // The cover is rendered no larger than this on its longer side, whatever
    // the page size claims.
    static constexpr int MaxCoverRenderSide = 3200;
    static constexpr int MaxCoverSide = 1600;

private:
    bool m_deferCover = false;
    QString m_coverDir;
    std::thread m_coverThread;
    QString m_cover;
    PdfAnswers::Book m_facts;
    bool m_read = false;
};
