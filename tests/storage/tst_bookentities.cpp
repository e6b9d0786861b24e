#include "chapterinfo.h"
#include "novelinfo.h"

#include <QMetaProperty>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

QStringList propertyNames(const QMetaObject &meta)
{
    QStringList names;
    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i)
        names << QString::fromLatin1(meta.property(i).name());
    return names;
}

// A value of the property's type that differs from any start value.
QVariant otherValue(const QMetaProperty &property)
{
    switch (property.userType()) {
    case QMetaType::QString: return QStringLiteral("x");
    case QMetaType::Int: return 42;
    case QMetaType::LongLong: return qlonglong(42);
    case QMetaType::Double: return 0.25;
    default: return QVariant();
    }
}

// Every property written through its setter; no notify signal may fire.
void checkSettersAreSilent(QObject *object)
{
    const QMetaObject *meta = object->metaObject();
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        QVERIFY2(property.hasNotifySignal(), property.name());
        spies.emplace_back(new QSignalSpy(object, property.notifySignal()));
    }
    for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        const QVariant value = otherValue(property);
        QVERIFY2(value.isValid(), property.name());
        QVERIFY2(property.write(object, value), property.name());
        QCOMPARE(property.read(object), value);
    }
    for (const auto &spy : spies)
        QCOMPARE(spy->count(), 0);
}

}

class TestBookEntities : public QObject
{
    Q_OBJECT

private slots:
    void novelInfoExposesEveryColumn()
    {
        const QStringList expected{
            "id", "title", "author", "coverPath", "description", "category", "tags", "language",
            "status", "chaptersCount", "wordCount", "totalGlyphs", "totalProgress", "publishTime",
            "lastReadChapter", "fileSize", "fileType", "sourceType", "sourceUrl", "dataDir",
            "loadStatus", "parseProgress", "createTime", "updateTime", "publisher", "publishDate", "isbn"};
        QCOMPARE(propertyNames(NovelInfo::staticMetaObject), expected);
        // Sizes past 2 GiB and progress counts past 32 bits must fit.
        const QMetaObject &meta = NovelInfo::staticMetaObject;
        QCOMPARE(meta.property(meta.indexOfProperty("fileSize")).userType(), int(QMetaType::LongLong));
        QCOMPARE(meta.property(meta.indexOfProperty("totalProgress")).userType(), int(QMetaType::LongLong));
    }

    void chapterInfoExposesEveryColumn()
    {
        const QStringList expected{
            "id", "novelId", "title", "chapterIndex", "path", "wordCount", "startGlyphIndex",
            "glyphCount", "startProgressIndex", "progressTotal", "startOffset", "endOffset",
            "prevChapter", "nextChapter", "loadStatus", "status", "createTime", "updateTime",
            "novelProcess"};
        QCOMPARE(propertyNames(ChapterInfo::staticMetaObject), expected);
    }

    void settersDoNotNotify()
    {
        NovelInfo novel;
        checkSettersAreSilent(&novel);
        ChapterInfo chapter;
        checkSettersAreSilent(&chapter);
    }

    void novelInfoText()
    {
        NovelInfo fresh;
        QCOMPARE(fresh.toString(),
                 QStringLiteral("NovelInfo{id='', title='', author='', coverPath='', description='', "
                                "category='', tags='', language='', status=-1, chaptersCount=-1, "
                                "wordCount=-1, publishTime='', lastReadChapter='', fileSize=-1, "
                                "fileType='', sourceType=-1, sourceUrl='', dataDir='', loadStatus=-1, "
                                "parseProgress=-1, createTime='', updateTime='', publisher='', "
                                "publishDate='', isbn=''}"));

        NovelInfo set;
        set.setId(QStringLiteral("a'b"));
        set.setTitle(QStringLiteral("三体"));
        set.setFileSize(3221225472LL);
        set.setParseProgress(0.5);
        set.setTotalGlyphs(9);
        set.setTotalProgress(9);
        const QString text = set.toString();
        // Values stand unescaped; the totals are not part of the text.
        QVERIFY(text.startsWith(QStringLiteral("NovelInfo{id='a'b', title='三体', ")));
        QVERIFY(text.contains(QStringLiteral(", fileSize=3221225472, ")));
        QVERIFY(text.contains(QStringLiteral(", parseProgress=0.5, ")));
        QVERIFY(!text.contains(QStringLiteral("total")));
        QVERIFY(text.endsWith(QStringLiteral("'}")));

        set.setParseProgress(1.0 / 3.0);
        QVERIFY(set.toString().contains(QStringLiteral(", parseProgress=0.333333, ")));
    }

    void chapterInfoText()
    {
        ChapterInfo fresh;
        QCOMPARE(fresh.toString(),
                 QStringLiteral("ChapterInfo{id='', novelId='', title='', chapterIndex=-1, path='', "
                                "wordCount=-1, startOffset=-1, endOffset=-1, prevChapter='', "
                                "nextChapter='', loadStatus=-1, status=-1, createTime='', "
                                "updateTime='', novelProcess=-1}"));

        ChapterInfo set;
        set.setId(QStringLiteral("c1"));
        set.setTitle(QStringLiteral("第一章"));
        set.setChapterIndex(0);
        set.setGlyphCount(77);
        set.setNovelProcess(2.0 / 3.0);
        const QString text = set.toString();
        QVERIFY(text.startsWith(QStringLiteral("ChapterInfo{id='c1', novelId='', title='第一章', chapterIndex=0, ")));
        QVERIFY(text.endsWith(QStringLiteral(", novelProcess=0.666667}")));
        QVERIFY(!text.contains(QStringLiteral("77")));
    }
};

QTEST_GUILESS_MAIN(TestBookEntities)
#include "tst_bookentities.moc"
