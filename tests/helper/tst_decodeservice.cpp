// Each request to the decoding helper gets its whole budget however many
// came before it on that helper; a helper that dies for a cause of its own
// costs its request a second try, not the picture; and no answer out of
// turn from a helper reaches the program.

#include "decodeservice.h"
#include "helperprocess.h"
#include "pdfanswers.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QImageReader>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <future>
#include <time.h>
#include <unistd.h>

using DecodeService::Status;
using DecodeWire::Kind;

Q_DECLARE_METATYPE(DecodeService::Status)

namespace {

QByteArray drawing(int groups, int rects, int tag)
{
    QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
                     "width=\"640\" height=\"480\"><!-- " + QByteArray::number(tag) + " --><defs><rect id=\"r\" "
                     "width=\"640\" height=\"480\" fill=\"#369\" fill-opacity=\"0.5\"/><g id=\"g\">";
    svg += QByteArray("<use xlink:href=\"#r\"/>").repeated(rects) + "</g></defs>";
    return svg + QByteArray("<use xlink:href=\"#g\"/>").repeated(groups) + "</svg>";
}

double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// A drawing that costs about that many milliseconds to draw at 640x480, as
// Qt SVG draws it here.
QByteArray costing(int milliseconds, int tag)
{
    const auto cost = [](const QByteArray &svg) {
        QBuffer buffer;
        buffer.setData(svg);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, "svg");
        const double start = threadSeconds();
        reader.read();
        return (threadSeconds() - start) * 1000;
    };
    int groups = 20;
    const double measured = qMax(1.0, cost(drawing(groups, 50, tag)));
    groups = qMax(1, int(groups * milliseconds / measured));
    return drawing(groups, 50, tag);
}

DecodeWire::Policy natural()
{
    return DecodeWire::Policy();
}

DecodeWire::Policy boxed(int side)
{
    DecodeWire::Policy policy;
    policy.fit = DecodeWire::Fit::Box;
    policy.box = QSize(side, side);
    return policy;
}

// The helpers this process started, by pid.
QList<pid_t> helpers()
{
    QList<pid_t> found;
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(name));
        if (!name.toInt() || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 2 && fields.at(1).toInt() == getpid() && fields.at(0) != "Z")
            found.append(name.toInt());
    }
    return found;
}

// The helper busy with a request, once it has worked on it a while.
pid_t busyHelper(qint64 afterMilliseconds)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 20000) {
        for (const pid_t pid : helpers()) {
            HelperProcess::State state;
            if (HelperProcess::state(pid, &state) && state.cpuMilliseconds >= afterMilliseconds)
                return pid;
        }
        QThread::msleep(10);
    }
    return -1;
}

}

class TestDecodeService : public QObject
{
    Q_OBJECT

    QString m_helper = QStringLiteral(QUILLORA_DECODE_HELPER);
    QTemporaryDir m_dir;

private slots:
    void init()
    {
        DecodeService::setHelperPath(m_helper);
    }

    void request_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<Status>("status");

