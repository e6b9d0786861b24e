#pragma once

#include <QObject>
#include <QString>

// One row of novel_info. A snapshot for QML: the setters store and never
// notify. -1 (0 for the two totals, a negative parseProgress) and an empty
// string mean "not set" to NovelDao::update. fileSize is 64-bit so books of
// 2 GiB and more keep their real size.
class NovelInfo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString id READ id WRITE setId NOTIFY idChanged)
    Q_PROPERTY(QString title READ title WRITE setTitle NOTIFY titleChanged)
    Q_PROPERTY(QString author READ author WRITE setAuthor NOTIFY authorChanged)
    Q_PROPERTY(QString coverPath READ coverPath WRITE setCoverPath NOTIFY coverPathChanged)
    Q_PROPERTY(QString description READ description WRITE setDescription NOTIFY descriptionChanged)
    Q_PROPERTY(QString category READ category WRITE setCategory NOTIFY categoryChanged)
    Q_PROPERTY(QString tags READ tags WRITE setTags NOTIFY tagsChanged)
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
    Q_PROPERTY(int status READ status WRITE setStatus NOTIFY statusChanged)
    Q_PROPERTY(int chaptersCount READ chaptersCount WRITE setChaptersCount NOTIFY chaptersCountChanged)
    Q_PROPERTY(int wordCount READ wordCount WRITE setWordCount NOTIFY wordCountChanged)
    Q_PROPERTY(int totalGlyphs READ totalGlyphs WRITE setTotalGlyphs NOTIFY totalGlyphsChanged)
    Q_PROPERTY(qlonglong totalProgress READ totalProgress WRITE setTotalProgress NOTIFY totalProgressChanged)
    Q_PROPERTY(QString publishTime READ publishTime WRITE setPublishTime NOTIFY publishTimeChanged)
    Q_PROPERTY(QString lastReadChapter READ lastReadChapter WRITE setLastReadChapter NOTIFY lastReadChapterChanged)
    Q_PROPERTY(qlonglong fileSize READ fileSize WRITE setFileSize NOTIFY fileSizeChanged)
    Q_PROPERTY(QString fileType READ fileType WRITE setFileType NOTIFY fileTypeChanged)
    Q_PROPERTY(int sourceType READ sourceType WRITE setSourceType NOTIFY sourceTypeChanged)
    Q_PROPERTY(QString sourceUrl READ sourceUrl WRITE setSourceUrl NOTIFY sourceUrlChanged)
    Q_PROPERTY(QString dataDir READ dataDir WRITE setDataDir NOTIFY dataDirChanged)
    Q_PROPERTY(int loadStatus READ loadStatus WRITE setLoadStatus NOTIFY loadStatusChanged)
    Q_PROPERTY(double parseProgress READ parseProgress WRITE setParseProgress NOTIFY parseProgressChanged)
    Q_PROPERTY(QString createTime READ createTime WRITE setCreateTime NOTIFY createTimeChanged)
    Q_PROPERTY(QString updateTime READ updateTime WRITE setUpdateTime NOTIFY updateTimeChanged)
    Q_PROPERTY(QString publisher READ publisher WRITE setPublisher NOTIFY publisherChanged)
    Q_PROPERTY(QString publishDate READ publishDate WRITE setPublishDate NOTIFY publishDateChanged)
    Q_PROPERTY(QString isbn READ isbn WRITE setIsbn NOTIFY isbnChanged)

