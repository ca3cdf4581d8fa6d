#include "common/csvtimes.h"
#include "common/widgets.h"
#include "common/windowtest.h"
#include "measurement/measdialog.h"
#include "measurement/meterboard.h"
#include "overview/metertablemodel.h"
#include "overview/summarywindow.h"

#include <QAction>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTableView>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

// The summary window over a real main window fed the way the client feeds it.
class tst_SummaryWindow : public WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();

    void rowsShowWhatThePanelsShow();
    void sortsByValue_data();
    void sortsByValue();
    void filterMatchesNameOrTopic_data();
    void filterMatchesNameOrTopic();
    void activatingRowShowsItsTab_data();
    void activatingRowShowsItsTab();
    void rowsFollowTheDeviceList();
    void exportWritesRowsAsShown();
    void failedExportKeepsWhatWasThere_data();
    void failedExportKeepsWhatWasThere();
    void keysLeaveTheTable();

private:
    // devices: "name|topic"
    void start(const QStringList &devices);
    void feed(const QString &topic, const QByteArray &payload);
    SummaryWindow *openSummary();
    QTableView *table() const;
    QStringList column(int column) const;
    void clickHeader(int column);

    QPointer<SummaryWindow> m_summary;
};

namespace {

// The value columns and the panel labels that show the same values.
const QVector<QPair<int, const char *>> kPanelColumns = {
    {MeterTableModel::DevType, "label_dev_type"}, {MeterTableModel::NumStarts, "label_num_starts"},
    {MeterTableModel::TLast, "label_t_last"},     {MeterTableModel::TCurrent, "label_t_current"},
    {MeterTableModel::TCommon, "label_t_common"}, {MeterTableModel::Voltage, "label_voltage"},
    {MeterTableModel::Freq, "label_freq"}};

QByteArray reading(int starts, int common, int type = 10)
{
    return QStringLiteral(R"({"dev_type":%1,"dev_mode":0,"num_starts":%2,"t_common":%3,"t_current":61,)"
                          R"("t_last":3725,"voltage":229,"freq":50})")
        .arg(type)
        .arg(starts)
        .arg(common)
        .toUtf8();
}

} // namespace

void tst_SummaryWindow::initTestCase()
{
    // A zone east of Greenwich, so that the export's offset is not a bare "Z". POSIX form: no
    // time zone database needed.
    qputenv("TZ", "MSK-3");
    tzset();
}

void tst_SummaryWindow::start(const QStringList &devices)
{
    SettingsText settings;
    for (const QString &device : devices)
        settings.device(device.section('|', 0, 0), device.section('|', 1));
    writeSettingsFileText(settings.bytes());
    if (m_window)
        QVERIFY(QMetaObject::invokeMethod(m_window.get(), "RefreshTabs"));
    else
        startWindow();
}

void tst_SummaryWindow::feed(const QString &topic, const QByteArray &payload)
{
    emit m_client->received(QMQTT::Message(topic, payload));
}

SummaryWindow *tst_SummaryWindow::openSummary()
{
    triggerAction(m_window.get(), QStringLiteral("actionSummary"));
    m_summary = m_window->findChild<SummaryWindow *>();
    // Wide enough that every header section can be clicked.
    if (m_summary)
        m_summary->resize(2400, 600);
    return m_summary && QTest::qWaitForWindowExposed(m_summary) ? m_summary.data() : nullptr;
}

QTableView *tst_SummaryWindow::table() const
{
    return child<QTableView>(m_summary, QStringLiteral("tableSummary"));
}

QStringList tst_SummaryWindow::column(int column) const
{
    QStringList texts;
    const QAbstractItemModel *model = table()->model();
    for (int row = 0; row < model->rowCount(); ++row)
        texts << model->index(row, column).data().toString();
    return texts;
}

void tst_SummaryWindow::clickHeader(int column)
{
    QHeaderView *header = table()->horizontalHeader();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, 5));
}