        QTest::newRow("three near the budget on one helper") << "near budget" << QByteArray() << Status::Done;
        QTest::newRow("helper killed mid-request") << "kill" << QByteArray() << Status::Done;
        QTest::newRow("helper stopped mid-request") << "stop" << QByteArray() << Status::Done;
        QTest::newRow("over budget large, drawn small") << "sizes" << QByteArray() << Status::Refused;
        QTest::newRow("helper missing") << "missing" << QByteArray() << Status::Unavailable;
        // A stand-in helper answering as its bytes say.
        QTest::newRow("good answer") << "standin" << QByteArray("good") << Status::Done;
        QTest::newRow("good answer in shared memory") << "standin" << QByteArray("shared") << Status::Done;
        QTest::newRow("killed once, then good") << "standin" << QByteArray("once:kill") << Status::Done;
        QTest::newRow("crashes") << "standin" << QByteArray("crash") << Status::Refused;
        QTest::newRow("indexed rows") << "standin" << QByteArray("indexed") << Status::Refused;
        QTest::newRow("3x5000 for 200x100") << "standin" << QByteArray("tall") << Status::Refused;
        QTest::newRow("stride off by one pixel") << "standin" << QByteArray("stride") << Status::Refused;
        QTest::newRow("natural size past the budget") << "standin" << QByteArray("natural") << Status::Refused;
        QTest::newRow("rows cut short") << "standin" << QByteArray("short-rows") << Status::Refused;
        QTest::newRow("memory not sealed") << "standin" << QByteArray("unsealed") << Status::Refused;
        QTest::newRow("memory shorter than the rows") << "standin" << QByteArray("short-memory") << Status::Refused;
        QTest::newRow("bytes after a picture's rows") << "standin" << QByteArray("payload") << Status::Refused;
    }

    // A PDF book's answer in bytes: past the bound or cut short, the helper
    // is ended; within it, the bytes are taken only when they read whole.
    void pdfAnswer_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<Status>("status");
        QTest::addColumn<bool>("read");
        QTest::newRow("good") << QByteArray("good") << Status::Done << true;
        QTest::newRow("longer than the bound") << QByteArray("too long") << Status::Refused << false;
        QTest::newRow("truncated, the helper gone") << QByteArray("truncated") << Status::Refused << false;
        QTest::newRow("garbage") << QByteArray("garbage") << Status::Done << false;
        QTest::newRow("ends inside an item") << QByteArray("cut short") << Status::Done << false;
        QTest::newRow("bytes after the answer") << QByteArray("trailing") << Status::Done << false;
        QTest::newRow("a count past the bytes") << QByteArray("count past the bytes") << Status::Done << false;
    }
    void pdfAnswer()
    {
        QFETCH(QByteArray, answer);
        QFETCH(Status, status);
        QFETCH(bool, read);
        DecodeService::setHelperPath(QStringLiteral(QUILLORA_STANDIN_HELPER));
        qputenv("QUILLORA_STANDIN_PAYLOAD", answer);
        const QString book = m_dir.filePath(QStringLiteral("book.pdf"));
        QFile file(book);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("%PDF-1.4\n") > 0);
        file.close();
        const DecodeService::Result result = DecodeService::readPdf(Kind::PdfBook, book);
        QCOMPARE(result.status, status);
        PdfAnswers::Book facts;
        QCOMPARE(PdfAnswers::read(result.payload, &facts), read);
        if (read) {
            QCOMPARE(facts.pages, 3);
            QCOMPARE(facts.pagePoints.size(), 3);
            QCOMPARE(facts.outline.size(), 2);
            QCOMPARE(facts.outline.last().title, QStringLiteral("Two"));
        }
        QCOMPARE(helpers().size(), status == Status::Done ? 1 : 0);
    }

    void request()
    {
        QFETCH(QString, scenario);
        QFETCH(QByteArray, answer);
        QFETCH(Status, status);
        static int tag = 0;
        ++tag;
        if (scenario == QLatin1String("standin")) {
            DecodeService::setHelperPath(QStringLiteral(QUILLORA_STANDIN_HELPER));
            qputenv("QUILLORA_STANDIN_MARK", m_dir.filePath(QString::number(tag)).toUtf8());
            const DecodeService::Result result = DecodeService::decode(Kind::Picture, answer, boxed(100));
            QCOMPARE(result.status, status);
            if (status == Status::Done) {
                QCOMPARE(result.image.size(), QSize(100, 50));
                QCOMPARE(result.image.format(), QImage::Format_RGB32);
                QCOMPARE(result.image.pixel(99, 49), qRgb(0x7f, 0x7f, 0x7f) | 0xff000000);
            } else {
                QVERIFY(result.image.isNull());
            }
            // A helper that answered out of turn is not kept.
            QCOMPARE(helpers().size(), status == Status::Done ? 1 : 0);
            return;
        }
        if (scenario == QLatin1String("missing")) {
            const QByteArray svg = drawing(1, 1, tag);
            DecodeService::setHelperPath(m_dir.filePath(QStringLiteral("none")));
            QCOMPARE(DecodeService::decode(Kind::Drawing, svg, natural()).status, status);
            // Nothing is held against the drawing once a helper is there.
            DecodeService::setHelperPath(m_helper);
            QCOMPARE(DecodeService::decode(Kind::Drawing, svg, natural()).status, Status::Done);
            return;
        }
        if (scenario == QLatin1String("near budget")) {
            // Each would pass the budget of a helper's life together with
            // the ones before; each keeps its own.
            QList<pid_t> served;
            for (int i = 0; i < 3; ++i) {
                const DecodeService::Result result =
                    DecodeService::decode(Kind::Drawing, costing(DecodeWire::kCpuMilliseconds * 2 / 3, tag * 10 + i),
                                          natural());
                QCOMPARE(result.status, status);
                QCOMPARE(result.image.size(), QSize(640, 480));
                served += helpers();
            }
            QCOMPARE(served.size(), 3);
            QCOMPARE(served.count(served.first()), 3);
            return;
        }
        if (scenario == QLatin1String("sizes")) {
            // About four times the budget at 1280x960, a sixth of it at 320x240.
            const QByteArray svg = costing(DecodeWire::kCpuMilliseconds, tag);
            DecodeWire::Policy large = boxed(1280);
            QCOMPARE(DecodeService::decode(Kind::Drawing, svg, large).status, status);
            QElapsedTimer timer;
            timer.start();
            QCOMPARE(DecodeService::decode(Kind::Drawing, svg, large).status, status);
            QVERIFY(timer.elapsed() < 500);
            const DecodeService::Result small = DecodeService::decode(Kind::Drawing, svg, boxed(320));
            QCOMPARE(small.status, Status::Done);
            QCOMPARE(small.image.size(), QSize(320, 240));
            return;
        }
        // A request whose helper is killed or stopped while it draws.
        const QByteArray svg = costing(DecodeWire::kCpuMilliseconds / 2, tag);
        auto pending = std::async(std::launch::async, [&] { return DecodeService::decode(Kind::Drawing, svg, natural()); });
        const pid_t busy = busyHelper(100);
        QVERIFY(busy > 0);
        ::kill(busy, scenario == QLatin1String("kill") ? SIGKILL : SIGSTOP);
        // Other requests go on meanwhile.
        const DecodeService::Result other = DecodeService::decode(Kind::Drawing, drawing(1, 1, -tag), natural());
        QCOMPARE(other.status, Status::Done);
        // A stopped helper is waited for a while, not for the whole deadline.
        if (scenario == QLatin1String("stop"))
            QVERIFY(pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready);
        const DecodeService::Result result = pending.get();
        QCOMPARE(result.status, status);
        QCOMPARE(result.image.size(), QSize(640, 480));
        QVERIFY(!helpers().contains(busy));
    }

    // A helper answers every large picture in one memory it keeps: no
    // answer may show what an earlier one left there.
    void keptMemory_data()
    {
        QTest::addColumn<QList<QSize>>("sizes");
        QTest::addColumn<bool>("drawingLast");

        QTest::newRow("opaque picture, then a clear drawing of its size")
            << QList<QSize>{{600, 400}, {600, 400}} << true;
        QTest::newRow("large, then smaller") << QList<QSize>{{1000, 800}, {300, 300}} << false;
        QTest::newRow("small, then past the memory kept")
            << QList<QSize>{{300, 300}, {2600, 1800}, {400, 200}} << false;
    }

    void keptMemory()
    {
        QFETCH(QList<QSize>, sizes);
        QFETCH(bool, drawingLast);
        HelperProcess::setPath(m_helper);
        for (int i = 0; i < sizes.size(); ++i) {
            const QSize size = sizes.at(i);
            const bool drawn = drawingLast && i == sizes.size() - 1;
            const QColor colour = QColor::fromHsv(i * 90 % 360, 255, 200);
            QByteArray bytes;
            if (drawn) {
                bytes = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\"/>")
                            .arg(size.width()).arg(size.height()).toUtf8();
            } else {
                QImage picture(size, QImage::Format_RGB32);
                picture.fill(colour);
                QBuffer buffer(&bytes);
                buffer.open(QIODevice::WriteOnly);
                QVERIFY(picture.save(&buffer, "BMP"));
            }
            const DecodeService::Result result
                = DecodeService::decode(drawn ? Kind::Drawing : Kind::Picture, bytes, natural());
            QCOMPARE(result.status, Status::Done);
            QCOMPARE(result.image.size(), size);
            for (const QPoint &at : {QPoint(0, 0), QPoint(size.width() - 1, size.height() - 1),
                                     QPoint(size.width() / 2, size.height() / 2)}) {
                const QRgb pixel = result.image.pixel(at);
                if (drawn)
                    QCOMPARE(qAlpha(pixel), 0);
                else
                    QCOMPARE(pixel | 0xff000000u, colour.rgb());
            }
        }
    }
};

QTEST_MAIN(TestDecodeService)
#include "tst_decodeservice.moc"
