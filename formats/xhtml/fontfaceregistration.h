#pragma once

#include "fontfacerule.h"
#include "fontmanifest.h"

#include <QList>
#include <QSet>
#include <QString>

// The manifest records and font registrations of one book's @font-face
// rules, for the importers that register a book's fonts. A face (family,
// weight, style) is registered once; later sources of it are only recorded.
class FontFaceRegistration
{
public:
    explicit FontFaceRegistration(const QString &bookId) : m_bookId(bookId) {}

    // A record of the rule's face with the next candidate number.
    FontManifestEntry record(const FontFaceRule &rule) const;
    // Records every local() source of the rule; the first installed family
    // among them stands in for the face.
    void addLocalSources(const FontFaceRule &rule);
    // Records the source and registers its bytes for the face.
    void addData(const FontManifestEntry &entry, const FontFaceRule &rule, const QByteArray &data);

    bool isRegistered(const FontFaceRule &rule) const;

    QList<FontManifestEntry> manifest;

private:
    static QString faceKey(const FontFaceRule &rule);

    QString m_bookId;
    QSet<QString> m_registered;
};
