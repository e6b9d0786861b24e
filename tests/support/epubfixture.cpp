#include "epubfixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <zip.h>

bool writeZipFile(const QString &path, const QVector<QPair<QString, QByteArray>> &entries,
                  bool storeFirst)
{
    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        return false;
    bool ok = true;
    for (int i = 0; i < entries.size() && ok; ++i) {
        const QByteArray name = entries.at(i).first.toUtf8();
        const QByteArray &data = entries.at(i).second;
        zip_fileinfo info = {};
        const int method = storeFirst && i == 0 ? 0 : Z_DEFLATED;
        // Bit 11: the name is UTF-8.
        ok = zipOpenNewFileInZip4_64(zip, name.constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                                     method, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                     Z_DEFAULT_STRATEGY, nullptr, 0, 0, 1 << 11, 0) == ZIP_OK
             && zipWriteInFileInZip(zip, data.constData(), unsigned(data.size())) == ZIP_OK
             && zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

namespace {

QByteArray xhtml(const QString &title, const QString &body, const QString &extraNamespace = QString())
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<html xmlns=\"http://www.w3.org/1999/xhtml\"%3>"
                          "<head><title>%1</title></head><body>%2</body></html>\n")
        .arg(title, body, extraNamespace).toUtf8();
}

}

void EpubFixture::addDocument(const QString &id, const QString &href, const QString &title,
                              const QString &body)
{
    addItem(id, href, QStringLiteral("application/xhtml+xml"), xhtml(title, body));
    spine.append(id);
}

void EpubFixture::addItem(const QString &id, const QString &href, const QString &mediaType,
                          const QByteArray &data, const QString &properties)
{
    const QString dir = QFileInfo(opfPath).path();
    const QString decoded = QUrl::fromPercentEncoding(href.toUtf8());
    items.append({id, href, mediaType, properties, data,
                  dir == QLatin1String(".") ? decoded : QDir::cleanPath(dir + QLatin1Char('/') + decoded),
                  QString()});
}

void EpubFixture::addNcx(const QString &href, const QByteArray &ncx)
{
    addItem(QStringLiteral("ncx"), href, QStringLiteral("application/x-dtbncx+xml"), ncx);
    spineToc = QStringLiteral("ncx");
}

void EpubFixture::addNav(const QString &href, const QByteArray &nav)
{
    addItem(QStringLiteral("nav"), href, QStringLiteral("application/xhtml+xml"), nav, QStringLiteral("nav"));
}

QByteArray EpubFixture::opf() const
{
    QString text = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<package xmlns=\"http://www.idpf.org/2007/opf\" version=\"%1\" unique-identifier=\"id\">\n"
        "<metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
        "xmlns:opf=\"http://www.idpf.org/2007/opf\">%2</metadata>\n<manifest>\n")
        .arg(version, metadata);
    for (const Item &item : items) {
        QString properties = item.properties.isEmpty() ? QString() : QStringLiteral(" properties=\"%1\"").arg(item.properties);
        if (!item.fallback.isEmpty())
            properties += QStringLiteral(" fallback=\"%1\"").arg(item.fallback);
        text += QStringLiteral("<item id=\"%1\" href=\"%2\" media-type=\"%3\"%4/>\n")
                    .arg(item.id, item.href, item.mediaType, properties);
    }
    text += QStringLiteral("</manifest>\n<spine%1>\n")
                .arg(spineToc.isEmpty() ? QString() : QStringLiteral(" toc=\"%1\"").arg(spineToc));
    for (const QString &idref : spine)
        text += QStringLiteral("<itemref idref=\"%1\"/>\n").arg(idref);
    text += QStringLiteral("</spine>\n</package>\n");
    return text.toUtf8();
}

bool EpubFixture::write(const QString &path) const
{
    QVector<QPair<QString, QByteArray>> entries;
    entries.append({QStringLiteral("mimetype"), QByteArrayLiteral("application/epub+zip")});
    if (withContainer) {
        entries.append({QStringLiteral("META-INF/container.xml"),
                        QStringLiteral("<?xml version=\"1.0\"?>\n<container version=\"1.0\" "
                                       "xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">"
                                       "<rootfiles><rootfile full-path=\"%1\" media-type=\""
                                       "application/oebps-package+xml\"/></rootfiles></container>\n")
                            .arg(opfPath)
                            .toUtf8()});
    }
    entries.append({opfPath, opf()});
    for (const Item &item : items) {
        if (!item.entry.isEmpty())
            entries.append({item.entry, item.data});
    }
    QFile::remove(path);
    return writeZipFile(path, entries, true);
}

QByteArray EpubFixture::ncx(const QString &navPoints)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<ncx xmlns=\"http://www.daisy.org/z3986/2005/ncx/\" version=\"2005-1\">"
                          "<head/><docTitle><text>Fixture</text></docTitle><navMap>%1</navMap></ncx>\n")
        .arg(navPoints)
        .toUtf8();
}

QString EpubFixture::navPoint(const QString &label, const QString &src, const QString &children)
{
    return QStringLiteral("<navPoint><navLabel><text>%1</text></navLabel><content src=\"%2\"/>%3</navPoint>")
        .arg(label, src, children);
}

QByteArray EpubFixture::nav(const QString &body)
{
    return xhtml(QStringLiteral("Nav"), body, QStringLiteral(" xmlns:epub=\"http://www.idpf.org/2007/ops\""));
}
