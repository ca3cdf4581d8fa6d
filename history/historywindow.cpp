#include "history/historywindow.h"
#include "ui_historywindow.h"

#include "config/deviceentry.h"
#include "history/historyrecorder.h"
#include "history/historystore.h"
#include "history/memoryhistorystore.h"
#include "history/segmentedcurve.h"
#include "history/valuescaledraw.h"
#include "history/valuescaleengine.h"
#include "measurement/payload.h"
#include "overview/csvwriter.h"

#include <qwt_date.h>
#include <qwt_date_scale_draw.h>
#include <qwt_date_scale_engine.h>
#include <qwt_legend.h>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_panner.h>
#include <qwt_plot_textlabel.h>
#include <qwt_plot_zoomer.h>
#include <qwt_scale_widget.h>

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QHelpEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QShortcut>
#include <QToolTip>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

constexpr qint64 kHour = 60 * 60;
constexpr qint64 kDay = 24 * kHour;

// A range whose end is within this of now counts as ending now.
constexpr double kFollowToleranceMs = 5000;
// While following, the store is asked again as readings come, but no more
// than once a second for each hour shown: an answer costs the writer in
// proportion to the rows in the span, so following costs it about the same
// for any span. Longer spans are stored by the minute beyond a day, and
// still move on every ten seconds.
constexpr qint64 kMinFollowIntervalMs = 1000;
constexpr qint64 kMaxFollowIntervalMs = 10 * 1000;

// What one notch of the wheel makes of the shown span, forward; backward, the inverse.
constexpr double kWheelZoom = 0.8;
// The wheel zooms in no closer than this, and out no further.
constexpr double kShortestSpanMs = 10 * 1000;
constexpr double kLongestSpanMs = 20 * 365 * 24 * 3600 * 1000.0;
// A tooltip names the value of a curve drawn within this many pixels of the pointer.
constexpr int kTooltipReach = 12;

double toMs(qint64 second)
{
    return double(second) * 1000.0;
}

qint64 toSecond(double ms)
{
    return qint64(ms / 1000.0);
}

QwtDateScaleDraw *localTimeScale()
{
    auto *draw = new QwtDateScaleDraw(Qt::LocalTime);
    draw->setDateFormat(QwtDate::Millisecond, QStringLiteral("hh:mm:ss.zzz"));
    draw->setDateFormat(QwtDate::Second, QStringLiteral("hh:mm:ss"));
    draw->setDateFormat(QwtDate::Minute, QStringLiteral("hh:mm\ndd.MM"));
    draw->setDateFormat(QwtDate::Hour, QStringLiteral("hh:mm\ndd.MM"));
    draw->setDateFormat(QwtDate::Day, QStringLiteral("dd.MM"));
    draw->setDateFormat(QwtDate::Week, QStringLiteral("dd.MM"));
    draw->setDateFormat(QwtDate::Month, QStringLiteral("MM.yyyy"));
    draw->setDateFormat(QwtDate::Year, QStringLiteral("yyyy"));
    return draw;
}

SegmentedCurve *addCurve(QwtPlot *plot, const QString &title, const QColor &color, QwtPlot::Axis yAxis)
{
    auto *curve = new SegmentedCurve(title);
    curve->setPen(color, 1.5);
    curve->setYAxis(yAxis);
    curve->attach(plot);
    return curve;
}

} // namespace

