#pragma once

#include "history/historydata.h"

#include <qwt_plot_curve.h>

// A curve drawn in stretches: QwtPlotCurve joins every point to the next and
// has no way to break a line (a NaN point is not skipped but drawn), so this
// one keeps where each stretch starts and lets the base class draw each
// stretch as a curve of its own. No line crosses a silence, and one item per
// field is enough however many silences the range holds. A stretch of a
// single reading is drawn as a dot.
class SegmentedCurve final : public QwtPlotCurve
{
public:
    explicit SegmentedCurve(const QString &title);

    // The series, its y values multiplied by `scale` (seconds shown in hours, say).
    void setSeries(const HistorySeries &series, double scale = 1.0);

    void drawSeries(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap, const QRectF &canvasRect,
                    int from, int to) const override;

private:
    QVector<int> m_stretchStarts;
};
