#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVector>

class QTemporaryDir;

// Writers for PalmDB/MOBI books that no Debian tool makes: PalmDOC "TEXt"
// databases, HUFF/CDIC text, malformed headers and hand-made indexes.
namespace MobiFixture {

QByteArray be32(quint32 value);
QByteArray be16(quint16 value);
// Forward variable-length number of INDX entries and CNCX strings.
QByteArray forwardNumber(quint32 value);
// Backward variable-length number of a text record's trailing entry.
QByteArray backwardNumber(quint32 value);

// A PalmDB file of these records.
QByteArray palmDb(const QByteArray &name, const QList<QByteArray> &records,
                  const QByteArray &type = "BOOK", const QByteArray &creator = "MOBI");
// The bytes as a new file in `dir`; its path, empty when it cannot be written.
QString writeBook(const QTemporaryDir &dir, const QByteArray &bytes);

// Record 0 (or a KF8 section's header record): PalmDOC header, MOBI header, EXTH.
struct Header
{
    quint16 compression = 2;
    quint32 textLength = 0;
    quint16 textRecordCount = 1;
    quint16 recordSize = 4096;
    quint16 encryption = 0;
    bool mobi = true;
    quint32 headerLength = 232;
    quint32 encoding = 65001;
    quint32 version = 6;
    QByteArray fullName;
    quint32 firstImageRecord = 0xFFFFFFFFu;
    quint32 huffRecord = 0xFFFFFFFFu;
    quint32 huffRecordCount = 0;
    quint16 extraDataFlags = 0;
    quint32 fdstRecord = 0xFFFFFFFFu;
    quint32 fdstFlowCount = 1;
    quint32 ncxIndex = 0xFFFFFFFFu;
    quint32 fragmentIndex = 0xFFFFFFFFu;
    quint32 skeletonIndex = 0xFFFFFFFFu;
    QList<QPair<quint32, QByteArray>> exth; // type, data
};
QByteArray headerRecord(const Header &header);

// PalmDOC LZ77 (literals, back references, space pairs).
QByteArray palmDocCompress(const QByteArray &text);
// The text cut into records of `recordSize` bytes, each compressed (2) or not (1).
QList<QByteArray> textRecords(const QByteArray &text, int recordSize, int compression);

// HUFF/CDIC: a phrase dictionary with a canonical code over it.
class HuffCdicWriter
{
public:
    int addLiteral(const QByteArray &bytes);
    // A non-literal entry: the coded sequence of other symbols.
    int addPhrase(const QVector<int> &symbols);
    // Code lengths from use counts (every symbol counts at least once);
    // the longest code has at least 8 bits so that padding never decodes.
    void buildCodes(const QVector<int> &uses = {});
    // Coded bits of these symbols, zero-padded to whole bytes.
    QByteArray encode(const QVector<int> &symbols) const;
    QByteArray huffRecord() const;
    QList<QByteArray> cdicRecords(int bits = 8) const;
    int codeLength(int symbol) const { return m_length.at(m_index.at(symbol)); }

private:
    struct Symbol { QByteArray literal; QVector<int> phrase; bool isLiteral; };
    QVector<Symbol> m_symbols;
    QVector<int> m_index;     // symbol -> dictionary index
    QVector<int> m_order;     // dictionary index -> symbol (dummies: -1)
    QVector<int> m_length;    // by dictionary index
    QVector<quint32> m_code;  // by dictionary index
    QVector<quint32> m_min;   // by length 1..32
    QVector<quint32> m_max;
};

// A HUFF/CDIC book of records naming a 32 KiB phrase twice (two bytes to 65,534),
// all claimed unless textLength says less; KF8-only (indexes read after the text) for version 8.
QByteArray huffCdicBomb(int records, quint32 version = 6, quint32 textLength = 0);

// An INDX group: primary record with TAGX, one leaf, CNCX records.
struct IndexTag { quint8 tag; quint8 valuesPerEntry; quint8 mask; quint8 endFlag; };
struct RawEntry { QByteArray label; QByteArray controlAndValues; };
QList<QByteArray> indexGroup(const QVector<IndexTag> &tags, int controlByteCount,
                             const QVector<RawEntry> &entries,
                             const QList<QByteArray> &cncxRecords = {}, quint32 encoding = 65001);
// A CNCX record holding these strings in order; each one's offset in *offsets.
QByteArray cncxRecord(const QList<QByteArray> &strings, QVector<quint32> *offsets = nullptr);

}