HistoryWindow::HistoryWindow(HistoryRecorder *recorder, const QString &topic, const QString &deviceName,
                             QWidget *parent)
    : QWidget(parent, Qt::Window), ui(new Ui::HistoryWindow), m_recorder(recorder), m_topic(topic),
      m_deviceName(deviceName)
{
    ui->setupUi(this);
    setWindowTitle(tr("История — %1").arg(shownDeviceName(deviceName)));

    m_zoomers[0] = setUpPlot(ui->plotSupply, tr("Напряжение, В"), tr("Частота, Гц"));
    m_zoomers[1] = setUpPlot(ui->plotOperation, tr("Текущая наработка, ч"), tr("Количество пусков"));
    m_voltage = addCurve(ui->plotSupply, tr("Напряжение, В"), QColor(0x1f, 0x77, 0xb4), QwtPlot::yLeft);
    m_freq = addCurve(ui->plotSupply, tr("Частота, Гц"), QColor(0xd6, 0x27, 0x28), QwtPlot::yRight);
    m_current = addCurve(ui->plotOperation, tr("Текущая наработка, ч"), QColor(0x2c, 0xa0, 0x2c), QwtPlot::yLeft);
    m_starts = addCurve(ui->plotOperation, tr("Количество пусков"), QColor(0xff, 0x7f, 0x0e), QwtPlot::yRight);
    ui->plotOperation->setAxisScaleEngine(QwtPlot::yRight, new ValueScaleEngine(ValueScaleEngine::Values::Counts));

    m_reloadDelay.setSingleShot(true);
    m_reloadDelay.setInterval(kReloadDelayMs);
    connect(&m_reloadDelay, &QTimer::timeout, this, &HistoryWindow::reload);

    const std::pair<QPushButton *, Range> buttons[] = {{ui->pushButtonRangeHour, Range::Hour},
                                                       {ui->pushButtonRangeDay, Range::Day},
                                                       {ui->pushButtonRangeWeek, Range::Week},
                                                       {ui->pushButtonRangeAll, Range::All}};
    for (const auto &button : buttons) {
        const Range range = button.second;
        connect(button.first, &QPushButton::clicked, this, [this, range] { showRange(range); });
    }
    m_followDelay.setSingleShot(true);
    connect(&m_followDelay, &QTimer::timeout, this, &HistoryWindow::followReadings);
    connect(m_recorder, &HistoryRecorder::chartReady, this, &HistoryWindow::showChart);
    connect(m_recorder, &HistoryRecorder::written, this, &HistoryWindow::followReadings);
    connect(m_recorder, &HistoryRecorder::encodedRowsReady, this, &HistoryWindow::writeExport);
    connect(ui->pushButtonExportCsv, &QPushButton::clicked, this, &HistoryWindow::askExportFile);
    connect(new QShortcut(QKeySequence::Cancel, this), &QShortcut::activated, this, &QWidget::close);

    ui->labelNotRecorded->setVisible(!m_recorder->recordsToDisk());
    describeMemory(m_recorder->memoryRetention());
    connect(m_recorder, &HistoryRecorder::memoryRetentionChanged, this, &HistoryWindow::describeMemory);
    connect(m_recorder, &HistoryRecorder::stopped, ui->labelNotRecorded, &QWidget::show);
    connect(m_recorder, &HistoryRecorder::resumed, ui->labelNotRecorded, &QWidget::hide);
}

HistoryWindow::~HistoryWindow()
{
    delete ui;
}

QwtPlotZoomer *HistoryWindow::setUpPlot(QwtPlot *plot, const QString &leftTitle, const QString &rightTitle)
{
    plot->setCanvasBackground(Qt::white);
    plot->setAxisScaleDraw(QwtPlot::xBottom, localTimeScale());
    plot->setAxisScaleEngine(QwtPlot::xBottom, new QwtDateScaleEngine(Qt::LocalTime));
    // Every quantity drawn is never below zero, written the Russian way; a
    // title stays on one line, however short the plot (a wrapped one grew
    // the axis and pushed the canvases out of line).
    const std::pair<QwtPlot::Axis, QString> valueAxes[] = {{QwtPlot::yLeft, leftTitle}, {QwtPlot::yRight, rightTitle}};
    for (const auto &axis : valueAxes) {
        QwtText title(axis.second);
        title.setRenderFlags(Qt::AlignCenter | Qt::TextSingleLine);
        plot->setAxisTitle(axis.first, title);
        plot->setAxisScaleDraw(axis.first, new ValueScaleDraw());
        plot->setAxisScaleEngine(axis.first, new ValueScaleEngine(ValueScaleEngine::Values::Quantities));
    }
    plot->enableAxis(QwtPlot::yRight);
    plot->insertLegend(new QwtLegend(), QwtPlot::BottomLegend);

    auto *grid = new QwtPlotGrid();
    grid->setMajorPen(QColor(0xdd, 0xdd, 0xdd), 0, Qt::DotLine);
    grid->attach(plot);

    // Only the time axis zooms and pans: each plot has two value axes in
    // different units, and they fit whatever the shown span holds.
    auto *zoomer = new QwtPlotZoomer(QwtPlot::xBottom, QwtPlot::yLeft, plot->canvas());
    zoomer->setTrackerMode(QwtPicker::AlwaysOff);
    connect(zoomer, &QwtPlotZoomer::zoomed, this, [this, plot] {
        plot->setAxisAutoScale(QwtPlot::yLeft);
        plot->setAxisAutoScale(QwtPlot::yRight);
        alignLeftAxes();
        plot->replot();
    });
    auto *panner = new QwtPlotPanner(plot->canvas());
    panner->setOrientations(Qt::Horizontal);
    panner->setMouseButton(Qt::LeftButton, Qt::ControlModifier);
    // The wheel (zoom around the pointer) and the tooltip (the values under it).
    plot->canvas()->installEventFilter(this);

    connect(plot->axisWidget(QwtPlot::xBottom), &QwtScaleWidget::scaleDivChanged, this,
            [this, plot] { timeSpanChangedOn(plot); });

    // The canvas does nothing with the keyboard: no Tab stop for it.
    plot->canvas()->setFocusPolicy(Qt::NoFocus);

    // Blank plots with made-up axes would look broken rather than empty.
    auto *noData = new QwtPlotTextLabel();
    QwtText text(tr("Нет данных за выбранный период"));
    text.setColor(QColor(0x80, 0x80, 0x80));
    noData->setText(text);
    noData->setVisible(false);
    noData->attach(plot);
    m_noData[plot == ui->plotSupply ? 0 : 1] = noData;
    return zoomer;
}

