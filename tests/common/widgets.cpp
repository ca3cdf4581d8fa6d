#include "common/widgets.h"

#include "config/addnewdeviceform.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest>

namespace {

QListWidget *deviceList(const QWidget *parent)
{
    return child<QListWidget>(parent, QStringLiteral("listWidget"));
}

QPoint rowCentre(const QWidget *parent, int row)
{
    QListWidget *list = deviceList(parent);
    return list->visualItemRect(list->item(row)).center();
}

} // namespace

void failMissingChild(const QObject *parent, const char *type, const QString &name)
{
    qFatal("no %s named \"%s\" under %s \"%s\"", type, qPrintable(name), parent->metaObject()->className(),
           qPrintable(parent->objectName()));
}

void triggerAction(QWidget *window, const QString &actionName)
{
    child<QAction>(window, actionName)->trigger();
}

bool triggerTabMenuAction(QWidget *window, int tab, const QString &actionName)
{
    QTabBar *tabs = child<QTabWidget>(window, QStringLiteral("tabWidget"))->tabBar();
    const QPoint at = tabs->tabRect(tab).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, tabs->mapToGlobal(at));
    QApplication::sendEvent(tabs, &event);
    auto *menu = shown<QMenu>(window);
    if (!menu)
        return false;
    child<QAction>(menu, actionName)->trigger();
    menu->close();
    return true;
}

void click(const QWidget *parent, const QString &name)
{
    QTest::mouseClick(child<QPushButton>(parent, name), Qt::LeftButton);
}

QStringList rows(const QWidget *parent)
{
    const QListWidget *list = deviceList(parent);
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

void selectRow(const QWidget *parent, int row)
{
    QTest::mouseClick(deviceList(parent)->viewport(), Qt::LeftButton, Qt::NoModifier, rowCentre(parent, row));
}

// The widget overload of QTest::mouseDClick sends the double-click event alone.
void doubleClickRow(const QWidget *parent, int row)
{
    QWidget *viewport = deviceList(parent)->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, rowCentre(parent, row));
    QTest::mouseDClick(viewport, Qt::LeftButton, Qt::NoModifier, rowCentre(parent, row));
}

QStringList tabTitles(const QWidget *window)
{
    const auto *tabs = child<QTabWidget>(window, QStringLiteral("tabWidget"));
    QStringList titles;
    for (int i = 0; i < tabs->count(); ++i)
        titles << tabs->tabText(i);
    return titles;
}

QWidget *tabPage(const QWidget *window, int index)
{
    QWidget *page = child<QTabWidget>(window, QStringLiteral("tabWidget"))->widget(index);
    if (!page)
        qFatal("the window has no tab %d", index);
    return page;
}

QString labelText(const QWidget *parent, const QString &name)
{
    return child<QLabel>(parent, name)->text();
}

QString statusText(const QWidget *window)
{
    return child<QStatusBar>(window, QStringLiteral("statusBar"))->currentMessage();
}

bool settingsMenusEnabled(const QWidget *window)
{
    return child<QAction>(window, QStringLiteral("actionMQTT_Settings"))->isEnabled() &&
           child<QAction>(window, QStringLiteral("actionAddNewDevice"))->isEnabled() &&
           child<QAction>(window, QStringLiteral("actionAdvancedSettings"))->isEnabled();
}

QString answerMessageBox(const QWidget *parent, QMessageBox::StandardButton button)
{
    QMessageBox *box = shown<QMessageBox>(parent);
    if (!box)
        return QStringLiteral("<no message box>");
    const QString text = box->text();
    box->button(button)->click();
    return text;
}

void answerFileDialog(const QString &fileName, QString *offered)
{
    QTimer::singleShot(0, [fileName, offered] {
        QTRY_VERIFY(qobject_cast<QFileDialog *>(QApplication::activeModalWidget()));
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (offered)
            *offered = dialog->selectedFiles().value(0);
        dialog->selectFile(fileName);
        // QFileDialog's own accept() is protected; through the base it is the same one.
        static_cast<QDialog *>(dialog)->accept();
    });
}

void saveEntryForm(const QWidget *dialog, const QString &name, const QString &topic)
{
    AddNewDeviceForm *form = shown<AddNewDeviceForm>(dialog);
    QVERIFY2(form, "no device entry form is open");
    child<QLineEdit>(form, QStringLiteral("leDeviceName"))->setText(name);
    child<QLineEdit>(form, QStringLiteral("leMQTTTopic"))->setText(topic);
    click(form, QStringLiteral("SetttSaveButton"));
    QVERIFY2(!shown<AddNewDeviceForm>(dialog), "the device entry form stayed open");
}

void typeText(QWidget *widget, const QString &text)
{
    // A keyboard layout delivers a character outside Latin-1 as text on an unknown key.
    for (const QChar ch : text) {
        QTest::sendKeyEvent(QTest::Press, widget, Qt::Key_unknown, QString(ch), Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Release, widget, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
}

void replaceText(QLineEdit *edit, const QString &text)
{
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

QStringList ownMethods(const QMetaObject &meta)
{
    QStringList signatures;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        signatures << QString::fromLatin1(meta.method(i).methodSignature());
    return signatures;
}

std::vector<std::pair<const char *, WidgetAction>> dismissals(const QString &cancelButton, const QString &escapeTarget)
{
    return {
        {"cancel button", [cancelButton](QWidget *dialog) { click(dialog, cancelButton); }},
        {"escape key",
         [escapeTarget](QWidget *dialog) { QTest::keyClick(child<QWidget>(dialog, escapeTarget), Qt::Key_Escape); }},
        {"window closed", [](QWidget *dialog) { dialog->close(); }},
    };
}

QStringList clippedTexts(const QWidget *form)
{
    const auto textOf = [](const QWidget *widget) {
        if (const auto *label = qobject_cast<const QLabel *>(widget))
            return label->text();
        if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
            return button->text();
        return QString();
    };
    const auto covers = [](const QWidget *widget) {
        return qobject_cast<const QLabel *>(widget) || qobject_cast<const QAbstractButton *>(widget) ||
               qobject_cast<const QLineEdit *>(widget) || qobject_cast<const QAbstractSpinBox *>(widget);
    };
    const auto area = [form](const QWidget *widget) { return QRect(widget->mapTo(form, QPoint()), widget->size()); };

    const QList<QWidget *> widgets = form->findChildren<QWidget *>();
    QStringList clipped;
    for (const QWidget *widget : widgets) {
        const QString text = textOf(widget);
        if (text.isEmpty() || !widget->isVisible())
            continue;
        bool whole = widget->width() >= widget->sizeHint().width();
        for (const QWidget *other : widgets) {
            if (whole && other != widget && other->isVisible() && covers(other) && !other->isAncestorOf(widget) &&
                !widget->isAncestorOf(other) && area(other).intersects(area(widget)))
                whole = false;
        }
        if (!whole)
            clipped << text;
    }
    return clipped;
}
