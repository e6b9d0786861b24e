#include "rawfontcache.h"

#include <QFont>
#include <QGuiApplication>
#include <QThread>
#include <QtTest>

namespace {

QRawFont rawFont(const QString &family, int pixelSize)
{
    QFont font(family);
    font.setPixelSize(pixelSize);
    return QRawFont::fromFont(font);
}

}

class TestRawFontCache : public QObject
{
    Q_OBJECT

private slots:
    void keysAndGenerations()
    {
        RawFontCache &cache = RawFontCache::forCurrentThread();
        QCOMPARE(cache.keyFor(QRawFont()), qint64(0));

        const QRawFont sans = rawFont(QStringLiteral("DejaVu Sans"), 18);
        const QRawFont cjk = rawFont(QStringLiteral("Noto Sans CJK SC"), 18);
        QVERIFY(sans.isValid() && cjk.isValid());
        const qint64 sansKey = cache.keyFor(sans);
        QVERIFY(sansKey > 0);
        QCOMPARE(cache.keyFor(rawFont(QStringLiteral("DejaVu Sans"), 18)), sansKey);
        const qint64 cjkKey = cache.keyFor(cjk);
        QVERIFY(cjkKey != sansKey);
        QCOMPARE(cache.rawFont(cjkKey).familyName(), cjk.familyName());
        QVERIFY(!cache.rawFont(cjkKey + 1000).isValid());

        // An older generation leaves the cache alone; a newer one empties it.
        RawFontCache::clearForCurrentThread(7);
        const qint64 afterSeven = cache.keyFor(sans);
        RawFontCache::clearForCurrentThread(5);
        QVERIFY(cache.rawFont(afterSeven).isValid());
        RawFontCache::clearForCurrentThread(8);
        QVERIFY(!cache.rawFont(afterSeven).isValid());
        // Keys issued before the clearing are never handed out again.
        QVERIFY(cache.keyFor(sans) > qMax(afterSeven, cjkKey));
        // Generations compare as unsigned 64-bit numbers.
        const qint64 key = cache.keyFor(cjk);
        RawFontCache::clearForCurrentThread(quint64(1) << 63);
        QVERIFY(!cache.rawFont(key).isValid());
    }

    void onePerThread()
    {
        RawFontCache &mine = RawFontCache::forCurrentThread();
        const qint64 mineKey = mine.keyFor(rawFont(QStringLiteral("DejaVu Sans"), 30));
        RawFontCache *theirs = nullptr;
        qint64 theirKey = 0;
        QThread *thread = QThread::create([&] {
            theirs = &RawFontCache::forCurrentThread();
            theirKey = theirs->keyFor(rawFont(QStringLiteral("DejaVu Sans"), 30));
            // Clearing on that thread does not touch this one's fonts.
            RawFontCache::clearForCurrentThread(1000000);
        });
        thread->start();
        QVERIFY(thread->wait(10000));
        delete thread;
        QVERIFY(theirs != &mine);
        QVERIFY(theirKey > 0);
        QVERIFY(mine.rawFont(mineKey).isValid());
    }
};

QTEST_MAIN(TestRawFontCache)
#include "tst_rawfontcache.moc"
