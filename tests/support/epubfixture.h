#pragma once

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// Writes a ZIP file of these entries, in order, with minizip. The first entry
// is stored uncompressed when storeFirst is set (the EPUB "mimetype").
bool writeZipFile(const QString &path, const QVector<QPair<QString, QByteArray>> &entries,
                  bool storeFirst = false);

// A small EPUB assembled in a test: container, package, documents and the
// tables of contents, each replaceable to build broken variants.
class EpubFixture
{
public:
    struct Item
    {
        QString id, href, mediaType, properties;   // href as written in the package
        QByteArray data;
        QString entry;                             // archive name; empty: no file
        QString fallback;                          // manifest fallback id
    };

    QString opfPath = QStringLiteral("OEBPS/content.opf");
    QString version = QStringLiteral("2.0");
    QString metadata = QStringLiteral("<dc:title>Fixture</dc:title>");
    QString spineToc;       // the spine's toc attribute
    bool withContainer = true;
    QStringList spine;      // idrefs in reading order
    QVector<Item> items;

    // An XHTML document at the end of the spine.
    void addDocument(const QString &id, const QString &href, const QString &title,
                     const QString &body = QString());
    // Any manifest item with its data (entry from the decoded href).
    void addItem(const QString &id, const QString &href, const QString &mediaType,
                 const QByteArray &data, const QString &properties = QString());
    // The NCX, named by the spine's toc attribute.
    void addNcx(const QString &href, const QByteArray &ncx);
    void addNav(const QString &href, const QByteArray &nav);

    QByteArray opf() const;
    bool write(const QString &path) const;

    // An NCX around navMap's inner XML, and one of its points.
    static QByteArray ncx(const QString &navPoints);
    static QString navPoint(const QString &label, const QString &src,
                            const QString &children = QString());
    // A navigation document around the body's inner XML.
    static QByteArray nav(const QString &body);
};