void HistoryWindow::showRange(Range range)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    qint64 from = 0;
    switch (range) {
    case Range::Hour:
        from = now - kHour;
        break;
    case Range::Day:
        from = now - kDay;
        break;
    case Range::Week:
        from = now - 7 * kDay;
        break;
    case Range::All:
        from = now - kHour; // until the answer tells how far back the readings go
        break;
    }
    rangeButton(range)->setChecked(true);
    m_opening = false;
    m_follow = true;
    m_catchUp = true;
    m_fitAnswer = range == Range::All;
    for (QwtPlot *plot : {ui->plotSupply, ui->plotOperation}) {
        plot->setAxisAutoScale(QwtPlot::yLeft);
        plot->setAxisAutoScale(QwtPlot::yRight);
    }
    setTimeSpan(toMs(from), toMs(now));
    request(range == Range::All ? 0 : from, now);
}

void HistoryWindow::openOnStored()
{
    // The last hour's chart answers it (every chart carries the meter's
    // oldest second), and is what the window shows unless a day or a week
    // holds more of the rows.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    m_opening = true;
    setTimeSpan(toMs(now - kHour), toMs(now));
    request(now - kHour, now);
}

HistoryWindow::Range HistoryWindow::openingRange(const HistoryChart &chart)
{
    const qint64 age = chart.oldest ? chart.to - *chart.oldest : 0;
    if (age > 7 * kDay || age <= kHour)
        return Range::Hour;
    return age > kDay ? Range::Week : Range::Day;
}

QPushButton *HistoryWindow::rangeButton(Range range) const
{
    switch (range) {
    case Range::Hour:
        break;
    case Range::Day:
        return ui->pushButtonRangeDay;
    case Range::Week:
        return ui->pushButtonRangeWeek;
    case Range::All:
        return ui->pushButtonRangeAll;
    }
    return ui->pushButtonRangeHour;
}

void HistoryWindow::uncheckRangeButtons()
{
    // Auto-exclusive buttons keep one of them checked unless let go of for a moment.
    for (QPushButton *button :
         {ui->pushButtonRangeHour, ui->pushButtonRangeDay, ui->pushButtonRangeWeek, ui->pushButtonRangeAll}) {
        button->setAutoExclusive(false);
        button->setChecked(false);
        button->setAutoExclusive(true);
    }
}

void HistoryWindow::alignLeftAxes()
{
    // The canvases share one time axis only if they start at the same x, that
    // is, if both left axes are as wide: the narrower one's labels are given
    // the room the wider one takes beyond them.
    QwtPlot *const plots[] = {ui->plotSupply, ui->plotOperation};
    int needed[2] = {};
    for (int i = 0; i < 2; ++i) {
        QwtScaleWidget *axis = plots[i]->axisWidget(QwtPlot::yLeft);
        axis->scaleDraw()->setMinimumExtent(0.0);
        plots[i]->updateAxes();
        // Titles do not wrap, so the axis' length does not matter.
        needed[i] = axis->dimForLength(QWIDGETSIZE_MAX, axis->font());
    }
    const int width = std::max(needed[0], needed[1]);
    for (int i = 0; i < 2; ++i) {
        QwtScaleWidget *axis = plots[i]->axisWidget(QwtPlot::yLeft);
        if (needed[i] < width)
            axis->scaleDraw()->setMinimumExtent(axis->scaleDraw()->extent(axis->font()) + width - needed[i]);
        plots[i]->updateLayout();
    }
}

