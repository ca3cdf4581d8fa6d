#include "common/csvtimes.h"
#include "common/widgets.h"
#include "history/historyrecorder.h"
#include "history/historywindow.h"
#include "overview/csvwriter.h"

#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_textlabel.h>
#include <qwt_scale_draw.h>
#include <qwt_scale_widget.h>

#include <QDateTime>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QToolTip>
#include <QWheelEvent>
#include <QtTest>

#include <ctime>
#include <memory>

namespace {

const QString kTopic = QStringLiteral("plant/boiler");

// Runs of readings, one a second: (start, seconds), the start in seconds from now.
using Runs = QVector<QPair<qint64, qint64>>;

QwtPlot *plot(QWidget *window, const char *name)
{
    return child<QwtPlot>(window, QLatin1String(name));
}

const QwtPlotCurve *curve(QwtPlot *plot, const QString &title)
{
    for (const QwtPlotItem *item : plot->itemList(QwtPlotItem::Rtti_PlotCurve)) {
        if (item->title().text() == title)
            return static_cast<const QwtPlotCurve *>(item);
    }
    return nullptr;
}

QPair<qint64, qint64> timeSpan(QwtPlot *plot)
{
    const QwtInterval span = plot->axisInterval(QwtPlot::xBottom);
    return {qint64(span.minValue() / 1000), qint64(span.maxValue() / 1000)};
}

// The labels of an axis' major ticks, as drawn.
QStringList axisLabels(QwtPlot *plot, QwtPlot::Axis axis)
{
    QStringList labels;
    const QwtScaleDraw *draw = plot->axisScaleDraw(axis);
    for (double tick : draw->scaleDiv().ticks(QwtScaleDiv::MajorTick))
        labels.append(draw->label(tick).text());
    return labels;
}

// The number of separate runs of canvas columns in which the voltage curve
// (blue) has drawn anything.
int drawnStretches(QwtPlot *plot)
{
    const QImage image = plot->canvas()->grab().toImage();
    int stretches = 0;
    bool inStretch = false;
    for (int x = 0; x < image.width(); ++x) {
        bool drawn = false;
        for (int y = 0; y < image.height() && !drawn; ++y) {
            const QRgb pixel = image.pixel(x, y);
            drawn = qBlue(pixel) > qRed(pixel) + 60;
        }
        stretches += drawn && !inStretch ? 1 : 0;
        inStretch = drawn;
    }
    return stretches;
}

} // namespace

class tst_HistoryWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void drawsOneLinePerStretch_data();
    void drawsOneLinePerStretch();
    void rangesEndNow_data();
    void rangesEndNow();
    void wheelZoomsAroundThePointer();
    void valueAxesReadAsRussian_data();
    void valueAxesReadAsRussian();
    void tooltipNamesTheValuesUnderThePointer();
    void followsNewReadings();
    void exportWritesShownSpan();
    void opensOnWhatTheStoreHolds_data();
    void opensOnWhatTheStoreHolds();
    void memoryNamesWhatItHolds_data();
    void memoryNamesWhatItHolds();

private:
    void record(const Runs &runs);
    // Readings at the given seconds from now, as they are.
    void record(const QVector<QPair<qint64, Reading>> &readings);
    // Opens the window and waits until its first answer is drawn.
    void openWindow(const QSize &size = QSize(900, 640));
    // Clicks a button and waits until the answer it asked for is drawn.
    void clickAndWait(const char *button);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<HistoryRecorder> m_recorder;
    std::unique_ptr<HistoryWindow> m_window;
    std::unique_ptr<QSignalSpy> m_shown;
    qint64 m_recordedAt = 0; // "now" of the last record()
};

void tst_HistoryWindow::initTestCase()
{
    // An export's offset is then not a bare +00:00; and numbers are written
    // the Russian way whatever the locale, so the locale is one that writes them otherwise.
    qputenv("TZ", "MSK-3");
    tzset();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void tst_HistoryWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_recorder = std::make_unique<HistoryRecorder>(HistoryRecorder::fileNameIn(m_dir->path()));
}

