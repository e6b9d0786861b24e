#include "schema.h"

namespace {

// The CREATE texts are kept byte for byte as the stored files have them.

SchemaObjectSpec novelInfoTable()
{
    return {QStringLiteral("novel_info"),
            QStringLiteral("CREATE TABLE novel_info (id TEXT PRIMARY KEY,title TEXT NOT NULL,author TEXT DEFAULT '用户',cover_path TEXT,description TEXT,category TEXT,tags TEXT,language TEXT DEFAULT 'zh-CN',status INTEGER DEFAULT 0,chapters_count INTEGER DEFAULT 0,word_count INTEGER DEFAULT 0,publish_time TEXT DEFAULT CURRENT_TIMESTAMP,last_read_chapter TEXT,file_size INTEGER DEFAULT 0,file_type TEXT,source_type INTEGER DEFAULT 0,source_url TEXT,data_dir TEXT,load_status INTEGER DEFAULT 0,parse_progress REAL DEFAULT 0.0,total_glyphs INTEGER DEFAULT 0,total_progress INTEGER DEFAULT 0,create_time TEXT,update_time TEXT,publisher TEXT,publish_date TEXT,isbn TEXT)"),
            {QStringLiteral("id"),
             QStringLiteral("title"),
             QStringLiteral("author"),
             QStringLiteral("cover_path"),
             QStringLiteral("description"),
             QStringLiteral("category"),
             QStringLiteral("tags"),
             QStringLiteral("language"),
             QStringLiteral("status"),
             QStringLiteral("chapters_count"),
             QStringLiteral("word_count"),
             QStringLiteral("publish_time"),
             QStringLiteral("last_read_chapter"),
             QStringLiteral("file_size"),
             QStringLiteral("file_type"),
             QStringLiteral("source_type"),
             QStringLiteral("source_url"),
             QStringLiteral("data_dir"),
             QStringLiteral("load_status"),
             QStringLiteral("parse_progress"),
             QStringLiteral("total_glyphs"),
             QStringLiteral("total_progress"),
             QStringLiteral("create_time"),
             QStringLiteral("update_time"),
             QStringLiteral("publisher"),
             QStringLiteral("publish_date"),
             QStringLiteral("isbn")}};
}

SchemaObjectSpec chapterInfoTable()
{
    return {QStringLiteral("chapter_info"),
            QStringLiteral("CREATE TABLE chapter_info (id TEXT PRIMARY KEY,title TEXT,novel_id TEXT,chapter_index INTEGER,path TEXT,word_count INTEGER,start_offset INTEGER,end_offset INTEGER,prev_chapter TEXT,next_chapter TEXT,load_status INTEGER,status INTEGER,novel_process REAL,start_glyph_index INTEGER DEFAULT 0,glyph_count INTEGER DEFAULT 0,start_progress_index INTEGER DEFAULT 0,progress_total INTEGER DEFAULT 0,create_time TEXT,update_time TEXT)"),
            {QStringLiteral("id"),
             QStringLiteral("title"),
             QStringLiteral("novel_id"),
             QStringLiteral("chapter_index"),
             QStringLiteral("path"),
             QStringLiteral("word_count"),
             QStringLiteral("start_offset"),
             QStringLiteral("end_offset"),
             QStringLiteral("prev_chapter"),
             QStringLiteral("next_chapter"),
             QStringLiteral("load_status"),
             QStringLiteral("status"),
             QStringLiteral("novel_process"),
             QStringLiteral("start_glyph_index"),
             QStringLiteral("glyph_count"),
             QStringLiteral("start_progress_index"),
             QStringLiteral("progress_total"),
             QStringLiteral("create_time"),
             QStringLiteral("update_time")}};
}

SchemaObjectSpec readProcessInfoTable()
{
    return {QStringLiteral("read_process_info"),
            QStringLiteral("CREATE TABLE read_process_info (id TEXT PRIMARY KEY,novel_id TEXT,chapter_index INTEGER,chapter_id TEXT,last_position INTEGER,last_progress_index INTEGER DEFAULT -1,last_block_offset REAL DEFAULT -1.0,create_time TEXT,update_time TEXT)"),
            {QStringLiteral("id"),
             QStringLiteral("novel_id"),
             QStringLiteral("chapter_index"),
             QStringLiteral("chapter_id"),
             QStringLiteral("last_position"),
             QStringLiteral("last_progress_index"),
             QStringLiteral("last_block_offset"),
             QStringLiteral("create_time"),
             QStringLiteral("update_time")}};
}

SchemaObjectSpec timeLineLogTable()
{
    return {QStringLiteral("time_line_log"),
            QStringLiteral("CREATE TABLE time_line_log (id TEXT PRIMARY KEY,user_id INTEGER,action_type TEXT NOT NULL,action_time TEXT DEFAULT (datetime('now', 'localtime')),action_module TEXT,action_detail TEXT,ip_address TEXT,create_time TEXT,update_time TEXT)"),
            {QStringLiteral("id"),
             QStringLiteral("user_id"),
             QStringLiteral("action_type"),
             QStringLiteral("action_time"),
             QStringLiteral("action_module"),
             QStringLiteral("action_detail"),
             QStringLiteral("ip_address"),
             QStringLiteral("create_time"),
             QStringLiteral("update_time")}};
}

SchemaObjectSpec unifiedParagraphTable()
{
    return {QStringLiteral("unified_paragraph"),
            QStringLiteral("CREATE TABLE unified_paragraph (id TEXT PRIMARY KEY,novel_id TEXT NOT NULL,chapter_id TEXT NOT NULL,para_index INTEGER NOT NULL,kind INTEGER NOT NULL DEFAULT 0,first_glyph_index INTEGER DEFAULT 0,start_progress_index INTEGER DEFAULT 0,progress_weight INTEGER DEFAULT 0,heading_lv INTEGER DEFAULT 0,alignment INTEGER DEFAULT 0,text_indent REAL DEFAULT 0,margin_left REAL DEFAULT 0,margin_right REAL DEFAULT 0,space_bf REAL DEFAULT 0,space_af REAL DEFAULT 0,line_height REAL DEFAULT 0,bg_color TEXT DEFAULT '',document_bg_color TEXT DEFAULT '',list_style INTEGER DEFAULT 0,preformatted INTEGER DEFAULT 0,image_id TEXT DEFAULT '',image_width INTEGER DEFAULT 0,image_height INTEGER DEFAULT 0,horizontal_center INTEGER DEFAULT 0,vertical_center INTEGER DEFAULT 0,footnote_id TEXT DEFAULT '',table_id INTEGER DEFAULT -1,table_row INTEGER DEFAULT -1,table_column INTEGER DEFAULT -1,table_column_count INTEGER DEFAULT 0,table_header INTEGER DEFAULT 0,create_time TEXT,update_time TEXT)"),
            {QStringLiteral("id"),
             QStringLiteral("novel_id"),
             QStringLiteral("chapter_id"),
             QStringLiteral("para_index"),
             QStringLiteral("kind"),
             QStringLiteral("first_glyph_index"),
             QStringLiteral("start_progress_index"),
             QStringLiteral("progress_weight"),
             QStringLiteral("heading_lv"),
             QStringLiteral("alignment"),
             QStringLiteral("text_indent"),
             QStringLiteral("margin_left"),
             QStringLiteral("margin_right"),
             QStringLiteral("space_bf"),
             QStringLiteral("space_af"),
             QStringLiteral("line_height"),
             QStringLiteral("bg_color"),
             QStringLiteral("document_bg_color"),
             QStringLiteral("list_style"),
             QStringLiteral("preformatted"),
             QStringLiteral("image_id"),
             QStringLiteral("image_width"),
             QStringLiteral("image_height"),
             QStringLiteral("horizontal_center"),
             QStringLiteral("vertical_center"),
             QStringLiteral("footnote_id"),
             QStringLiteral("table_id"),
             QStringLiteral("table_row"),
             QStringLiteral("table_column"),
             QStringLiteral("table_column_count"),
             QStringLiteral("table_header"),
             QStringLiteral("create_time"),
             QStringLiteral("update_time")}};
}

SchemaObjectSpec unifiedChunkTable()
{
    return {QStringLiteral("unified_chunk"),
            QStringLiteral("CREATE TABLE unified_chunk (id TEXT PRIMARY KEY,para_id TEXT NOT NULL,chunk_index INTEGER NOT NULL,text TEXT NOT NULL,bold INTEGER DEFAULT 0,italic INTEGER DEFAULT 0,underline INTEGER DEFAULT 0,strikethrough INTEGER DEFAULT 0,font_delta INTEGER DEFAULT 0,font_scale REAL DEFAULT 1.0,font_family TEXT DEFAULT '',color TEXT DEFAULT '',highlight_color TEXT DEFAULT '',vert_align INTEGER DEFAULT 0,anchor_href TEXT DEFAULT '',font_weight INTEGER DEFAULT 0,create_time TEXT,update_time TEXT)"),
            {QStringLiteral("id"),
             QStringLiteral("para_id"),
             QStringLiteral("chunk_index"),
             QStringLiteral("text"),
             QStringLiteral("bold"),
             QStringLiteral("italic"),
             QStringLiteral("underline"),
             QStringLiteral("strikethrough"),
             QStringLiteral("font_delta"),
             QStringLiteral("font_scale"),
             QStringLiteral("font_family"),
             QStringLiteral("color"),
             QStringLiteral("highlight_color"),
             QStringLiteral("vert_align"),
             QStringLiteral("anchor_href"),
             QStringLiteral("font_weight"),
             QStringLiteral("create_time"),
             QStringLiteral("update_time")}};
}

SchemaObjectSpec readingRecordsTable()
{
    return {QStringLiteral("reading_records"),
            QStringLiteral("CREATE TABLE reading_records (id TEXT PRIMARY KEY,novel_id TEXT NOT NULL,start_year INTEGER NOT NULL,start_month INTEGER NOT NULL,start_day INTEGER NOT NULL,start_hour INTEGER NOT NULL,start_minute INTEGER NOT NULL,start_second INTEGER NOT NULL,duration_seconds INTEGER DEFAULT 0,create_time TEXT DEFAULT (datetime('now', 'localtime')),update_time TEXT)"),
            {QStringLiteral("id"),
             QStringLiteral("novel_id"),
             QStringLiteral("start_year"),
             QStringLiteral("start_month"),
             QStringLiteral("start_day"),
             QStringLiteral("start_hour"),
             QStringLiteral("start_minute"),
             QStringLiteral("start_second"),
             QStringLiteral("duration_seconds"),
             QStringLiteral("create_time"),
             QStringLiteral("update_time")}};
}

SchemaObjectSpec fontInfoTable()
{
    return {QStringLiteral("font_info"),
            QStringLiteral("CREATE TABLE font_info (id TEXT PRIMARY KEY,name TEXT NOT NULL,family TEXT NOT NULL,style TEXT DEFAULT '',path TEXT NOT NULL,file_size INTEGER DEFAULT 0,file_type TEXT DEFAULT '',create_time TEXT,update_time TEXT)"),
            {QStringLiteral("id"),
             QStringLiteral("name"),
             QStringLiteral("family"),
             QStringLiteral("style"),
             QStringLiteral("path"),
             QStringLiteral("file_size"),
             QStringLiteral("file_type"),
             QStringLiteral("create_time"),
             QStringLiteral("update_time")}};
}

SchemaObjectSpec indexSpec(const QString &name, const QString &table, const QStringList &columns)
{
    return {name,
            QStringLiteral("CREATE INDEX %1 ON %2(%3)").arg(name, table, columns.join(QStringLiteral(", "))),
            columns};
}

}

