#pragma once

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <QLatin1String>
#include <QString>

#include <functional>

class QXmlStreamReader;

// A book file as the XML reader sees it: the bytes of any run without a '<'
// beyond maxRun are dropped. The reader keeps a text node whole in memory
// however it is read, so this bounds what one huge binary can cost; a
// legitimate binary at the decoded cap stays well inside the run.
class Fb2BoundedFile : public QIODevice
{
public:
    Fb2BoundedFile(const QString &path, qint64 maxRun) : m_file(path), m_maxRun(maxRun) {}
    bool open(OpenMode mode) override;
    bool isSequential() const override { return true; }
    bool atEnd() const override;
    qint64 bytesAvailable() const override;
    // The size of the file on disk.
    qint64 fileSize() const { return m_file.size(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QFile m_file;
    qint64 m_maxRun;
    qint64 m_run = 0;
};

// Bounded reads over the FB2 stream: every loop also ends at the end of the
// document, so a truncated file cannot keep a reader turning.
namespace Fb2Xml {

// Reads the next token; false at the end element called name or at the end
// of the document (an error included).
bool nextInside(QXmlStreamReader &reader, QLatin1String name);
bool nextInside(QXmlStreamReader &reader, const QString &name);

// Reads the current element to its end without recursion, handing every
// piece of character data inside it to onText and the name of every end
// element inside it to onEnd.
void readInside(QXmlStreamReader &reader, const std::function<void(const QStringRef &)> &onText,
                const std::function<void(const QStringRef &)> &onEnd = nullptr);

// The character data of the current element and its children, at most
// maxChars of it; the rest of the element is read over. Iterative, so it
// also flattens elements nested past the bound. With paragraphBreaks, a line
// feed follows every p, v and empty-line inside it.
QString boundedText(QXmlStreamReader &reader, int maxChars, bool paragraphBreaks = false);

// The current element's Base64 text decoded a block at a time; empty when
// the data would decode to more than maxBytes (the rest is read over).
QByteArray readBase64(QXmlStreamReader &reader, qint64 maxBytes);

}
