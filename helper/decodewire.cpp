#include "decodewire.h"

namespace DecodeWire {

QSize target(const QSize &natural, const Policy &policy)
{
    switch (policy.fit) {
    case Fit::SizeOnly:
        return QSize();
    case Fit::Natural:
        return natural;
    case Fit::Drawn:
        return policy.drawn;
    case Fit::Box:
        break;
    }
    if (policy.stripWidth > 0 && natural.width() > 0 && natural.height() > qRound(2.0 * natural.width()))
        return natural.scaled(QSize(policy.stripWidth, natural.height()), Qt::KeepAspectRatio);
    if (!policy.enlarge && natural.width() <= policy.box.width() && natural.height() <= policy.box.height())
        return natural;
    return natural.scaled(policy.box, Qt::KeepAspectRatio);
}

QRect drawnPart(const Policy &policy)
{
    const QRect whole(QPoint(0, 0), policy.drawn);
    return policy.visible.isEmpty() ? whole : policy.visible & whole;
}

QSize answerSize(const QSize &natural, const Policy &policy)
{
    if (policy.fit == Fit::Drawn)
        return drawnPart(policy).size();
    return target(natural, policy);
}

QSize pdfAnswerBound(const PdfPart &pdf, const QSize &natural)
{
    if (natural.isEmpty())
        return QSize();
    if (!pdf.whole.isEmpty())
        return (pdf.part & QRect(QPoint(0, 0), pdf.whole)).size();
    // Poppler rounds the page's size its own way: a pixel more is allowed.
    QSize size = natural;
    if (pdf.longestSide > 0 && qMax(natural.width(), natural.height()) > pdf.longestSide)
        size = natural.scaled(pdf.longestSide, pdf.longestSide, Qt::KeepAspectRatio);
    size += QSize(1, 1);
    return pdf.longestSide > 0 ? size.boundedTo(QSize(pdf.longestSide, pdf.longestSide)) : size;
}

bool answerFormat(QImage::Format format)
{
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32
        || format == QImage::Format_ARGB32_Premultiplied || format == QImage::Format_Grayscale8;
}

qint64 rowBytes(int width, QImage::Format format)
{
    const qint64 bits = qint64(width) * (format == QImage::Format_Grayscale8 ? 8 : 32);
    // Rows start on four-byte boundaries.
    return ((bits + 31) >> 5) << 2;
}

void putName(char (&field)[16], const QByteArray &name)
{
    memset(field, 0, sizeof field);
    memcpy(field, name.constData(), size_t(qMin(name.size(), int(sizeof field) - 1)));
}

QByteArray takeName(const char (&field)[16])
{
    const QByteArray name(field, int(qstrnlen(field, sizeof field)));
    if (name.size() >= int(sizeof field))
        return QByteArray();
    for (const char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return QByteArray();
    }
    return name;
}

}
