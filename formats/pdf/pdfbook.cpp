#include "pdfbook.h"

#include "decodeservice.h"
#include "pdfpageloader.h"

#include <QtDebug>

namespace {

bool overBudget(DecodeService::Status status)
{
    return status == DecodeService::Status::Refused || status == DecodeService::Status::Unavailable;
}

}

DecodeWire::PdfPart PdfBook::part(int index) const
{
    DecodeWire::PdfPart pdf;
    pdf.page = index;
    pdf.checked = m_checked ? 1 : 0;
    return pdf;
}

PdfBook::Status PdfBook::open()
{
    // A book whose verdict is held is not checked again; any other is
    // checked by the helper before poppler reads it, and its verdict kept.
    PdfVerdict held;
    m_checked = PdfPageLoader::heldVerdict(m_path, &held);
    if (m_checked && PdfPageLoader::refusesBook(m_path, held))
        return Status::Unreadable;
    // The check first, under a budget of its own, then the facts under theirs.
    for (const DecodeWire::Kind kind : {DecodeWire::Kind::PdfCheck, DecodeWire::Kind::PdfBook}) {
        if (kind == DecodeWire::Kind::PdfCheck && m_checked)
            continue;
        const DecodeService::Result result = DecodeService::readPdf(kind, m_path, part(0));
        if (result.status == DecodeService::Status::Refused) {
            qWarning().noquote() << "[PdfBook] PDF 超出处理预算:" << m_path;
            return Status::OverBudget;
        }
        if (result.status != DecodeService::Status::Done)
            return Status::Unreadable;
        if (!PdfAnswers::read(result.payload, &m_facts)) {
            qWarning().noquote() << "[PdfBook] 解码进程的 PDF 回答不合规:" << m_path;
            m_facts = PdfAnswers::Book();
            return Status::Unreadable;
        }
        if (m_facts.checked) {
            PdfVerdict found;
            found.cause = m_facts.refusal;
            found.refusedPages = QVector<int>(m_facts.refusedPages.cbegin(), m_facts.refusedPages.cend());
            PdfPageLoader::noteVerdict(m_path, found);
            m_checked = true;
            if (PdfPageLoader::refusesBook(m_path, found)) {
                m_facts = PdfAnswers::Book();
                return Status::Unreadable;
            }
        }
    }
    return Status::Read;
}

const PdfAnswers::PageText &PdfBook::page(QHash<int, PdfAnswers::PageText> &cache, DecodeWire::Kind kind, int index)
{
    static const PdfAnswers::PageText none;
    if (m_overBudget || index < 0 || index >= m_facts.pages)
        return none;
    auto it = cache.find(index);
    if (it != cache.end())
        return it.value();
    const DecodeService::Result result = DecodeService::readPdf(kind, m_path, part(index));
    PdfAnswers::PageText text;
    if (::overBudget(result.status)) {
        qWarning().noquote() << "[PdfBook] 页面文字超出处理预算，放弃目录扫描:" << m_path << "page=" << index;
        m_overBudget = true;
        return none;
    }
    if (result.status == DecodeService::Status::Done && !PdfAnswers::read(result.payload, &text))
        text = PdfAnswers::PageText();
    return cache.insert(index, text).value();
}

const QString &PdfBook::pageText(int index)
{
    return page(m_texts, DecodeWire::Kind::PdfText, index).text;
}

const PdfAnswers::PageText &PdfBook::pageWords(int index)
{
    return page(m_words, DecodeWire::Kind::PdfWords, index);
}