void tst_HistoryWindow::cleanup()
{
    m_shown.reset();
    m_window.reset();
    m_recorder.reset();
    m_dir.reset();
}

void tst_HistoryWindow::record(const Runs &runs)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    m_recordedAt = now;
    QSignalSpy written(m_recorder.get(), &HistoryRecorder::written);
    for (const auto &run : runs) {
        for (qint64 second = run.first; second < run.first + run.second; ++second) {
            Reading reading;
            reading.voltage = 220 + int(second % 10);
            reading.freq = 50;
            m_recorder->record(kTopic, reading, now + second);
        }
    }
    m_recorder->flush();
    QVERIFY(written.wait());
}

void tst_HistoryWindow::record(const QVector<QPair<qint64, Reading>> &readings)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QSignalSpy written(m_recorder.get(), &HistoryRecorder::written);
    for (const auto &reading : readings)
        m_recorder->record(kTopic, reading.second, now + reading.first);
    m_recorder->flush();
    QVERIFY(written.wait());
}

void tst_HistoryWindow::openWindow(const QSize &size)
{
    m_window = std::make_unique<HistoryWindow>(m_recorder.get(), kTopic, QStringLiteral("Котёл №2"));
    m_shown = std::make_unique<QSignalSpy>(m_window.get(), &HistoryWindow::chartShown);
    m_window->resize(size);
    m_window->show();
    QTRY_VERIFY(!m_shown->isEmpty());
    QCOMPARE(m_window->windowTitle(), QStringLiteral("История — Котёл №2"));
}

void tst_HistoryWindow::clickAndWait(const char *button)
{
    m_shown->clear();
    click(m_window.get(), QLatin1String(button));
    QVERIFY(m_shown->wait());
}

void tst_HistoryWindow::drawsOneLinePerStretch_data()
{
    QTest::addColumn<Runs>("runs");
    QTest::addColumn<int>("stretches");

    QTest::newRow("a meter that never fell silent") << Runs{{-50 * 60, 40 * 60}} << 1;
    QTest::newRow("two silences") << Runs{{-55 * 60, 10 * 60}, {-40 * 60, 10 * 60}, {-20 * 60, 15 * 60}} << 3;
    QTest::newRow("a lone reading between silences") << Runs{{-55 * 60, 10 * 60}, {-30 * 60, 1}, {-15 * 60, 600}} << 3;
    QTest::newRow("a short pause is no silence") << Runs{{-50 * 60, 10 * 60}, {-40 * 60 + 8, 10 * 60}} << 1;
}

void tst_HistoryWindow::drawsOneLinePerStretch()
{
    QFETCH(Runs, runs);
    QFETCH(int, stretches);

    record(runs);
    openWindow();
    clickAndWait("pushButtonRangeHour");
    QCOMPARE(drawnStretches(plot(m_window.get(), "plotSupply")), stretches);
}

void tst_HistoryWindow::rangesEndNow_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<qint64>("span");

    QTest::newRow("1 ч") << QStringLiteral("pushButtonRangeHour") << qint64(3600);
    QTest::newRow("24 ч") << QStringLiteral("pushButtonRangeDay") << qint64(24 * 3600);
    QTest::newRow("7 дн") << QStringLiteral("pushButtonRangeWeek") << qint64(7 * 24 * 3600);
    // The oldest reading is three days old; the file keeps it as a minute row.
    QTest::newRow("Всё") << QStringLiteral("pushButtonRangeAll") << qint64(3 * 24 * 3600 + 60);
}

// Each range ends now on both plots; "Всё" begins with the oldest reading.
void tst_HistoryWindow::rangesEndNow()
{
    QFETCH(QString, button);
    QFETCH(qint64, span);

    record({{-3 * 24 * 3600, 60}, {-60, 30}});
    openWindow();
    clickAndWait(qPrintable(button));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const char *name : {"plotSupply", "plotOperation"}) {
        const QPair<qint64, qint64> shown = timeSpan(plot(m_window.get(), name));
        QVERIFY2(qAbs(shown.second - now) <= 5, name);
        QVERIFY2(qAbs(shown.second - shown.first - span) <= 65, name);
    }
}

