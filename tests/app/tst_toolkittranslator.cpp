#include "app/toolkittranslator.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include <functional>

// What the toolkit's own widgets show once the translator is installed: a text
// whose context or source differs from Qt's stays English and turns a row red.
class tst_ToolkitTranslator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void toolkitWidgetsSpeakRussian_data();
    void toolkitWidgetsSpeakRussian();

private:
    ToolkitTranslator m_translator;
};

using Shown = std::function<QStringList()>;
Q_DECLARE_METATYPE(Shown)

void tst_ToolkitTranslator::initTestCase()
{
    QVERIFY(QCoreApplication::installTranslator(&m_translator));
}

void tst_ToolkitTranslator::toolkitWidgetsSpeakRussian_data()
{
    QTest::addColumn<Shown>("shown");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("message box") << Shown([] {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("t"), QStringLiteral("x"),
                        QMessageBox::Ok | QMessageBox::Cancel);
        return QStringList{box.button(QMessageBox::Ok)->text(), box.button(QMessageBox::Cancel)->text()};
    }) << QStringList{"ОК", "Отмена"};
    QTest::newRow("file dialog") << Shown([] {
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        const auto *model = dialog.findChild<QFileSystemModel *>();
        return QStringList{dialog.findChild<QLabel *>(QStringLiteral("lookInLabel"))->text(),
                           dialog.findChild<QLabel *>(QStringLiteral("fileNameLabel"))->text(),
                           dialog.findChild<QLabel *>(QStringLiteral("fileTypeLabel"))->text(),
                           model->headerData(0, Qt::Horizontal).toString()};
    }) << QStringList{"Папка:", "&Имя файла:", "Тип файлов:", "Имя"};
}

void tst_ToolkitTranslator::toolkitWidgetsSpeakRussian()
{
    QFETCH(Shown, shown);
    QFETCH(QStringList, expected);
    QCOMPARE(shown(), expected);
}

QTEST_MAIN(tst_ToolkitTranslator)
#include "tst_toolkittranslator.moc"
