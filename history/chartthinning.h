#pragma once

#include "history/historydata.h"

// What a chart draws of a range of stored rows: at most two points per pixel
// column (its least and its greatest value), and a new stretch wherever the
// meter was silent for longer than kHistorySilenceSeconds. However many rows
// the range holds, a curve gets a few thousand points, and the silences stay
// visible. `rows` are in time order; the columns divide [from, to] evenly.
HistorySeries thinForChart(const QVector<StoredRow> &rows, HistoryField field, qint64 from, qint64 to, int columns);
