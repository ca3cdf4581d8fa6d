#include "history/segmentedcurve.h"

#include <qwt_scale_map.h>

#include <QPainter>

#include <algorithm>

SegmentedCurve::SegmentedCurve(const QString &title) : QwtPlotCurve(title)
{
    setRenderHint(QwtPlotItem::RenderAntialiased);
}

void SegmentedCurve::setSeries(const HistorySeries &series, double scale)
{
    QVector<QPointF> points = series.points;
    if (scale != 1.0) {
        for (QPointF &point : points)
            point.setY(point.y() * scale);
    }
    m_stretchStarts = series.stretchStarts;
    if (m_stretchStarts.isEmpty() && !points.isEmpty())
        m_stretchStarts.append(0);
    setSamples(points);
}

void SegmentedCurve::drawSeries(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
                                const QRectF &canvasRect, int from, int to) const
{
    const int size = int(dataSize());
    if (to < 0)
        to = size - 1;
    for (int i = 0; i < m_stretchStarts.size(); ++i) {
        const int first = std::max(from, m_stretchStarts.at(i));
        const int last = std::min(to, i + 1 < m_stretchStarts.size() ? m_stretchStarts.at(i + 1) - 1 : size - 1);
        if (first > last)
            continue;
        if (first < last) {
            QwtPlotCurve::drawSeries(painter, xMap, yMap, canvasRect, first, last);
            continue;
        }
        const QPointF point = sample(first);
        const QPointF at(xMap.transform(point.x()), yMap.transform(point.y()));
        if (!canvasRect.contains(at))
            continue;
        painter->save();
        painter->setPen(Qt::NoPen);
        painter->setBrush(pen().color());
        const double radius = std::max(1.5, pen().widthF());
        painter->drawEllipse(at, radius, radius);
        painter->restore();
    }
}
