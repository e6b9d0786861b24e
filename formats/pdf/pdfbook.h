#pragma once

#include "pdfanswers.h"

#include <QHash>
#include <QString>

// A PDF book as the decoding helper reads it, from the document it keeps
// open for the book: its facts once, and the pages' texts that the contents
// scan reads, each asked once. Poppler never reads the book in this process.
class PdfBook
{
public:
    enum class Status {
        Read,
        // Poppler cannot read it, it needs a password, it names files
        // unsafely, or no helper could read it.
        Unreadable,
        // Past the helper's budget.
        OverBudget,
    };

    explicit PdfBook(const QString &path) : m_path(path) {}
    // A book whose facts an earlier open() read.
    PdfBook(const QString &path, const PdfAnswers::Book &facts) : m_path(path), m_facts(facts), m_checked(true) {}

    // The book request; the facts below hold once it has answered Read.
    Status open();
    const PdfAnswers::Book &facts() const { return m_facts; }
    int pageCount() const { return m_facts.pages; }

    // A page's whole text; its words. Empty for a page the helper cannot
    // read; empty for every page once one was over the budget, after which
    // the scan gives up (overBudget()).
    const QString &pageText(int index);
    const PdfAnswers::PageText &pageWords(int index);
    bool overBudget() const { return m_overBudget; }

private:
    DecodeWire::PdfPart part(int index) const;
    const PdfAnswers::PageText &page(QHash<int, PdfAnswers::PageText> &cache, DecodeWire::Kind kind, int index);

    QString m_path;
    PdfAnswers::Book m_facts;
    QHash<int, PdfAnswers::PageText> m_texts;
    QHash<int, PdfAnswers::PageText> m_words;
    // The program holds the book's verdict: the helper need not check it.
    bool m_checked = false;
    bool m_overBudget = false;
};