// The wheel narrows the time span of both plots together around the pointer:
// the moment under it stays under it (near the right edge, the newest
// minutes stay in view), and the rows are asked for again for the new span.
void tst_HistoryWindow::wheelZoomsAroundThePointer()
{
    record({{-600, 600}});
    openWindow();
    QwtPlot *supply = plot(m_window.get(), "plotSupply");
    QwtPlot *operation = plot(m_window.get(), "plotOperation");
    const QPair<qint64, qint64> before = timeSpan(supply);

    QWidget *canvas = supply->canvas();
    const QPoint at(canvas->width() * 9 / 10, canvas->height() / 2);
    const double pointed = supply->invTransform(QwtPlot::xBottom, at.x());
    QWheelEvent wheel(at, canvas->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    m_shown->clear();
    QApplication::sendEvent(canvas, &wheel);
    QVERIFY(m_shown->wait());

    const QPair<qint64, qint64> after = timeSpan(supply);
    QVERIFY(after.second - after.first < before.second - before.first);
    QVERIFY2(qAbs(supply->invTransform(QwtPlot::xBottom, at.x()) - pointed) < 2000, "the pointer's moment moved");
    QCOMPARE(timeSpan(operation), after);
    // The span shown is the user's own now, no longer the range opened on.
    QVERIFY(!child<QPushButton>(m_window.get(), QStringLiteral("pushButtonRangeHour"))->isChecked());
}

void tst_HistoryWindow::valueAxesReadAsRussian_data()
{
    QTest::addColumn<QString>("plotName");
    QTest::addColumn<int>("axis");
    QTest::addColumn<QStringList>("labels");

    QTest::newRow("voltage: thin spaces between thousands")
        << "plotSupply" << int(QwtPlot::yLeft)
        << QStringList{"1\u2009620", "1\u2009622", "1\u2009624", "1\u2009626", "1\u2009628", "1\u2009630"};
    QTest::newRow("frequency: a decimal comma")
        << "plotSupply" << int(QwtPlot::yRight) << QStringList{"49,0", "49,2", "49,4", "49,6", "49,8", "50,0"};
    // A run of no time at all once gave -0,6 … 0,6 h.
    QTest::newRow("the current run: never below zero")
        << "plotOperation" << int(QwtPlot::yLeft) << QStringList{"0,0", "0,2", "0,4", "0,6", "0,8", "1,0"};
    QTest::newRow("starts: whole numbers") << "plotOperation" << int(QwtPlot::yRight) << QStringList{"6", "7", "8"};
}

// The value axes write numbers as a Russian reader does, whatever the locale,
// never reach below zero, count starts in whole numbers, and keep their
// titles on one line in a low window.
void tst_HistoryWindow::valueAxesReadAsRussian()
{
    QFETCH(QString, plotName);
    QFETCH(int, axis);
    QFETCH(QStringList, labels);

    Reading low;
    low.voltage = 1620;
    low.freq = 49;
    low.numStarts = 7;
    Reading high = low;
    high.voltage = 1630;
    high.freq = 50;
    record({{-30, low}, {-29, high}});
    openWindow(QSize(700, 360));
    QwtPlot *shown = plot(m_window.get(), qPrintable(plotName));
    QCOMPARE(axisLabels(shown, QwtPlot::Axis(axis)), labels);
    const QwtScaleWidget *scale = shown->axisWidget(axis);
    QCOMPARE(scale->titleHeightForWidth(scale->height()), scale->titleHeightForWidth(QWIDGETSIZE_MAX));
}

// Resting on a plot, the pointer gets the moment under it and the values
// drawn there, in the panel's words and the Russian way.
void tst_HistoryWindow::tooltipNamesTheValuesUnderThePointer()
{
    Reading reading;
    reading.voltage = 1624;
    reading.freq = 50;
    reading.tCurrent = 5400;
    reading.numStarts = 1624;
    QVector<QPair<qint64, Reading>> readings;
    for (qint64 second = -300; second < -240; ++second)
        readings.append({second, reading});
    record(readings);
    openWindow();
    const qint64 moment = QDateTime::currentSecsSinceEpoch() - 270;
    const std::pair<const char *, QStringList> expectations[] = {
        {"plotSupply", {"Напряжение: 1\u2009624 В", "Частота: 50 Гц"}},
        {"plotOperation", {"Текущая наработка: 01:30:00", "Количество пусков: 1\u2009624"}},
    };
    for (const auto &expected : expectations) {
        QwtPlot *shown = plot(m_window.get(), expected.first);
        QWidget *canvas = shown->canvas();
        const QPoint at(int(shown->transform(QwtPlot::xBottom, double(moment) * 1000)), canvas->height() / 2);
        QHelpEvent help(QEvent::ToolTip, at, canvas->mapToGlobal(at));
        QApplication::sendEvent(canvas, &help);
        QStringList lines = QToolTip::text().split(QLatin1Char('\n'));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d$"))
                     .match(lines.takeFirst())
                     .hasMatch(),
                 qPrintable(QToolTip::text()));
        QCOMPARE(lines, expected.second);
    }
}

