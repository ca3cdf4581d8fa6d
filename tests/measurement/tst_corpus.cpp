#include "common/jsonreading.h"
#include "measurement/measdialog.h"
#include "measurement/payload.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QtTest>

// The fuzzer's seed corpus, replayed in the regular build the way the fuzzer
// takes each input: the bytes as the window turns them into text, the
// decoder held against a plain JSON document, and one long-lived panel that
// shows exactly what the decoder read, or keeps what it showed.
class tst_Corpus : public QObject
{
    Q_OBJECT

private slots:
    void replay_data();
    void replay();

private:
    QStringList labels() const;

    MeasDialog m_panel;
};

QStringList tst_Corpus::labels() const
{
    QStringList texts;
    for (const char *name : kValueLabels)
        texts << m_panel.findChild<QLabel *>(QLatin1String(name))->text();
    return texts;
}

void tst_Corpus::replay_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QDir corpus(QStringLiteral(ZELMAR_FUZZ_CORPUS));
    const QStringList files = corpus.entryList(QDir::Files, QDir::Name);
    QVERIFY2(!files.isEmpty(), ZELMAR_FUZZ_CORPUS);
    for (const QString &name : files) {
        QFile file(corpus.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QTest::newRow(qPrintable(name)) << file.readAll();
    }
}

void tst_Corpus::replay()
{
    QFETCH(QByteArray, bytes);
    // As the window reads a payload: the text ends at the first zero byte.
    const int end = bytes.indexOf('\0');
    const QString text = QString::fromUtf8(bytes.constData(), end < 0 ? bytes.size() : end);

    const std::optional<Reading> reading = ParsePayload(text);
    const std::optional<Reading> expected = jsonDocumentReading(text);
    QCOMPARE(reading.has_value(), expected.has_value());

    const QStringList before = labels();
    m_panel.ShowPayload(text);
    if (reading) {
        QCOMPARE(*reading, *expected);
        QCOMPARE(labels(), readingTexts(*reading));
    } else {
        QCOMPARE(labels(), before);
    }
}

QTEST_MAIN(tst_Corpus)
#include "tst_corpus.moc"