void tst_SummaryWindow::rowsShowWhatThePanelsShow()
{
    start({"Котёл №1|plant/1", "Насос|plant/2", "Вентилятор|plant/3"});
    feed("plant/1", reading(1284, -3661, 20));
    qobject_cast<MeasDialog *>(tabPage(m_window.get(), 2))->setOfflineInterval(50);
    feed("plant/3", reading(7, 60));
    QTRY_COMPARE(labelText(tabPage(m_window.get(), 2), QStringLiteral("label_dev_mode")), QStringLiteral("не в сети"));

    QVERIFY(openSummary());
    QCOMPARE(m_summary->windowTitle(), QStringLiteral("Сводка по счётчикам"));
    // The action raises the open window rather than making another.
    triggerAction(m_window.get(), QStringLiteral("actionSummary"));
    QCOMPARE(m_window->findChildren<SummaryWindow *>().size(), 1);
    QCOMPARE(column(MeterTableModel::Name), (QStringList{"Котёл №1", "Насос", "Вентилятор"}));
    QCOMPARE(column(MeterTableModel::Topic), (QStringList{"plant/1", "plant/2", "plant/3"}));
    QCOMPARE(column(MeterTableModel::State), (QStringList{"в сети", "нет данных", "не в сети"}));
    QCOMPARE(column(MeterTableModel::DevMode), (QStringList{"счёт", "", "счёт"}));
    const QRegularExpression localTime(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d$"));
    QVERIFY(localTime.match(column(MeterTableModel::Received).at(0)).hasMatch());
    QCOMPARE(column(MeterTableModel::Received).at(1), QString());
    for (const auto &[columnIndex, label] : kPanelColumns) {
        const QStringList cells = column(columnIndex);
        for (int row : {0, 2})
            QCOMPARE(cells[row], labelText(tabPage(m_window.get(), row), QLatin1String(label)));
        QCOMPARE(cells[1], QString());
    }

    // Readings reach the open table.
    feed("plant/2", reading(5, 5));
    QTRY_COMPARE(column(MeterTableModel::State).at(1), QStringLiteral("в сети"));
    QCOMPARE(column(MeterTableModel::NumStarts).at(1), QStringLiteral("5"));
}

void tst_SummaryWindow::sortsByValue_data()
{
    QTest::addColumn<int>("sortColumn");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("names as text") << int(MeterTableModel::Name) << 1 << QStringList{"n10", "n100", "n9", "silent"};
    QTest::newRow("counts as numbers") << int(MeterTableModel::NumStarts) << 1
                                       << QStringList{"silent", "n9", "n10", "n100"};
    QTest::newRow("counts descending") << int(MeterTableModel::NumStarts) << 2
                                       << QStringList{"n100", "n10", "n9", "silent"};
    QTest::newRow("durations by value") << int(MeterTableModel::TCommon) << 1
                                        << QStringList{"silent", "n100", "n10", "n9"};
    QTest::newRow("silent after online") << int(MeterTableModel::State) << 1
                                         << QStringList{"n9", "n10", "n100", "silent"};
}

void tst_SummaryWindow::sortsByValue()
{
    QFETCH(int, sortColumn);
    QFETCH(int, clicks);
    QFETCH(QStringList, names);

    start({"n9|t/9", "silent|t/0", "n10|t/10", "n100|t/100"});
    // 100:00:00, 99:59:59 and -00:00:01 sort the other way round as text.
    feed("t/9", reading(9, 360000));
    feed("t/10", reading(10, 359999));
    feed("t/100", reading(100, -1));
    QVERIFY(openSummary());

    for (int i = 0; i < clicks; ++i)
        clickHeader(sortColumn);
    QCOMPARE(column(MeterTableModel::Name), names);
}

void tst_SummaryWindow::filterMatchesNameOrTopic_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("part of a name in other case") << "КОТ" << QStringList{"Котёл"};
    QTest::newRow("part of a topic") << "ant/2" << QStringList{"Насос"};
    QTest::newRow("both meters") << "plant" << QStringList{"Котёл", "Насос"};
    QTest::newRow("nothing") << "zzz" << QStringList{};
}