void HistoryWindow::request(qint64 from, qint64 to)
{
    HistoryChartRequest chart;
    chart.topic = m_topic;
    chart.from = from;
    chart.to = to;
    chart.columns = std::max(100, ui->plotSupply->canvas()->width());
    chart.fields = {HistoryField::Voltage, HistoryField::Freq, HistoryField::TCurrent, HistoryField::NumStarts};
    m_request = m_recorder->requestChart(chart);
    m_waiting = true;
    m_sinceRequest.start();
}

void HistoryWindow::showChart(const HistoryChart &chart)
{
    if (chart.id != m_request || chart.series.size() != 4)
        return;
    m_waiting = false;
    if (m_opening) {
        m_opening = false;
        const Range range = openingRange(chart);
        if (range != Range::Hour) {
            showRange(range);
            return;
        }
        ui->pushButtonRangeHour->setChecked(true);
        m_catchUp = true;
    }
    m_voltage->setSeries(chart.series.at(0));
    m_freq->setSeries(chart.series.at(1));
    m_current->setSeries(chart.series.at(2), 1.0 / 3600.0);
    m_starts->setSeries(chart.series.at(3));
    m_noData[0]->setVisible(m_voltage->dataSize() == 0 && m_freq->dataSize() == 0);
    m_noData[1]->setVisible(m_current->dataSize() == 0 && m_starts->dataSize() == 0);
    if (m_fitAnswer) {
        m_fitAnswer = false;
        if (chart.storedRows > 0)
            setTimeSpan(toMs(chart.from), toMs(chart.to));
    }
    alignLeftAxes();
    ui->plotSupply->replot();
    ui->plotOperation->replot();
    emit chartShown();
}

void HistoryWindow::setTimeSpan(double fromMs, double toMs)
{
    const QScopedValueRollback<bool> guard(m_settingSpan, true);
    for (QwtPlot *plot : {ui->plotSupply, ui->plotOperation}) {
        plot->setAxisScale(QwtPlot::xBottom, fromMs, toMs);
        plot->replot();
    }
    // Right click goes back to the range chosen, not to a span long gone.
    for (QwtPlotZoomer *zoomer : m_zoomers) {
        if (zoomer->zoomRectIndex() == 0)
            zoomer->setZoomBase(false);
    }
}

void HistoryWindow::timeSpanChangedOn(QwtPlot *plot)
{
    if (m_settingSpan)
        return;
    const QwtInterval span = plot->axisInterval(QwtPlot::xBottom);
    {
        const QScopedValueRollback<bool> guard(m_settingSpan, true);
        QwtPlot *other = plot == ui->plotSupply ? ui->plotOperation : ui->plotSupply;
        other->setAxisScale(QwtPlot::xBottom, span.minValue(), span.maxValue());
        other->replot();
    }
    m_fitAnswer = false;
    uncheckRangeButtons();
    m_follow = span.maxValue() >= toMs(QDateTime::currentSecsSinceEpoch()) - kFollowToleranceMs;
    m_reloadDelay.start();
}

void HistoryWindow::followReadings()
{
    if (!m_follow || m_reloadDelay.isActive())
        return;
    // The readings that waited for their batch when the range was chosen are in this one.
    if (m_catchUp && !m_waiting) {
        m_catchUp = false;
        reload();
        return;
    }
    const QwtInterval span = ui->plotSupply->axisInterval(QwtPlot::xBottom);
    const qint64 interval = std::clamp(qint64(span.width()) / kHour, kMinFollowIntervalMs, kMaxFollowIntervalMs);
    // Too soon, or the last answer still to come: once the interval is over.
    const qint64 elapsed = m_sinceRequest.isValid() ? m_sinceRequest.elapsed() : interval;
    if (m_waiting || elapsed < interval) {
        if (!m_followDelay.isActive())
            m_followDelay.start(int(m_waiting ? interval : interval - elapsed));
        return;
    }
    reload();
}

