// Decoding throughput of MOBI text records and KF8 part assembly, printed
// beside the targets: LZ77 >= 200 MB/s and HUFF/CDIC >= 50 MB/s on 10 MB of
// text, assembly of 10k, 100k and 1M fragments in one skeleton growing linearly.
#include "huffcdic.h"
#include "mobifixture.h"
#include "mobiparser.h"
#include "mobitext.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QVector>

#include <cstdio>

using namespace MobiFixture;

namespace {

const int TextSize = 10 * 1024 * 1024;
const int RecordSize = 4096;

QVector<QByteArray> vocabulary()
{
    QVector<QByteArray> words;
    const QByteArray hanzi = "山路夜雨城庙灯天亮回到里他沿着走了很久看那座下起避只有一盏时";
    QRandomGenerator random(7);
    for (int i = 0; i < 4000; ++i) {
        QByteArray w;
        const int length = 2 + int(random.bounded(8));
        for (int k = 0; k < length; ++k) {
            if (i % 3 == 0) {
                const int c = int(random.bounded(hanzi.size() / 3));
                w += hanzi.mid(3 * c, 3);
            } else {
                w += char('a' + random.bounded(26));
            }
        }
        words.append(w + (i % 17 == 0 ? ". " : " "));
    }
    return words;
}

// Zipf-like choice of word indexes.
QVector<int> wordStream(int count, int vocabularySize)
{
    QRandomGenerator random(11);
    QVector<int> out(count);
    for (int i = 0; i < count; ++i) {
        const double u = random.generateDouble();
        out[i] = int(vocabularySize * u * u * u) % vocabularySize;
    }
    return out;
}

template<typename F>
double bestSeconds(int runs, F run)
{
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        best = std::min(best, timer.nsecsElapsed() / 1e9);
    }
    return best;
}

void lz77()
{
    const QVector<QByteArray> words = vocabulary();
    QByteArray text;
    for (int i : wordStream(TextSize / 4, words.size())) {
        if (text.size() >= TextSize)
            break;
        text += words.at(i);
    }
    text.truncate(TextSize);
    const QList<QByteArray> records = textRecords(text, RecordSize, 2);
    qint64 out = 0;
    const double seconds = bestSeconds(5, [&] {
        out = 0;
        QByteArray buffer;
        for (const QByteArray &r : records) {
            palmDocDecompress(r, RecordSize, &buffer);
            out += buffer.size();
        }
    });
    const double rate = out / seconds / 1e6;
    std::printf("LZ77 decode: %.1f MB of text in %.1f ms = %.0f MB/s (target 200 MB/s: %.2fx)\n",
                out / 1e6, seconds * 1e3, rate, rate / 200);
}

void huffCdic()
{
    const QVector<QByteArray> words = vocabulary();
    HuffCdicWriter writer;
    QVector<int> symbols;
    for (const QByteArray &w : words)
        symbols.append(writer.addLiteral(w));
    // Some phrases of two words, as real dictionaries hold.
    for (int i = 0; i + 1 < 400; i += 2)
        symbols.append(writer.addPhrase({symbols.at(i), symbols.at(i + 1)}));
    const QVector<int> stream = wordStream(TextSize / 4, symbols.size());
    QVector<int> uses(symbols.size(), 0);
    for (int s : stream)
        ++uses[s];
    writer.buildCodes(uses);

    QList<QByteArray> records;
    QVector<int> current;
    qint64 produced = 0;
    int recordBytes = 0;
    for (int s : stream) {
        const int size = s < words.size() ? words.at(s).size()
                                          : words.at(2 * (s - words.size())).size() + words.at(2 * (s - words.size()) + 1).size();
        if (recordBytes + size > RecordSize) {
            records.append(writer.encode(current));
            current.clear();
            recordBytes = 0;
        }
        if (produced >= TextSize)
            break;
        current.append(s);
        recordBytes += size;
        produced += size;
    }
    records.append(writer.encode(current));
    HuffCdicDecoder decoder;
    QString error;
    if (!decoder.load(writer.huffRecord(), writer.cdicRecords(12), &error)) {
        std::printf("HUFF/CDIC load failed: %s\n", qPrintable(error));
        return;
    }
    qint64 out = 0;
    const double seconds = bestSeconds(5, [&] {
        out = 0;
        QByteArray buffer;
        for (const QByteArray &r : records) {
            if (!decoder.decompress(r, &buffer, RecordSize, &error))
                std::printf("HUFF/CDIC failed: %s\n", qPrintable(error));
            out += buffer.size();
        }
    });
    const double rate = out / seconds / 1e6;
    std::printf("HUFF/CDIC decode: %.1f MB of text in %.1f ms = %.0f MB/s (target 50 MB/s: %.2fx)\n",
                out / 1e6, seconds * 1e3, rate, rate / 50);
}

double assemble(int count)
{
    // One skeleton of 64 bytes, then `count` fragments of 16 bytes, each
    // inserted right after the previous one.
    const QByteArray flow = QByteArray(64 + 16 * count, 'x');
    MobiIndexTable skeleton;
    skeleton.entries.append({"SKEL", {{1, {quint32(count)}}, {6, {0, 64}}}});
    MobiIndexTable fragments;
    fragments.cncx.insert(0, "aid");
    fragments.entries.reserve(count);
    for (int k = 0; k < count; ++k)
        fragments.entries.append({QByteArray::number(32 + 16 * k), {{2, {0}}, {3, {0}}, {4, {quint32(k)}}, {6, {0, 16}}}});
    return bestSeconds(5, [&] {
        QList<QByteArray> parts;
        QString error;
        if (!MobiParser::assembleMainFlow(flow, skeleton, fragments, &parts, &error))
            std::printf("assembly failed: %s\n", qPrintable(error));
    });
}

}

int main()
{
    lz77();
    huffCdic();
    // 10k fragments stay in the processor caches, 100k and 1M do not; the
    // time per fragment shows the growth.
    double previous = 0;
    for (int count : {10000, 100000, 1000000}) {
        const double seconds = assemble(count);
        std::printf("assembleMainFlow: %7d fragments %8.2f ms, %5.0f ns per fragment", count, seconds * 1e3,
                    seconds * 1e9 / count);
        if (previous > 0)
            std::printf(", %.1fx the previous (linear: 10x)", seconds / previous);
        std::printf("\n");
        previous = seconds;
    }
    return 0;
}