namespace Schema {

const QVector<SchemaObjectSpec> &createTableStatementsV1()
{
    static const QVector<SchemaObjectSpec> tables{
        novelInfoTable(), chapterInfoTable(), readProcessInfoTable(), timeLineLogTable(),
        unifiedParagraphTable(), unifiedChunkTable(), readingRecordsTable(),
    };
    return tables;
}

const QVector<SchemaObjectSpec> &createIndexStatementsV1()
{
    static const QVector<SchemaObjectSpec> indexes{
        indexSpec(QStringLiteral("idx_up_chapter"), QStringLiteral("unified_paragraph"),
                  {QStringLiteral("novel_id"), QStringLiteral("chapter_id"), QStringLiteral("para_index")}),
        indexSpec(QStringLiteral("idx_uc_para"), QStringLiteral("unified_chunk"),
                  {QStringLiteral("para_id"), QStringLiteral("chunk_index")}),
        indexSpec(QStringLiteral("idx_records_date"), QStringLiteral("reading_records"),
                  {QStringLiteral("start_year"), QStringLiteral("start_month"), QStringLiteral("start_day")}),
        indexSpec(QStringLiteral("idx_records_novel"), QStringLiteral("reading_records"),
                  {QStringLiteral("novel_id")}),
    };
    return indexes;
}

const SchemaObjectSpec &fontInfoSpec()
{
    static const SchemaObjectSpec spec = fontInfoTable();
    return spec;
}

const QVector<SchemaObjectSpec> &allTables()
{
    static const QVector<SchemaObjectSpec> tables = [] {
        QVector<SchemaObjectSpec> all = createTableStatementsV1();
        all.append(fontInfoSpec());
        return all;
    }();
    return tables;
}

const QVector<LegacyColumn> &legacyColumns()
{
    static const QVector<LegacyColumn> columns{
        {QStringLiteral("novel_info"), QStringLiteral("total_progress"), QStringLiteral("INTEGER DEFAULT 0")},
        {QStringLiteral("chapter_info"), QStringLiteral("glyph_count"), QStringLiteral("INTEGER DEFAULT 0")},
        {QStringLiteral("chapter_info"), QStringLiteral("start_progress_index"), QStringLiteral("INTEGER DEFAULT 0")},
        {QStringLiteral("chapter_info"), QStringLiteral("progress_total"), QStringLiteral("INTEGER DEFAULT 0")},
        {QStringLiteral("read_process_info"), QStringLiteral("last_progress_index"), QStringLiteral("INTEGER DEFAULT -1")},
        {QStringLiteral("read_process_info"), QStringLiteral("last_block_offset"), QStringLiteral("REAL DEFAULT -1.0")},
        {QStringLiteral("unified_chunk"), QStringLiteral("font_scale"), QStringLiteral("REAL DEFAULT 1.0")},
        {QStringLiteral("unified_paragraph"), QStringLiteral("first_glyph_index"), QStringLiteral("INTEGER DEFAULT 0")},
        {QStringLiteral("unified_paragraph"), QStringLiteral("start_progress_index"), QStringLiteral("INTEGER DEFAULT 0")},
        {QStringLiteral("unified_paragraph"), QStringLiteral("progress_weight"), QStringLiteral("INTEGER DEFAULT 0")},
        {QStringLiteral("unified_paragraph"), QStringLiteral("document_bg_color"), QStringLiteral("TEXT DEFAULT ''")},
        {QStringLiteral("unified_paragraph"), QStringLiteral("table_id"), QStringLiteral("INTEGER DEFAULT -1")},
        {QStringLiteral("unified_paragraph"), QStringLiteral("table_row"), QStringLiteral("INTEGER DEFAULT -1")},
        {QStringLiteral("unified_paragraph"), QStringLiteral("table_column"), QStringLiteral("INTEGER DEFAULT -1")},
        {QStringLiteral("unified_paragraph"), QStringLiteral("table_column_count"), QStringLiteral("INTEGER DEFAULT 0")},
        {QStringLiteral("unified_paragraph"), QStringLiteral("table_header"), QStringLiteral("INTEGER DEFAULT 0")},
    };
    return columns;
}

}
