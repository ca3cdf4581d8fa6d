#include "history/storedrows.h"

#include "history/historystore.h"

#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

QString historyColumns(const QVector<HistoryField> &fields, const QString &suffix)
{
    QStringList columns;
    for (HistoryField field : fields)
        columns.append(historyFieldKey(field) + suffix);
    return columns.join(QLatin1Char(','));
}

QString minuteColumns(const QVector<HistoryField> &fields)
{
    QStringList columns;
    for (HistoryField field : fields) {
        const QString key = historyFieldKey(field);
        columns << key + QLatin1String("_min") << key + QLatin1String("_max") << key + QLatin1String("_last");
    }
    return columns.join(QLatin1Char(','));
}

void appendSeconds(QSqlQuery &query, const QVector<HistoryField> &fields, QVector<StoredRow> *rows)
{
    while (query.next()) {
        StoredRow row;
        row.second = query.value(0).toLongLong();
        for (int i = 0; i < fields.size(); ++i)
            setHistoryFieldValue(&row.last, fields.at(i), query.value(1 + i).toInt());
        row.least = row.greatest = row.last;
        rows->append(row);
    }
}

void appendMinutes(QSqlQuery &query, const QVector<HistoryField> &fields, QVector<StoredRow> *rows)
{
    while (query.next()) {
        StoredRow row;
        row.second = query.value(0).toLongLong();
        row.span = int(HistoryStore::kMinuteSeconds);
        for (int i = 0; i < fields.size(); ++i) {
            setHistoryFieldValue(&row.least, fields.at(i), query.value(1 + 3 * i).toInt());
            setHistoryFieldValue(&row.greatest, fields.at(i), query.value(2 + 3 * i).toInt());
            setHistoryFieldValue(&row.last, fields.at(i), query.value(3 + 3 * i).toInt());
        }
        rows->append(row);
    }
}

QVector<HistoryEvent> readEvents(QSqlQuery &query)
{
    QVector<HistoryEvent> events;
    while (query.next()) {
        events.append({query.value(0).toLongLong(), query.value(1).toInt(), query.value(2).toString(),
                       query.value(3).toString(), query.value(4).toInt(), query.value(5).toInt()});
    }
    return events;
}
