#include "common/widgets.h"
#include "common/windowtest.h"
#include "measurement/measdialog.h"

#include <QPushButton>
#include <QtTest>

#include <malloc.h>

namespace {

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed memory in quarantine, so resident memory says
// nothing about what the program holds on to.
constexpr bool kResidentMemoryMeansRetained = false;
#else
constexpr bool kResidentMemoryMeansRetained = true;
#endif

constexpr int kMegabyte = 1024 * 1024;
constexpr int kBigPayload = 16 * kMegabyte;
constexpr int kFloodCount = 10000;

const QString kProbeTopic = QStringLiteral("zelmar/a");
const QString kStrayTopic = QStringLiteral("zelmar/stray");

const char *const kValueLabels[] = {"label_dev_type",  "label_dev_mode", "label_num_starts", "label_t_last",
                                    "label_t_current", "label_t_common", "label_voltage",    "label_freq"};

// Resident memory of this process, in bytes, once the allocator has handed
// back what it can: what is left is what the program holds.
qint64 residentMemory()
{
    malloc_trim(0);
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

QByteArray reading(int starts)
{
    return R"({"dev_type":1,"dev_mode":0,"num_starts":)" + QByteArray::number(starts) +
           R"(,"t_common":3661,"t_current":61,"t_last":1,"voltage":230,"freq":50})";
}

} // namespace

// Floods and huge messages against a connected window: whatever comes in on
// a topic nobody registered is dropped and leaves nothing behind, and a huge
// payload changes no value on screen. Payloads beyond 16 KiB never get past
// the client, so the tests wait for a later message rather than for them.
class tst_Flood : public WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void strayMessagesLeaveNothingBehind();
    void hugePayloadThatIsNoReadingChangesNothing_data();
    void hugePayloadThatIsNoReadingChangesNothing();

private:
    void connectWindow();
    // Publishes a reading on the probe topic and waits until the first tab shows it.
    void settle(int starts);
    QStringList labels(int tab) const;

    // Per topic, counted without keeping the messages, so counting costs no memory.
    QHash<QString, int> m_arrivals;
    QHash<QString, qint64> m_largestPayload;
};

void tst_Flood::initTestCase()
{
    // The default of 1000 would let the broker drop most of the flood before
    // it reached the client, which is the very thing under test.
    m_broker.addConfigLine(QStringLiteral("max_queued_messages 0"));
    QVERIFY(m_broker.start());
}

void tst_Flood::init()
{
    WindowTest::init();
    m_arrivals.clear();
    m_largestPayload.clear();
    connect(m_client.get(), &QMQTT::Client::received, this, [this](const QMQTT::Message &message) {
        ++m_arrivals[message.topic()];
        qint64 &largest = m_largestPayload[message.topic()];
        largest = qMax<qint64>(largest, message.payload().size());
    });
}

// Tab 0 on the probe topic, tab 1 on the topic that gets the payload under
// test, tab 2 on a wildcard that brings every stray message to the client.
void tst_Flood::connectWindow()
{
    writeSettingsFileText(
        settings().device("Проба", kProbeTopic).device("Котёл", "zelmar/b").device("Все", "zelmar/#").bytes());
    m_window = std::make_unique<MainWindow>(m_client.get());
    // The offline mark must not change a label while a test compares them.
    for (MeasDialog *panel : m_window->findChildren<MeasDialog *>())
        panel->setOfflineInterval(10 * 60 * 1000);
    m_window->show();
    QSignalSpy subscribed(m_client.get(), &QMQTT::Client::subscribed);
    click(m_window.get(), "pushButtonConnect");
    QTRY_COMPARE(subscribed.count(), 3);
}

void tst_Flood::settle(int starts)
{
    QVERIFY(m_broker.publish(kProbeTopic, reading(starts)));
    QTRY_COMPARE(label(0, "label_num_starts"), QString::number(starts));
}

QStringList tst_Flood::labels(int tab) const
{
    QStringList texts;
    for (const char *name : kValueLabels)
        texts << label(tab, name);
    return texts;
}