// While the range ends now, readings that come are drawn without a click.
void tst_HistoryWindow::followsNewReadings()
{
    record({{-600, 600}});
    openWindow();
    clickAndWait("pushButtonRangeHour");
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    Reading high;
    high.voltage = 300;
    m_recorder->record(kTopic, high, now);
    m_recorder->flush();

    QwtPlot *supply = plot(m_window.get(), "plotSupply");
    QTRY_COMPARE_WITH_TIMEOUT(curve(supply, QStringLiteral("Напряжение, В"))->maxYValue(), 300.0, 5000);
}

// The export holds the stored rows of the span on show, in the summary's CSV
// conventions: BOM, ';', the panel's words for the values; its times read as
// dates in the zone their title names; the file offered is dated.
void tst_HistoryWindow::exportWritesShownSpan()
{
    record({{-3 * 3600, 5}, {-30, 3}});
    openWindow();
    clickAndWait("pushButtonRangeHour");
    const QString fileName = m_dir->filePath(QStringLiteral("история.csv"));
    QSignalSpy exported(m_window.get(), &HistoryWindow::exported);
    QString offered;
    answerFileDialog(fileName, &offered);
    click(m_window.get(), QStringLiteral("pushButtonExportCsv"));
    QVERIFY(exported.wait());
    QCOMPARE(exported.at(0).at(1).toBool(), true);
    QVERIFY2(QRegularExpression(QStringLiteral("^История — Котёл №2 \\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d\\.csv$"))
                 .match(QFileInfo(offered).fileName())
                 .hasMatch(),
             qPrintable(offered));

    QString error;
    const std::optional<QVector<qint64>> times = csvTimes(fileName, 0, &error);
    QVERIFY2(times, qPrintable(error));
    QCOMPARE(*times, (QVector<qint64>{m_recordedAt - 30, m_recordedAt - 29, m_recordedAt - 28}));
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 1 + 3 + 1);
    QCOMPARE(lines.at(0), QByteArray("\xEF\xBB\xBF"
                                     "Время (UTC+03:00);Интервал, с;Тип устройства;Режим работы;Количество пусков;"
                                     "Наработка посл. пуска;Текущая наработка;Общая наработка;Напряжение;"
                                     "Напряжение, мин.;Напряжение, макс.;Частота;Частота, мин.;Частота, макс.\r"));
    for (int i = 0; i < 3; ++i) {
        const QStringList fields = QString::fromUtf8(lines.at(1 + i)).trimmed().split(QLatin1Char(';'));
        const QString voltage = QString::number(220 + (-30 + i) % 10);
        QCOMPARE(fields.mid(1), (QStringList{"1", ModelName(0), ModeName(0), "0", "00:00:00", "00:00:00", "00:00:00",
                                             voltage, voltage, voltage, "50", "50", "50"}));
    }
}

