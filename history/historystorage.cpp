#include "history/historystorage.h"

#include "history/chartthinning.h"

#include <algorithm>

HistoryChart HistoryStorage::chart(const HistoryChartRequest &request)
{
    HistoryChart chart;
    chart.topic = request.topic;
    chart.from = request.from;
    chart.to = request.to;
    const QVector<StoredRow> stored = rows(request.topic, request.from, request.to, request.fields);
    // "Everything" asks from the epoch on; the columns are spread over what there is.
    if (!stored.isEmpty())
        chart.from = std::max(request.from, stored.constFirst().second);
    chart.storedRows = stored.size();
    chart.oldest = oldestSecond(request.topic);
    for (HistoryField field : request.fields)
        chart.series.append(thinForChart(stored, field, chart.from, chart.to, request.columns));
    return chart;
}
