#pragma once

#include <QString>
#include <QVector>

#include <optional>

// The times in one column of a CSV export as a spreadsheet takes them, read
// by Python's own csv and datetime modules rather than by a second copy of
// the program's rules: ';' between fields, UTF-8 with a byte-order mark,
// each value parsed as "%Y-%m-%d %H:%M:%S" at the offset from UTC that the
// column's title names ("Время (UTC+03:00)"). Seconds since the epoch, in
// row order, -1 for an empty value; nothing, with Python's words in `error`,
// where the file does not read so or python3 cannot be run.
std::optional<QVector<qint64>> csvTimes(const QString &fileName, int column, QString *error);