void tst_HistoryWindow::opensOnWhatTheStoreHolds_data()
{
    QTest::addColumn<bool>("toDisk");
    QTest::addColumn<Runs>("runs");
    QTest::addColumn<QString>("checked");

    const qint64 day = 24 * 3600;
    const QPair<qint64, qint64> lately = {-600, 600};
    QTest::newRow("ten minutes stored: the hour") << true << Runs{lately} << QStringLiteral("pushButtonRangeHour");
    QTest::newRow("three hours stored: the day")
        << true << Runs{{-3 * 3600, 60}, lately} << QStringLiteral("pushButtonRangeDay");
    QTest::newRow("three days stored: the week")
        << true << Runs{{-3 * day, 60}, lately} << QStringLiteral("pushButtonRangeWeek");
    QTest::newRow("ten days stored: the hour")
        << true << Runs{{-10 * day, 60}, lately} << QStringLiteral("pushButtonRangeHour");
    QTest::newRow("last hour in memory, nothing heard") << false << Runs{} << QStringLiteral("pushButtonRangeHour");
}

// The window opens on the shortest of "1 ч", "24 ч", "7 дн" that shows every
// stored row, or on "1 ч" when there is more; without recording, with a word
// why only the hour is there. A range with no readings says so on each plot.
void tst_HistoryWindow::opensOnWhatTheStoreHolds()
{
    QFETCH(bool, toDisk);
    QFETCH(Runs, runs);
    QFETCH(QString, checked);

    if (!toDisk)
        m_recorder = std::make_unique<HistoryRecorder>(QString());
    if (!runs.isEmpty())
        record(runs);
    openWindow();
    QVERIFY(child<QPushButton>(m_window.get(), checked)->isChecked());
    QCOMPARE(child<QWidget>(m_window.get(), QStringLiteral("labelNotRecorded"))->isVisible(), !toDisk);
    for (const char *name : {"plotSupply", "plotOperation"}) {
        const QwtPlotItemList labels = plot(m_window.get(), name)->itemList(QwtPlotItem::Rtti_PlotTextLabel);
        QCOMPARE(labels.size(), 1);
        QVERIFY2(labels.at(0)->isVisible() == runs.isEmpty(), name);
    }
}

void tst_HistoryWindow::memoryNamesWhatItHolds_data()
{
    QTest::addColumn<int>("meters");
    QTest::addColumn<QString>("note");

    QTest::newRow("a few meters: the hour") << 10 << QStringLiteral("хранится только последний час (Настройки");
    QTest::newRow("a thousand: a quarter of an hour")
        << 1000 << QStringLiteral("в памяти хранятся только последние 17 мин 28 с (Настройки");
    QTest::newRow("ten thousand: two minutes")
        << 10000 << QStringLiteral("в памяти хранятся только последние 1 мин 44 с");
}

// The memory holds the same whatever the plant's size, so a large plant's
// span is shorter than the hour, and the window says how long.
void tst_HistoryWindow::memoryNamesWhatItHolds()
{
    QFETCH(int, meters);
    QFETCH(QString, note);

    m_recorder = std::make_unique<HistoryRecorder>(QString());
    QSignalSpy written(m_recorder.get(), &HistoryRecorder::written);
    for (int m = 0; m < meters; ++m)
        m_recorder->record(QStringLiteral("plant/%1").arg(m), Reading{}, QDateTime::currentSecsSinceEpoch());
    m_recorder->flush();
    // Ten thousand new meters in one batch take seconds under the sanitizers.
    QVERIFY(written.wait(60000));
    openWindow();
    const auto *label = child<QLabel>(m_window.get(), QStringLiteral("labelNotRecorded"));
    QVERIFY2(label->text().contains(note), qPrintable(label->text()));
}

QTEST_MAIN(tst_HistoryWindow)
#include "tst_historywindow.moc"
