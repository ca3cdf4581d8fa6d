#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

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
    // A time as ISO 8601 in local time with its offset from UTC, e.g. 2026-03-01T12:03:14+03:00
    // (and +00:00 rather than Z).
    static QString isoTime(qint64 msecsSinceEpoch);
};