void tst_Flood::strayMessagesLeaveNothingBehind()
{
    connectWindow();
    QByteArray lines;
    QByteArray warmUpLines;
    for (int i = 0; i < kFloodCount; ++i) {
        lines += "stray message " + QByteArray::number(i) + " with no meter behind it\n";
        if (i == kFloodCount / 10)
            warmUpLines = lines;
    }
    // Once through everything the test does, so that what stays allocated for
    // good (fonts, caches, the broker's first answers) is in the baseline.
    QVERIFY(m_broker.publish(kStrayTopic, QByteArray(kMegabyte, 'w')));
    QVERIFY(m_broker.publishLines(kStrayTopic, warmUpLines));
    QTRY_COMPARE(m_arrivals.value(kStrayTopic), warmUpLines.count('\n'));
    settle(1);
    const qint64 baseline = residentMemory();

    // The broker may still be reading a publisher's messages after it has
    // gone, so arrivals are counted rather than overtaken by a probe.
    QVERIFY(m_broker.publish(kStrayTopic, QByteArray(kBigPayload, 's')));
    const int before = m_arrivals.value(kStrayTopic);
    QVERIFY(m_broker.publishLines(kStrayTopic, lines));
    QTRY_COMPARE(m_arrivals.value(kStrayTopic) - before, kFloodCount);
    settle(2);

    QVERIFY(m_client->isConnectedToHost());
    QCOMPARE(child<QPushButton>(m_window.get(), "pushButtonConnect")->text(), QStringLiteral("Отключиться"));
    // Nothing reached a tab but the probe's readings.
    QCOMPARE(label(1, "label_dev_type"), QString());
    QCOMPARE(label(2, "label_dev_type"), QString());

    const qint64 grown = residentMemory() - baseline;
    const QByteArray measured = "resident memory grew by " + QByteArray::number(grown / 1024) + " KiB";
    qInfo("%s", measured.constData());
    if (!kResidentMemoryMeansRetained)
        QSKIP("resident memory is no measure under AddressSanitizer");
    // Less than one big payload: not even one of them may be kept.
    QVERIFY2(grown < kBigPayload, measured.constData());
}

void tst_Flood::hugePayloadThatIsNoReadingChangesNothing_data()
{
    QTest::addColumn<QByteArray>("payload");

    const QByteArray valid = reading(7);
    QTest::newRow("16 MB of letters") << QByteArray(kBigPayload, 'x');
    QTest::newRow("reading then 16 MB of trailing junk") << valid + QByteArray(kBigPayload - valid.size(), 'j');
    QTest::newRow("string that never ends") << R"({"dev_type":20,"note":")" + QByteArray(kBigPayload - 24, 'q');
    QTest::newRow("16 MB of opening brackets") << QByteArray(kBigPayload, '[');
    QByteArray invalidUtf8;
    invalidUtf8.reserve(kBigPayload);
    while (invalidUtf8.size() < kBigPayload)
        invalidUtf8 += "\xff\xfe\xc0\xaf\xed\xa0\x80";
    QTest::newRow("16 MB of invalid UTF-8") << invalidUtf8;
    QTest::newRow("zero byte before a reading") << QByteArray(1, '\0') + valid + QByteArray(kBigPayload, ' ');
}

void tst_Flood::hugePayloadThatIsNoReadingChangesNothing()
{
    QFETCH(QByteArray, payload);
    connectWindow();
    QVERIFY(m_broker.publish(QStringLiteral("zelmar/b"), reading(5)));
    QTRY_COMPARE(label(1, "label_num_starts"), QStringLiteral("5"));
    const QStringList shown = labels(1);

    QVERIFY(m_broker.publish(QStringLiteral("zelmar/b"), payload));
    // Messages reach the client in the order they were published.
    settle(6);
    QCOMPARE(m_largestPayload.value(QStringLiteral("zelmar/b")), qint64(reading(5).size()));
    QCOMPARE(labels(1), shown);
}

QTEST_MAIN(tst_Flood)
#include "tst_flood.moc"
