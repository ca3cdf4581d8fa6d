#include "history/chartthinning.h"

#include <algorithm>
#include <cmath>

namespace {

// The least and greatest value of one field within one pixel column, and when.
struct ColumnExtremes
{
    qint64 leastAt = 0;
    int least = 0;
    qint64 greatestAt = 0;
    int greatest = 0;

    void emitInto(QVector<QPointF> *points) const
    {
        const auto point = [](qint64 second, int value) { return QPointF(double(second) * 1000.0, double(value)); };
        if (leastAt == greatestAt) {
            points->append(point(leastAt, least));
            if (greatest != least)
                points->append(point(greatestAt, greatest));
        } else if (leastAt < greatestAt) {
            points->append(point(leastAt, least));
            points->append(point(greatestAt, greatest));
        } else {
            points->append(point(greatestAt, greatest));
            points->append(point(leastAt, least));
        }
    }
};

} // namespace

HistorySeries thinForChart(const QVector<StoredRow> &rows, HistoryField field, qint64 from, qint64 to, int columns)
{
    HistorySeries series;
    if (rows.isEmpty())
        return series;
    const double width = std::max(1e-3, double(to - from + 1) / double(std::max(1, columns)));
    series.points.reserve(std::min(rows.size(), 2 * columns + 16));

    ColumnExtremes extremes;
    qint64 column = 0;
    const StoredRow *previous = nullptr;
    for (const StoredRow &row : rows) {
        const int least = historyFieldValue(row.least, field);
        const int greatest = historyFieldValue(row.greatest, field);
        const qint64 rowColumn = qint64(std::floor(double(row.second - from) / width));
        const bool silence = previous && row.second - (previous->second + previous->span - 1) > kHistorySilenceSeconds;
        if (!previous || silence || rowColumn != column) {
            if (previous)
                extremes.emitInto(&series.points);
            if (!previous || silence)
                series.stretchStarts.append(series.points.size());
            column = rowColumn;
            extremes = {row.second, least, row.second, greatest};
        } else {
            if (least < extremes.least) {
                extremes.least = least;
                extremes.leastAt = row.second;
            }
            if (greatest > extremes.greatest) {
                extremes.greatest = greatest;
                extremes.greatestAt = row.second;
            }
        }
        previous = &row;
    }
    extremes.emitInto(&series.points);
    return series;
}
