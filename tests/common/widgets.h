#pragma once

// Driving the real widgets by object name, as a user would. A widget that must
// be there and is not ends the run with its name: every later step would only
// fail for the same reason.

#include <QMessageBox>
#include <QMetaObject>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <utility>
#include <vector>

class QAction;
class QLineEdit;

[[noreturn]] void failMissingChild(const QObject *parent, const char *type, const QString &name);

// The child of `parent` called `name`; ends the run if there is none.
template <typename T> T *child(const QObject *parent, const QString &name)
{
    T *found = parent->findChild<T *>(name);
    if (!found)
        failMissingChild(parent, T::staticMetaObject.className(), name);
    return found;
}

// The visible child of type T (the form or box open now, not one waiting for deletion), or nullptr.
template <typename T> T *shown(const QObject *parent)
{
    for (T *candidate : parent->findChildren<T *>()) {
        if (candidate->isVisible())
            return candidate;
    }
    return nullptr;
}

// Opens a dialog the way its opener does: modal, deleted on close, no help button.
template <typename T, typename... Args> T *openModal(QWidget *opener, Args &&...args)
{
    auto *dialog = new T(opener, std::forward<Args>(args)...);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowFlags(dialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    dialog->setModal(true);
    dialog->show();
    return dialog;
}

// Triggers the action `actionName` of the window.
void triggerAction(QWidget *window, const QString &actionName);
// Triggers the window's action `actionName` and returns the dialog of type T it opened, or nullptr.
template <typename T> T *openByAction(QWidget *window, const QString &actionName)
{
    triggerAction(window, actionName);
    return shown<T>(window);
}

// Opens the context menu of the window's tab `tab` as a right click does and triggers its
// action `actionName`; false if no menu opened.
bool triggerTabMenuAction(QWidget *window, int tab, const QString &actionName);

// Clicks the push button `name` under `parent` with the mouse.
void click(const QWidget *parent, const QString &name);
// The texts of the rows of the device list ("listWidget") under `parent`.
QStringList rows(const QWidget *parent);
// Clicks row `row` of the device list under `parent`.
void selectRow(const QWidget *parent, int row);
// Double-clicks row `row` as a mouse does: a click first, then the double click.
void doubleClickRow(const QWidget *parent, int row);
// The titles of the window's device tabs ("tabWidget").
QStringList tabTitles(const QWidget *window);
// The page (a device's panel) of tab `index` of the window.
QWidget *tabPage(const QWidget *window, int index);
// The text of the label `name` under `parent`.
QString labelText(const QWidget *parent, const QString &name);
// The window's status bar message.
QString statusText(const QWidget *window);
// Whether the settings entries of the window's menu (MQTT, Устройства, Дополнительно…) are enabled.
bool settingsMenusEnabled(const QWidget *window);
// The text of the message box open under `parent` after clicking `button` in it;
// "<no message box>" when none is open.
QString answerMessageBox(const QWidget *parent, QMessageBox::StandardButton button = QMessageBox::Ok);
// Answers the next modal file dialog (a save or open dialog) with `fileName`, as if typed and
// accepted; `offered` (if given, and alive until then) gets the file the dialog offered first.
void answerFileDialog(const QString &fileName, QString *offered = nullptr);
// Fills the device entry form open under `dialog` and saves it; fails if it stays open.
void saveEntryForm(const QWidget *dialog, const QString &name, const QString &topic);
// Types `text` key by key, Cyrillic included (QTest::keyClicks knows Latin-1 only).
void typeText(QWidget *widget, const QString &text);
// Selects all of the line edit, deletes it and types `text`.
void replaceText(QLineEdit *edit, const QString &text);
// The signatures of the methods the class itself declares, in declaration order.
QStringList ownMethods(const QMetaObject &meta);
// The texts of the shown labels and buttons under `form` that do not show
// whole: narrower than their text needs, or partly covered by a neighbour.
QStringList clippedTexts(const QWidget *form);

// Something done to a dialog, for function columns of data-driven tests.
using WidgetAction = std::function<void(QWidget *)>;
Q_DECLARE_METATYPE(WidgetAction)

// The ways to leave a dialog without saving, named for data rows: its cancel
// button, the escape key pressed in `escapeTarget`, and closing the window.
std::vector<std::pair<const char *, WidgetAction>> dismissals(const QString &cancelButton, const QString &escapeTarget);