void HistoryWindow::reload()
{
    // Resized before the first answer came: the first question again, for the new width.
    if (m_opening) {
        openOnStored();
        return;
    }
    const QwtInterval span = ui->plotSupply->axisInterval(QwtPlot::xBottom);
    if (!m_follow) {
        request(toSecond(span.minValue()), toSecond(span.maxValue()));
        return;
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 from = now - toSecond(span.width());
    setTimeSpan(toMs(from), toMs(now));
    request(from, now);
}

void HistoryWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Only now do the plots have their width, which the rows are thinned to.
    if (m_request == 0)
        openOnStored();
}

void HistoryWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // The axis titles wrap to the plots' new height.
    alignLeftAxes();
    // More or fewer pixel columns: the rows are thinned again to the new width.
    if (m_request != 0)
        m_reloadDelay.start();
}

bool HistoryWindow::eventFilter(QObject *watched, QEvent *event)
{
    QwtPlot *plot = nullptr;
    for (QwtPlot *candidate : {ui->plotSupply, ui->plotOperation}) {
        if (watched == candidate->canvas())
            plot = candidate;
    }
    if (plot && event->type() == QEvent::Wheel) {
        zoomAround(plot, static_cast<QWheelEvent *>(event));
        return true;
    }
    if (plot && event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        QToolTip::showText(help->globalPos(), valuesAt(plot, help->pos()), plot->canvas());
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void HistoryWindow::zoomAround(QwtPlot *plot, const QWheelEvent *wheel)
{
    // In eighths of a degree: one notch of most wheels is 120, a touchpad
    // gives less at a time.
    const double notches = wheel->angleDelta().y() / 120.0;
    if (notches == 0.0)
        return;
    const QwtInterval span = plot->axisInterval(QwtPlot::xBottom);
    const double at = plot->canvasMap(QwtPlot::xBottom).invTransform(wheel->position().x());
    const double width = std::clamp(span.width() * std::pow(kWheelZoom, notches), kShortestSpanMs, kLongestSpanMs);
    // The pointer keeps its place: the part of the span left of it stays the same share.
    const double left = span.width() > 0 ? (at - span.minValue()) / span.width() : 0.5;
    plot->setAxisScale(QwtPlot::xBottom, at - left * width, at + (1.0 - left) * width);
    plot->replot();
}

QString HistoryWindow::valuesAt(QwtPlot *plot, const QPoint &position) const
{
    const QwtScaleMap time = plot->canvasMap(QwtPlot::xBottom);
    const qint64 at = qint64(time.invTransform(position.x()));
    QStringList lines = {QDateTime::fromMSecsSinceEpoch(at).toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"))};
    // The curve, what a value reads as, and the words for it.
    using Words = std::function<QString(double)>;
    const auto number = [](const QString &unit) {
        return [unit](double value) -> QString { return ValueScaleDraw::text(value, 0) + QLatin1Char(' ') + unit; };
    };
    const std::pair<const SegmentedCurve *, Words> curves[] = {
        {m_voltage, number(tr("В"))},
        {m_freq, number(tr("Гц"))},
        // Drawn in hours, written as the panel writes it.
        {m_current, [](double hours) -> QString { return FormatDuration(int(std::lround(hours * 3600.0))); }},
        {m_starts, [](double count) -> QString { return ValueScaleDraw::text(count, 0); }},
    };
    for (const auto &entry : curves) {
        const SegmentedCurve *curve = entry.first;
        if (curve->plot() != plot || curve->dataSize() == 0)
            continue;
        // The points lie in time order: the nearest is next to where the pointer's time would go.
        std::size_t after = 0;
        std::size_t count = curve->dataSize();
        while (count > 0) {
            const std::size_t half = count / 2;
            if (curve->sample(int(after + half)).x() < double(at)) {
                after += half + 1;
                count -= half + 1;
            } else {
                count = half;
            }
        }
        int nearest = -1;
        double distance = kTooltipReach + 1;
        for (const std::size_t index : {after - 1, after}) {
            if (index >= curve->dataSize())
                continue;
            const double away = std::abs(time.transform(curve->sample(int(index)).x()) - position.x());
            if (away < distance) {
                distance = away;
                nearest = int(index);
            }
        }
        if (nearest >= 0) {
            lines.append(QStringLiteral("%1: %2").arg(curve->title().text().section(QLatin1Char(','), 0, 0),
                                                      entry.second(curve->sample(nearest).y())));
        }
    }
    return lines.join(QLatin1Char('\n'));
}

void HistoryWindow::askExportFile()
{
    // A slash in the device's name would make the suggested name a path. Dated,
    // so that a second export does not offer to overwrite the first.
    const QString name = shownDeviceName(m_deviceName).replace(QLatin1Char('/'), QLatin1Char('_'));
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH-mm-ss"));
    const QString fileName = QFileDialog::getSaveFileName(
        this, tr("Экспорт в CSV"), QDir::current().filePath(tr("История — %1 %2.csv").arg(name, stamp)),
        tr("Файлы CSV (*.csv)"));
    if (!fileName.isEmpty())
        exportCsv(fileName);
}

void HistoryWindow::exportCsv(const QString &fileName)
{
    const QwtInterval span = ui->plotSupply->axisInterval(QwtPlot::xBottom);
    m_exportFile = fileName;
    const int offset = CsvWriter::localOffset();
    m_exportRequest =
        m_recorder->requestEncodedRows(m_topic, toSecond(span.minValue()), toSecond(span.maxValue()),
                                       [offset](const QVector<StoredRow> &rows) { return encodeCsv(rows, offset); });
}

QByteArray HistoryWindow::encodeCsv(const QVector<StoredRow> &rows, int offsetSeconds)
{
    // The panel's words and the summary's columns, and a row's span and
    // extremes: older rows stand for a whole minute.
    const QStringList header = {CsvWriter::zoneTitle(tr("Время"), offsetSeconds),
                                tr("Интервал, с"),
                                tr("Тип устройства"),
                                tr("Режим работы"),
                                tr("Количество пусков"),
                                tr("Наработка посл. пуска"),
                                tr("Текущая наработка"),
                                tr("Общая наработка"),
                                tr("Напряжение"),
                                tr("Напряжение, мин."),
                                tr("Напряжение, макс."),
                                tr("Частота"),
                                tr("Частота, мин."),
                                tr("Частота, макс.")};
    QVector<QStringList> lines;
    lines.reserve(rows.size());
    for (const StoredRow &row : rows) {
        const Reading &last = row.last;
        lines.append({CsvWriter::spreadsheetTime(row.second * 1000, offsetSeconds), QString::number(row.span),
                      ModelName(last.devType), ModeName(last.devMode), QString::number(last.numStarts),
                      FormatDuration(last.tLast), FormatDuration(last.tCurrent), FormatDuration(last.tCommon),
                      QString::number(last.voltage), QString::number(row.least.voltage),
                      QString::number(row.greatest.voltage), QString::number(last.freq),
                      QString::number(row.least.freq), QString::number(row.greatest.freq)});
    }
    return CsvWriter::encode(header, lines);
}

void HistoryWindow::writeExport(quint64 id, const QByteArray &text)
{
    if (id != m_exportRequest)
        return;
    m_exportRequest = 0;
    QString error;
    const bool written = CsvWriter::write(m_exportFile, text, &error);
    if (!written) {
        QMessageBox::warning(this, tr("Экспорт в CSV"),
                             tr("Не удалось записать файл %1:\n%2").arg(QDir::toNativeSeparators(m_exportFile), error));
    }
    emit exported(m_exportFile, written);
}

void HistoryWindow::describeMemory(const HistoryRetention &kept)
{
    // The form's own words stand for the whole hour, second by second.
    if (m_hourNote.isEmpty())
        m_hourNote = ui->labelNotRecorded->text();
    if (kept == MemoryHistoryStore::retention()) {
        ui->labelNotRecorded->setText(m_hourNote);
        return;
    }
    const qint64 minutes = kept.keep / 60;
    const qint64 seconds = kept.keep % 60;
    const QString span = minutes == 0   ? tr("%1 с").arg(seconds)
                         : seconds == 0 ? tr("%1 мин").arg(minutes)
                                        : tr("%1 мин %2 с").arg(minutes).arg(seconds);
    ui->labelNotRecorded->setText(
        tr("История не записывается: в памяти хранятся только последние %1 (Настройки → Дополнительно…)").arg(span));
}
