#include "common/csvtimes.h"

#include <QProcess>
#include <QStringList>

namespace {

// Prints the column's times as seconds since the epoch, one a line; "-" for none.
const char kScript[] = R"(
import csv, datetime, re, sys
path, column = sys.argv[1], int(sys.argv[2])
with open(path, encoding='utf-8-sig', newline='') as f:
    rows = list(csv.reader(f, delimiter=';'))
zone = re.fullmatch(r'.* \(UTC([+-])(\d\d):(\d\d)\)', rows[0][column])
if not zone:
    sys.exit('no offset in the title: ' + rows[0][column])
sign = 1 if zone.group(1) == '+' else -1
offset = datetime.timezone(sign * datetime.timedelta(hours=int(zone.group(2)), minutes=int(zone.group(3))))
for row in rows[1:]:
    if not row[column]:
        print('-')
        continue
    moment = datetime.datetime.strptime(row[column], '%Y-%m-%d %H:%M:%S').replace(tzinfo=offset)
    print(int(moment.timestamp()))
)";

} // namespace

std::optional<QVector<qint64>> csvTimes(const QString &fileName, int column, QString *error)
{
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"), QString::fromUtf8(kScript), fileName, QString::number(column)});
    if (!python.waitForFinished(30000) || python.exitStatus() != QProcess::NormalExit || python.exitCode() != 0) {
        *error = python.errorString() + QLatin1Char(' ') + QString::fromUtf8(python.readAllStandardError());
        return std::nullopt;
    }
    QVector<qint64> seconds;
    for (const QByteArray &line : python.readAllStandardOutput().split('\n')) {
        const QByteArray value = line.trimmed();
        if (!value.isEmpty())
            seconds.append(value == "-" ? -1 : value.toLongLong());
    }
    return seconds;
}
