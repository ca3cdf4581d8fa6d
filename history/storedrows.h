#pragma once

#include "history/historydata.h"

#include <QString>
#include <QVector>

class QSqlQuery;

// The column lists and row readers both stores share: their tables hold a
// reading's fields under the same names, whichever database they are in.

// The fields' columns, each name followed by `suffix`: "voltage,frequency".
QString historyColumns(const QVector<HistoryField> &fields, const QString &suffix = QString());
// The three columns of a folded minute for each field: least, greatest, last.
QString minuteColumns(const QVector<HistoryField> &fields);

// Appends the rows an executed query selects. Each row starts with its UTC
// second; then come the fields' columns, one per field for a second
// (historyColumns()), three for a minute (minuteColumns()).
void appendSeconds(QSqlQuery &query, const QVector<HistoryField> &fields, QVector<StoredRow> *rows);
void appendMinutes(QSqlQuery &query, const QVector<HistoryField> &fields, QVector<StoredRow> *rows);

// The events an executed query selects, as "t_ms,kind,topic,meter,value,lim".
QVector<HistoryEvent> readEvents(QSqlQuery &query);
