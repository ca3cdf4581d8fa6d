#include "overview/csvwriter.h"

#include <QAbstractItemModel>
#include <QDateTime>
#include <QSaveFile>

namespace {

constexpr char kSeparator = ';';

void appendField(QByteArray *out, const QString &field)
{
    const QByteArray text = field.toUtf8();
    const bool quoted = text.contains(kSeparator) || text.contains('"') || text.contains('\n') || text.contains('\r');
    if (!quoted) {
        out->append(text);
        return;
    }
    out->append('"');
    for (char c : text) {
        if (c == '"')
            out->append('"');
        out->append(c);
    }
    out->append('"');
}

void appendRow(QByteArray *out, const QStringList &fields)
{
    for (int i = 0; i < fields.size(); ++i) {
        if (i > 0)
            out->append(kSeparator);
        appendField(out, fields[i]);
    }
    out->append("\r\n");
}

} // namespace

QByteArray CsvWriter::encode(const QStringList &header, const QVector<QStringList> &rows)
{
    QByteArray out("\xEF\xBB\xBF");
    appendRow(&out, header);
    for (const QStringList &row : rows)
        appendRow(&out, row);
    return out;
}

bool CsvWriter::write(const QString &fileName, const QStringList &header, const QVector<QStringList> &rows,
                      QString *error)
{
    return write(fileName, encode(header, rows), error);
}

bool CsvWriter::write(const QString &fileName, const QByteArray &text, QString *error)
{
    QSaveFile file(fileName);
    // Unbuffered: through its buffer, a write the disk cut short (full, or over the size limit)
    // goes unnoticed and commit() puts the truncated file in place of the old one.
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    qint64 done = 0;
    while (written && done < text.size()) {
        // After a short write, the next one fails and says why.
        const qint64 chunk = file.write(text.constData() + done, text.size() - done);
        written = chunk > 0;
        done += qMax<qint64>(chunk, 0);
    }
    written = written && file.commit();
    if (!written && error)
        *error = file.errorString();
    return written;
}

QString CsvWriter::spreadsheetTime(qint64 msecsSinceEpoch, int offsetSeconds)
{
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::OffsetFromUTC, offsetSeconds)
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString CsvWriter::zoneTitle(const QString &title, int offsetSeconds)
{
    const int minutes = qAbs(offsetSeconds) / 60;
    const QLatin1Char zero('0');
    return QStringLiteral("%1 (UTC%2%3:%4)")
        .arg(title, QLatin1String(offsetSeconds < 0 ? "-" : "+"))
        .arg(minutes / 60, 2, 10, zero)
        .arg(minutes % 60, 2, 10, zero);
}

int CsvWriter::localOffset()
{
    return QDateTime::currentDateTime().offsetFromUtc();
}

bool CsvWriter::writeTable(const QString &fileName, const QAbstractItemModel &model, int role, int timeColumn,
                           QString *error)
{
    const int columns = model.columnCount();
    QStringList header;
    for (int column = 0; column < columns; ++column)
        header << model.headerData(column, Qt::Horizontal).toString();
    header[timeColumn] = zoneTitle(header.at(timeColumn), localOffset());
    QVector<QStringList> rows;
    rows.reserve(model.rowCount());
    for (int row = 0; row < model.rowCount(); ++row) {
        QStringList fields;
        for (int column = 0; column < columns; ++column)
            fields << model.index(row, column).data(role).toString();
        rows.append(fields);
    }
    return write(fileName, header, rows, error);
}
