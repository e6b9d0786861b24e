#pragma once

#include <QObject>
#include <QString>

// One row of chapter_info. A snapshot for QML: the setters store and never
// notify. -1 (-1.0 for novelProcess) and an empty string mean "not set" to
// ChapterDao::update; the glyph and progress counters are never updated.
class ChapterInfo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString id READ id WRITE setId NOTIFY idChanged)
    Q_PROPERTY(QString novelId READ novelId WRITE setNovelId NOTIFY novelIdChanged)
    Q_PROPERTY(QString title READ title WRITE setTitle NOTIFY titleChanged)
    Q_PROPERTY(int chapterIndex READ chapterIndex WRITE setChapterIndex NOTIFY chapterIndexChanged)
    Q_PROPERTY(QString path READ path WRITE setPath NOTIFY pathChanged)
    Q_PROPERTY(int wordCount READ wordCount WRITE setWordCount NOTIFY wordCountChanged)
    Q_PROPERTY(int startGlyphIndex READ startGlyphIndex WRITE setStartGlyphIndex NOTIFY startGlyphIndexChanged)
    Q_PROPERTY(int glyphCount READ glyphCount WRITE setGlyphCount NOTIFY glyphCountChanged)
    Q_PROPERTY(qlonglong startProgressIndex READ startProgressIndex WRITE setStartProgressIndex NOTIFY startProgressIndexChanged)
    Q_PROPERTY(qlonglong progressTotal READ progressTotal WRITE setProgressTotal NOTIFY progressTotalChanged)
    Q_PROPERTY(int startOffset READ startOffset WRITE setStartOffset NOTIFY startOffsetChanged)
    Q_PROPERTY(int endOffset READ endOffset WRITE setEndOffset NOTIFY endOffsetChanged)
    Q_PROPERTY(QString prevChapter READ prevChapter WRITE setPrevChapter NOTIFY prevChapterChanged)
    Q_PROPERTY(QString nextChapter READ nextChapter WRITE setNextChapter NOTIFY nextChapterChanged)
    Q_PROPERTY(int loadStatus READ loadStatus WRITE setLoadStatus NOTIFY loadStatusChanged)
    Q_PROPERTY(int status READ status WRITE setStatus NOTIFY statusChanged)
    Q_PROPERTY(QString createTime READ createTime WRITE setCreateTime NOTIFY createTimeChanged)
    Q_PROPERTY(QString updateTime READ updateTime WRITE setUpdateTime NOTIFY updateTimeChanged)
    Q_PROPERTY(double novelProcess READ novelProcess WRITE setNovelProcess NOTIFY novelProcessChanged)

public:
    explicit ChapterInfo(QObject *parent = nullptr);

    QString id() const { return m_id; }
    QString novelId() const { return m_novelId; }
    QString title() const { return m_title; }
    int chapterIndex() const { return m_chapterIndex; }
    QString path() const { return m_path; }
    int wordCount() const { return m_wordCount; }
    int startGlyphIndex() const { return m_startGlyphIndex; }
    int glyphCount() const { return m_glyphCount; }
    qlonglong startProgressIndex() const { return m_startProgressIndex; }
    qlonglong progressTotal() const { return m_progressTotal; }
    int startOffset() const { return m_startOffset; }
    int endOffset() const { return m_endOffset; }
    QString prevChapter() const { return m_prevChapter; }
    QString nextChapter() const { return m_nextChapter; }
    int loadStatus() const { return m_loadStatus; }
    int status() const { return m_status; }
    QString createTime() const { return m_createTime; }
    QString updateTime() const { return m_updateTime; }
    double novelProcess() const { return m_novelProcess; }

    void setId(const QString &value) { m_id = value; }
    void setNovelId(const QString &value) { m_novelId = value; }
    void setTitle(const QString &value) { m_title = value; }
    void setChapterIndex(int value) { m_chapterIndex = value; }
    void setPath(const QString &value) { m_path = value; }
    void setWordCount(int value) { m_wordCount = value; }
    void setStartGlyphIndex(int value) { m_startGlyphIndex = value; }
    void setGlyphCount(int value) { m_glyphCount = value; }
    void setStartProgressIndex(qlonglong value) { m_startProgressIndex = value; }
    void setProgressTotal(qlonglong value) { m_progressTotal = value; }
    void setStartOffset(int value) { m_startOffset = value; }
    void setEndOffset(int value) { m_endOffset = value; }
    void setPrevChapter(const QString &value) { m_prevChapter = value; }
    void setNextChapter(const QString &value) { m_nextChapter = value; }
    void setLoadStatus(int value) { m_loadStatus = value; }
    void setStatus(int value) { m_status = value; }
    void setCreateTime(const QString &value) { m_createTime = value; }
    void setUpdateTime(const QString &value) { m_updateTime = value; }
    void setNovelProcess(double value) { m_novelProcess = value; }

    // One line of the record for diagnostics.
    QString toString() const;

signals:
    void idChanged();
    void novelIdChanged();
    void titleChanged();
    void chapterIndexChanged();
    void pathChanged();
    void wordCountChanged();
    void startGlyphIndexChanged();
    void glyphCountChanged();
    void startProgressIndexChanged();
    void progressTotalChanged();
    void startOffsetChanged();
    void endOffsetChanged();
    void prevChapterChanged();
    void nextChapterChanged();
    void loadStatusChanged();
    void statusChanged();
    void createTimeChanged();
    void updateTimeChanged();
    void novelProcessChanged();

private:
    QString m_id;
    QString m_novelId;
    QString m_title;
    int m_chapterIndex = -1;
    QString m_path;
    int m_wordCount = -1;
    int m_startGlyphIndex = 0;
    int m_glyphCount = 0;
    qlonglong m_startProgressIndex = 0;
    qlonglong m_progressTotal = 0;
    int m_startOffset = -1;
    int m_endOffset = -1;
    QString m_prevChapter;
    QString m_nextChapter;
    int m_loadStatus = -1;
    int m_status = -1;
    QString m_createTime;
    QString m_updateTime;
    double m_novelProcess = -1.0;
};