void tst_SummaryWindow::filterMatchesNameOrTopic()
{
    QFETCH(QString, filter);
    QFETCH(QStringList, names);

    start({"Котёл|plant/1", "Насос|plant/2"});
    QVERIFY(openSummary());
    typeText(child<QLineEdit>(m_summary, QStringLiteral("leFilter")), filter);
    QCOMPARE(column(MeterTableModel::Name), names);
}

void tst_SummaryWindow::activatingRowShowsItsTab_data()
{
    QTest::addColumn<bool>("byKey");
    QTest::newRow("double click") << false;
    QTest::newRow("Enter") << true;
}

void tst_SummaryWindow::activatingRowShowsItsTab()
{
    QFETCH(bool, byKey);

    start({"A|t/a", "B|t/b", "C|t/c"});
    QVERIFY(openSummary());
    clickHeader(MeterTableModel::Name);
    clickHeader(MeterTableModel::Name);
    QCOMPARE(column(MeterTableModel::Name), (QStringList{"C", "B", "A"}));

    const QModelIndex first = table()->model()->index(0, MeterTableModel::Topic);
    if (byKey) {
        table()->setCurrentIndex(first);
        QTest::keyClick(table(), Qt::Key_Return);
    } else {
        const QPoint centre = table()->visualRect(first).center();
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, centre);
    }
    QCOMPARE(child<QTabWidget>(m_window.get(), QStringLiteral("tabWidget"))->currentIndex(), 2);
    QVERIFY(m_summary->isVisible());
}

void tst_SummaryWindow::rowsFollowTheDeviceList()
{
    start({"A|t/a", "B|t/b"});
    feed("t/b", reading(1, 1));
    QVERIFY(openSummary());
    QCOMPARE(column(MeterTableModel::State), (QStringList{"нет данных", "в сети"}));

    start({"B|t/b", "C|t/c", "D|t/d"});
    QCOMPARE(column(MeterTableModel::Name), (QStringList{"B", "C", "D"}));
    QCOMPARE(column(MeterTableModel::State), (QStringList{"нет данных", "нет данных", "нет данных"}));
    feed("t/d", reading(3, 3));
    QTRY_COMPARE(column(MeterTableModel::NumStarts), (QStringList{"", "", "3"}));
}

void tst_SummaryWindow::exportWritesRowsAsShown()
{
    start({"Котёл №1|plant/1", "Насос; \"Б\"|plant/2", "Склад|store/3", "Резерв \"Ю\"|plant/4"});
    feed("plant/1", reading(12, 360000));
    feed("plant/2", R"({"dev_type":1,"dev_mode":1,"num_starts":1500,"t_common":2147483647,)"
                    R"("t_current":-59,"t_last":1800,"voltage":231,"freq":50})");
    QVERIFY(openSummary());
    typeText(child<QLineEdit>(m_summary, QStringLiteral("leFilter")), QStringLiteral("plant"));
    clickHeader(MeterTableModel::NumStarts);
    clickHeader(MeterTableModel::NumStarts);

    const auto *board = m_window->findChild<MeterBoard *>();
    const auto iso = [board](int index) {
        return QDateTime::fromMSecsSinceEpoch(board->meter(index).receivedMs, Qt::OffsetFromUTC, 3 * 3600)
            .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
            .toUtf8();
    };
    const QByteArray expected =
        "\xEF\xBB\xBF"
        "Название;MQTT topic;Состояние;Последние данные (UTC+03:00);Тип устройства;Режим работы;Количество пусков;"
        "Наработка посл. пуска;Текущая наработка;Общая наработка;Напряжение, В;Частота, Гц;Обслуживание\r\n"
        "\"Насос; \"\"Б\"\"\";plant/2;в сети;" +
        iso(1) +
        ";Zelmar-A;индикация;1500;00:30:00;-00:00:59;596523:14:07;231;50;\r\n"
        "Котёл №1;plant/1;в сети;" +
        iso(0) +
        ";Zelmar-B;счёт;12;01:02:05;00:01:01;100:00:00;229;50;\r\n"
        "\"Резерв \"\"Ю\"\"\";plant/4;нет данных;;;;;;;;;;\r\n";

    const QString fileName = QDir(m_dir->path()).filePath(QStringLiteral("сводка.csv"));
    QString offered;
    answerFileDialog(fileName, &offered);
    click(m_summary, QStringLiteral("pushButtonExport"));
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected);
    QVERIFY2(QRegularExpression(QStringLiteral("^Сводка по счётчикам \\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d\\.csv$"))
                 .match(QFileInfo(offered).fileName())
                 .hasMatch(),
             qPrintable(offered));
    // A spreadsheet takes the times for dates, in the zone the title names.
    QString error;
    const std::optional<QVector<qint64>> times = csvTimes(fileName, MeterTableModel::Received, &error);
    QVERIFY2(times, qPrintable(error));
    QCOMPARE(*times, (QVector<qint64>{board->meter(1).receivedMs / 1000, board->meter(0).receivedMs / 1000, -1}));
}

