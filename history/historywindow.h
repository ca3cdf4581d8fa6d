#pragma once

#include "history/historydata.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

namespace Ui {
class HistoryWindow;
}
class HistoryRecorder;
class QwtPlot;
class QwtPlotTextLabel;
class QwtPlotZoomer;
class QPushButton;
class QWheelEvent;
class SegmentedCurve;

// "История — <device>": a meter's recorded readings on two plots over local
// time, voltage and frequency above, the current run's operating time and
// the number of starts below. The ranges "1 ч", "24 ч", "7 дн" and "Всё" end
// now and follow the readings as they come; the window opens on the shortest
// of the first three that holds every stored row ("1 ч" if none does). The
// wheel zooms the time axis around the pointer, the mouse zooms and pans it,
// and every change of the shown range asks the store again, thinned to the
// plot's width. A tooltip gives the values under the pointer.
class HistoryWindow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryWindow)

public:
    // A change of the shown range is asked for once the mouse has rested this long.
    static constexpr int kReloadDelayMs = 150;

    HistoryWindow(HistoryRecorder *recorder, const QString &topic, const QString &deviceName,
                  QWidget *parent = nullptr);
    ~HistoryWindow() override;

    const QString &topic() const { return m_topic; }

    // Writes the stored rows of the shown span into a CSV file, as the
    // summary's export does, once the store has answered; exported() tells
    // how it went, and a message box says why it failed.
    void exportCsv(const QString &fileName);

signals:
    // An answer of the store is drawn.
    void chartShown();
    void exported(const QString &fileName, bool written);

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    enum class Range
    {
        Hour,
        Day,
        Week,
        All
    };

    // Returns the plot's zoomer.
    QwtPlotZoomer *setUpPlot(QwtPlot *plot, const QString &leftTitle, const QString &rightTitle);
    void showRange(Range range);
    // The first question: how far back the meter's rows go.
    void openOnStored();
    // The shortest of the hour, day and week that holds every row the answer
    // to that question says the meter has; the hour if none does.
    static Range openingRange(const HistoryChart &chart);
    QPushButton *rangeButton(Range range) const;
    // One notch forward narrows the shown span, backward widens it, and the
    // time under the pointer stays where it is.
    void zoomAround(QwtPlot *plot, const QWheelEvent *wheel);
    // The time under the pointer and the values drawn nearest to it.
    QString valuesAt(QwtPlot *plot, const QPoint &position) const;
    // The user moved or zoomed the time axis: no range button stands for it any more.
    void uncheckRangeButtons();
    // The left axes as wide as each other, so that both canvases share one time axis.
    void alignLeftAxes();
    void request(qint64 from, qint64 to);
    void showChart(const HistoryChart &chart);
    // The same time span on both plots, without asking the store.
    void setTimeSpan(double fromMs, double toMs);
    void timeSpanChangedOn(QwtPlot *plot);
    void followReadings();
    void askExportFile();
    // Runs on the writer thread: it touches nothing but its arguments. Times
    // are written at one offset from UTC, named in their column's title.
    static QByteArray encodeCsv(const QVector<StoredRow> &rows, int offsetSeconds);
    void writeExport(quint64 id, const QByteArray &text);
    // Asks for the shown span again, moved on to now while following.
    void reload();
    // The note shown while nothing goes to the file: what the memory keeps.
    void describeMemory(const HistoryRetention &kept);

    Ui::HistoryWindow *ui;
    HistoryRecorder *const m_recorder; // borrowed: the recorder outlives its windows
    const QString m_topic;
    // Owned by their plots.
    SegmentedCurve *m_voltage = nullptr;
    SegmentedCurve *m_freq = nullptr;
    SegmentedCurve *m_current = nullptr;
    SegmentedCurve *m_starts = nullptr;
    QwtPlotZoomer *m_zoomers[2] = {};
    QwtPlotTextLabel *m_noData[2] = {}; // owned by their plots

    QTimer m_reloadDelay;
    QTimer m_followDelay;
    QElapsedTimer m_sinceRequest;
    quint64 m_request = 0;    // the answer waited for; older ones are dropped
    bool m_waiting = false;   // for m_request
    bool m_fitAnswer = false; // "Всё": the time axis takes the span of the answer
    bool m_follow = true;     // the range ends now and moves on with the readings
    bool m_catchUp = false;   // a range was chosen: the next batch is shown at once
    bool m_settingSpan = false;
    bool m_opening = false; // the first answer chooses the range
    // The export waiting for its rows, and where it goes.
    quint64 m_exportRequest = 0;
    QString m_exportFile;
    const QString m_deviceName;
    QString m_hourNote; // the form's text of labelNotRecorded
};
