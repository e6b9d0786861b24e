#include "epubunifiedparser.h"

#include <QElapsedTimer>
#include <QThreadPool>
#include <QtConcurrent>
#include <QtTest>

#include <limits>

namespace {

const QString css = QStringLiteral(
    "body{font-family:serif;line-height:1.4} p{text-indent:2em;margin:0 0 .5em} .em{font-style:italic}"
    ".big{font-size:1.3em;color:#333} td{padding:2px;text-align:right} h2{text-align:center}");

// A chapter of about the given size: headings, styled paragraphs with spans, links and
// entities, and a small table every few paragraphs.
QString chapter(int size)
{
    QString body;
    for (int i = 0; body.size() < size; ++i) {
        if (i % 20 == 0)
            body += QStringLiteral("<h2 id='s%1'>Section %1</h2>\n").arg(i);
        body += QStringLiteral("<p class='c%1'>The road <span class='em'>climbed</span> on through the "
                               "<b>pines</b>,&nbsp;and <a href='n.xhtml#%1'>rain</a> fell all night on "
                               "the <span class='big' style='color:red'>old temple</span>.</p>\n").arg(i % 9);
        if (i % 6 == 5)
            body += QStringLiteral("<table><tr><th>Day</th><th>Miles</th></tr><tr><td>%1</td>"
                                   "<td><i>%2</i></td></tr></table>\n").arg(i).arg(i * 3);
    }
    return QStringLiteral("<?xml version='1.0' encoding='utf-8'?>\n<!DOCTYPE html>\n"
                          "<html xmlns='http://www.w3.org/1999/xhtml'><head><title>c</title>"
                          "<link href='s.css' rel='stylesheet'/></head><body>\n%1</body></html>").arg(body);
}

XhtmlConvertResult convert(const QString &xhtml, const CssStyleSheetMap &sheets)
{
    return EpubUnifiedParser::convertXhtml(xhtml, sheets, {{"s.css", "s.css"}}, {}, "c.xhtml",
                                           "content.opf", "", {}, {});
}

}

class BenchXhtmlConverter : public QObject
{
    Q_OBJECT

private slots:
    // Throughput on one large chapter.
    void oneMegabyteChapter()
    {
        const QString xhtml = chapter(1024 * 1024);
        const CssStyleSheetMap sheets = CssStyleSheet::parseAll({{"s.css", css}});
        QVERIFY(convert(xhtml, sheets).ok);
        QElapsedTimer timer;
        int runs = 0;
        timer.start();
        QBENCHMARK {
            convert(xhtml, sheets);
            ++runs;
        }
        const double seconds = timer.nsecsElapsed() / 1e9 / runs;
        qInfo("%.1f MB/s", xhtml.toUtf8().size() / 1e6 / seconds);
    }

    // A book's worth of small chapters, two at a time as the importer runs them.
    void thousandChaptersOnTwoThreads()
    {
        const QString xhtml = chapter(20 * 1024);
        const CssStyleSheetMap sheets = CssStyleSheet::parseAll({{"s.css", css}});
        QThreadPool pool;
        pool.setMaxThreadCount(2);
        QBENCHMARK {
            QAtomicInt next;
            const auto worker = [&] {
                while (next.fetchAndAddRelaxed(1) < 1000)
                    convert(xhtml, sheets);
            };
            QFuture<void> a = QtConcurrent::run(&pool, worker);
            QFuture<void> b = QtConcurrent::run(&pool, worker);
            a.waitForFinished();
            b.waitForFinished();
        }
    }

    // The same 1 MB chapter not well-formed (HTML line breaks and images left
    // open, as hand-made books write them) against its well-formed twin: the
    // first is read a second time through the HTML parser.
    void notWellFormedTwin()
    {
        QString wellFormed = chapter(1024 * 1024);
        wellFormed.replace(QStringLiteral("</p>"), QStringLiteral("<br/><img src='x.png' alt=''/></p>"));
        QString broken = wellFormed;
        broken.replace(QStringLiteral("<br/>"), QStringLiteral("<br>"));
        broken.replace(QStringLiteral("alt=''/>"), QStringLiteral("alt=''>"));
        const CssStyleSheetMap sheets = CssStyleSheet::parseAll({{"s.css", css}});
        const XhtmlConvertResult a = convert(wellFormed, sheets);
        const XhtmlConvertResult b = convert(broken, sheets);
        QVERIFY(a.ok && b.ok);
        QCOMPARE(b.paragraphs.size(), a.paragraphs.size());
        const auto time = [&](const QString &xhtml) {
            QElapsedTimer timer;
            qint64 best = std::numeric_limits<qint64>::max();
            for (int run = 0; run < 5; ++run) {
                timer.start();
                convert(xhtml, sheets);
                best = qMin(best, timer.nsecsElapsed());
            }
            return best / 1e6;
        };
        // The worst case: one bare "&" in the last paragraph, met after everything
        // else was converted once.
        QString lateFault = wellFormed;
        lateFault.insert(lateFault.lastIndexOf(QStringLiteral("</p>")), QStringLiteral(" & "));
        const double wellMs = time(wellFormed);
        const double brokenMs = time(broken);
        const double lateMs = time(lateFault);
        qInfo("well-formed %.1f ms, not well-formed %.1f ms (ratio %.2f), fault at the end %.1f ms "
              "(ratio %.2f)", wellMs, brokenMs, brokenMs / wellMs, lateMs, lateMs / wellMs);
    }
};

QTEST_MAIN(BenchXhtmlConverter)
#include "bench_xhtmlconverter.moc"
