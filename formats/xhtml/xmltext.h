#pragma once

#include <QByteArray>
#include <QString>

// The text of an XML or XHTML document from its bytes: a byte-order mark, else
// the prolog's encoding (or an HTML meta charset), else UTF-8. NUL bytes are
// part of UTF-16 text and never cut the document.
QString decodeXmlBytes(const QByteArray &bytes);

// A document that is not well-formed XML (bare "&", unclosed <br> or <p>,
// undeclared prefixes) read by an HTML parser and written back as well-formed
// XHTML with the epub and xlink prefixes declared; null when nothing is left.
QString repairHtmlToXhtml(const QString &text);
