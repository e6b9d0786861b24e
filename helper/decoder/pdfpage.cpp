// PDF pages: the part of a page the program asks for, drawn by poppler
// from the book's document, which stays open for the book's next pages.

#include "handlers.h"
#include "pdfdocuments.h"

#include <poppler-qt5.h>

#include <algorithm>
#include <cmath>
#include <memory>

using namespace DecodeWire;

namespace {

int roundHalfUp(double value)
{
    return int(std::floor(value + 0.5));
}

}

Reply drawPdfPage(const Request &request, QByteArray &, SharedRows &)
{
    Reply reply;
    const PdfPart &pdf = request.pdf;
    Poppler::Document *document = PdfDocuments::document(pdf, &reply.openedMs);
    if (!document)
        return reply;
    reply.pages = document->numPages();
    if (pdf.page < 0 || pdf.page >= reply.pages)
        return reply;
    // A page that draws an image past the pixel bound is never given to
    // poppler, whatever part of it is asked for.
    const PdfCheck::Verdict *verdict = PdfDocuments::verdict(pdf.book);
    if (verdict && std::binary_search(verdict->refusedPages.cbegin(), verdict->refusedPages.cend(), pdf.page)) {
        reply.outcome = Outcome::SizeRefused;
        return reply;
    }
    const std::unique_ptr<Poppler::Page> page(document->page(pdf.page));
    const QSizeF points = page ? page->pageSizeF() : QSizeF();
    if (!(points.width() > 0 && points.height() > 0))
        return reply;
    reply.format = "pdf";
    const bool whole = !pdf.whole.isEmpty();
    if (!whole && pdf.dpi <= 0)
        return reply;
    reply.natural = whole ? pdf.whole
                          : QSize(roundHalfUp(points.width() / 72.0 * pdf.dpi),
                                  roundHalfUp(points.height() / 72.0 * pdf.dpi));
    reply.outcome = Outcome::Done;
    if (request.policy.fit == Fit::SizeOnly)
        return reply;
    const QSize bound = pdfAnswerBound(pdf, reply.natural);
    if (!withinBudget(bound, request.policy.maxPixels)) {
        reply.outcome = Outcome::SizeRefused;
        return reply;
    }
    QImage image;
    if (whole) {
        // The resolution at which the whole page measures pdf.whole.
        const QRect part = pdf.part & QRect(QPoint(0, 0), pdf.whole);
        image = page->renderToImage(pdf.whole.width() * 72.0 / points.width(),
                                    pdf.whole.height() * 72.0 / points.height(), part.x(), part.y(),
                                    part.width(), part.height(), Poppler::Page::Rotate0);
    } else {
        // A huge page (a poster, a 200-inch sheet) at the book's dpi would need
        // gigabytes: it is drawn at the resolution that fits the longest side.
        const double longer = qMax(points.width(), points.height());
        double resolution = pdf.dpi;
        if (pdf.longestSide > 0 && longer * pdf.dpi / 72.0 > pdf.longestSide)
            resolution = pdf.longestSide * 72.0 / longer * (1.0 - 1e-6);
        image = page->renderToImage(resolution, resolution, -1, -1, -1, -1, Poppler::Page::Rotate0);
    }
    if (image.isNull() || image.width() > bound.width() || image.height() > bound.height()) {
        reply.outcome = Outcome::Unreadable;
        return reply;
    }
    reply.image = image;
    return reply;
}
