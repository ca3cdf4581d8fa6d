#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

class QAbstractItemModel;

// CSV files that spreadsheet programs set to Russian open on a double-click: a header row and
// rows of text, ';' between fields, UTF-8 with a byte-order mark, CRLF line ends, and a field
// in double quotes (its own doubled) when it holds ';', '"', CR or LF (RFC 4180).
class CsvWriter final
{
public:
    static QByteArray encode(const QStringList &header, const QVector<QStringList> &rows);
    // Writes the file atomically (QSaveFile): on failure whatever was there before stays as it
    // was, and error (if given) says why.
    static bool write(const QString &fileName, const QStringList &header, const QVector<QStringList> &rows,
                      QString *error = nullptr);
    // The same with the text encoded already.
    static bool write(const QString &fileName, const QByteArray &text, QString *error = nullptr);
    // A table as the user sees it (sorted and filtered by the model given): its horizontal
    // header, and each cell's text of `role`. The times of timeColumn are local ones, and its
    // title names their offset.
    static bool writeTable(const QString &fileName, const QAbstractItemModel &model, int role, int timeColumn,
                           QString *error = nullptr);
    // A time as spreadsheet programs read a date: 2026-12-07 21:50:19, at a fixed offset from UTC
    // that the column's title names (zoneTitle()). One offset for every row: none is ambiguous
    // when the clocks go back an hour, and all read alike.
    static QString spreadsheetTime(qint64 msecsSinceEpoch, int offsetSeconds);
    // A time column's title with its offset: "Время (UTC+03:00)".
    static QString zoneTitle(const QString &title, int offsetSeconds);
    // The local time's offset from UTC now, in seconds: what an export writes its times at.
    static int localOffset();
};