void tst_SummaryWindow::failedExportKeepsWhatWasThere_data()
{
    QTest::addColumn<bool>("directoryInPlace");
    QTest::newRow("a directory where the file should be") << true;
    QTest::newRow("the disk takes no more") << false;
}

void tst_SummaryWindow::failedExportKeepsWhatWasThere()
{
    QFETCH(bool, directoryInPlace);

    start({"A|t/a"});
    feed("t/a", reading(1, 1));
    QVERIFY(openSummary());
    QDir dir(m_dir->path());
    QVERIFY(dir.mkdir(QStringLiteral("out")));
    QVERIFY(dir.cd(QStringLiteral("out")));
    const QString fileName = dir.filePath(QStringLiteral("summary.csv"));
    const QByteArray old = "what was there";
    if (directoryInPlace) {
        QVERIFY(dir.mkpath(QStringLiteral("summary.csv/inside")));
    } else {
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(old), qint64(old.size()));
    }

    // Root ignores file permissions, but not a file size limit.
    rlimit previous{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (!directoryInPlace) {
        rlimit limit = previous;
        limit.rlim_cur = 16;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    QString message;
    QTimer::singleShot(0, m_summary, [this, &message] { message = answerMessageBox(m_summary); });
    const bool written = m_summary->exportCsv(fileName);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(!written);
    QVERIFY2(message.startsWith(QStringLiteral("Не удалось записать файл ") + fileName + QStringLiteral(":\n")),
             qPrintable(message));
    if (directoryInPlace) {
        QVERIFY(QFileInfo(fileName).isDir());
        QVERIFY(QFileInfo::exists(fileName + QStringLiteral("/inside")));
    } else {
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), old);
    }
    // Nothing half-written is left beside it.
    QCOMPARE(dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{"summary.csv"});
}

// Tab used to walk the table's cells, so the keyboard never reached the export button; a
// window rather than a dialog, Esc did not close it.
void tst_SummaryWindow::keysLeaveTheTable()
{
    start({"A|t/a", "B|t/b"});
    QVERIFY(openSummary());
    QApplication::setActiveWindow(m_summary);
    table()->setFocus();
    table()->setCurrentIndex(table()->model()->index(0, MeterTableModel::Name));
    QTRY_VERIFY(table()->hasFocus());
    QTest::keyClick(table(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), child<QLineEdit>(m_summary, QStringLiteral("leFilter")));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QTRY_VERIFY(m_summary.isNull());
}

QTEST_MAIN(tst_SummaryWindow)
#include "tst_summarywindow.moc"
