#include "imagefixtures.h"
#include "imageutil.h"

#include <QElapsedTimer>
#include <QPainter>
#include <QtTest>

#include <sys/resource.h>

#include <algorithm>

// A comic page (1800x2600) scaled to a phone page, as Qt 5.15 does it (split
// over its global pool: the build before), as Qt does it on one thread, and
// as ImageUtil::smoothScaled does it. Wall and process CPU, medians of 15.
class BenchImageScale : public QObject
{
    Q_OBJECT

    static double cpuMs()
    {
        rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
            + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    }

    template<typename F>
    static QString measure(F scale)
    {
        QVector<double> wall, cpu;
        for (int run = 0; run < 15; ++run) {
            QElapsedTimer timer;
            const double before = cpuMs();
            timer.start();
            const QImage out = scale();
            wall << timer.nsecsElapsed() / 1e6;
            cpu << cpuMs() - before;
            if (out.isNull())
                return QStringLiteral("nothing scaled");
        }
        std::sort(wall.begin(), wall.end());
        std::sort(cpu.begin(), cpu.end());
        return QStringLiteral("%1 / %2").arg(wall.at(7), 0, 'f', 1).arg(cpu.at(7), 0, 'f', 1);
    }

private slots:
    void comicPage_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("RGB") << int(QImage::Format_RGB32);
        QTest::newRow("grey") << int(QImage::Format_Grayscale8);
        QTest::newRow("RGBA") << int(QImage::Format_ARGB32);
        QTest::newRow("16-bit RGB") << int(QImage::Format_RGBX64);
    }
    void comicPage()
    {
        QFETCH(int, format);
        QImage page(1800, 2600, QImage::Format_ARGB32);
        page.fill(QColor(250, 245, 235));
        QPainter painter(&page);
        painter.setRenderHint(QPainter::Antialiasing);
        for (int i = 0; i < 40; ++i)
            painter.drawEllipse(QPointF(45.0 * i, 65.0 * i), 300, 200);
        painter.end();
        page = madeOnPoolThread([&] { return page.convertToFormat(QImage::Format(format)); });
        const QSize size(720, 1040);
        const QString split = measure([&] { return page.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation); });
        const QString one = measure([&] {
            return madeOnPoolThread([&] { return page.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation); });
        });
        const QString ours = measure([&] { return ImageUtil::smoothScaled(page, size); });
        qInfo().noquote() << QTest::currentDataTag() << "wall / CPU ms: Qt split" << split
                          << "| Qt one thread" << one << "| smoothScaled" << ours;
    }
};

QTEST_GUILESS_MAIN(BenchImageScale)
#include "bench_imagescale.moc"