public:
    explicit NovelInfo(QObject *parent = nullptr);

    QString id() const { return m_id; }
    QString title() const { return m_title; }
    QString author() const { return m_author; }
    QString coverPath() const { return m_coverPath; }
    QString description() const { return m_description; }
    QString category() const { return m_category; }
    QString tags() const { return m_tags; }
    QString language() const { return m_language; }
    int status() const { return m_status; }
    int chaptersCount() const { return m_chaptersCount; }
    int wordCount() const { return m_wordCount; }
    int totalGlyphs() const { return m_totalGlyphs; }
    qlonglong totalProgress() const { return m_totalProgress; }
    QString publishTime() const { return m_publishTime; }
    QString lastReadChapter() const { return m_lastReadChapter; }
    qlonglong fileSize() const { return m_fileSize; }
    QString fileType() const { return m_fileType; }
    int sourceType() const { return m_sourceType; }
    QString sourceUrl() const { return m_sourceUrl; }
    QString dataDir() const { return m_dataDir; }
    int loadStatus() const { return m_loadStatus; }
    double parseProgress() const { return m_parseProgress; }
    QString createTime() const { return m_createTime; }
    QString updateTime() const { return m_updateTime; }
    QString publisher() const { return m_publisher; }
    QString publishDate() const { return m_publishDate; }
    QString isbn() const { return m_isbn; }

    void setId(const QString &value) { m_id = value; }
    void setTitle(const QString &value) { m_title = value; }
    void setAuthor(const QString &value) { m_author = value; }
    void setCoverPath(const QString &value) { m_coverPath = value; }
    void setDescription(const QString &value) { m_description = value; }
    void setCategory(const QString &value) { m_category = value; }
    void setTags(const QString &value) { m_tags = value; }
    void setLanguage(const QString &value) { m_language = value; }
    void setStatus(int value) { m_status = value; }
    void setChaptersCount(int value) { m_chaptersCount = value; }
    void setWordCount(int value) { m_wordCount = value; }
    void setTotalGlyphs(int value) { m_totalGlyphs = value; }
    void setTotalProgress(qlonglong value) { m_totalProgress = value; }
    void setPublishTime(const QString &value) { m_publishTime = value; }
    void setLastReadChapter(const QString &value) { m_lastReadChapter = value; }
    void setFileSize(qlonglong value) { m_fileSize = value; }
    void setFileType(const QString &value) { m_fileType = value; }
    void setSourceType(int value) { m_sourceType = value; }
    void setSourceUrl(const QString &value) { m_sourceUrl = value; }
    void setDataDir(const QString &value) { m_dataDir = value; }
    void setLoadStatus(int value) { m_loadStatus = value; }
    void setParseProgress(double value) { m_parseProgress = value; }
    void setCreateTime(const QString &value) { m_createTime = value; }
    void setUpdateTime(const QString &value) { m_updateTime = value; }
    void setPublisher(const QString &value) { m_publisher = value; }
    void setPublishDate(const QString &value) { m_publishDate = value; }
    void setIsbn(const QString &value) { m_isbn = value; }

    // One line of the record for diagnostics.
    QString toString() const;

signals:
    void idChanged();
    void titleChanged();
    void authorChanged();
    void coverPathChanged();
    void descriptionChanged();
    void categoryChanged();
    void tagsChanged();
    void languageChanged();
    void statusChanged();
    void chaptersCountChanged();
    void wordCountChanged();
    void totalGlyphsChanged();
    void totalProgressChanged();
    void publishTimeChanged();
    void lastReadChapterChanged();
    void fileSizeChanged();
    void fileTypeChanged();
    void sourceTypeChanged();
    void sourceUrlChanged();
    void dataDirChanged();
    void loadStatusChanged();
    void parseProgressChanged();
    void createTimeChanged();
    void updateTimeChanged();
    void publisherChanged();
    void publishDateChanged();
    void isbnChanged();

private:
    QString m_id;
    QString m_title;
    QString m_author;
    QString m_coverPath;
    QString m_description;
    QString m_category;
    QString m_tags;
    QString m_language;
    int m_status = -1;
    int m_chaptersCount = -1;
    int m_wordCount = -1;
    int m_totalGlyphs = 0;
    qlonglong m_totalProgress = 0;
    QString m_publishTime;
    QString m_lastReadChapter;
    qlonglong m_fileSize = -1;
    QString m_fileType;
    int m_sourceType = -1;
    QString m_sourceUrl;
    QString m_dataDir;
    int m_loadStatus = -1;
    double m_parseProgress = -1.0;
    QString m_createTime;
    QString m_updateTime;
    QString m_publisher;
    QString m_publishDate;
    QString m_isbn;
};
