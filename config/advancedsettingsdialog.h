#pragma once

#include <QDialog>
#include <QStringList>

namespace Ui {
class AdvancedSettingsDialog;
}
class QLineEdit;

// Edits the optional connection settings of Settings.conf (automatic
// reconnection, connecting at start-up, keep-alive, TLS), which take effect at
// the next connection, the history's ([History] Enabled and Days) and the
// notifications' ([Notify] Desktop and Tray), which the main window applies
// when the dialog closes. Bad values are refused
// with a message naming the field, and then nothing is written; with TLS off,
// a path left as it was read is kept unchecked. The settings stand in group
// boxes stacked in a vertical layout, so a further group goes in beside them.
class AdvancedSettingsDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AdvancedSettingsDialog)

public:
    explicit AdvancedSettingsDialog(QWidget *parent = nullptr);
    ~AdvancedSettingsDialog() override;

private:
    void save();
    void choosePath(QLineEdit *edit, const QString &title);
    // The first field whose value cannot be saved, as the message saying so.
    QString refusal() const;
    void warn(const QString &title, const QString &text);

    Ui::AdvancedSettingsDialog *ui;
    // The CA, certificate and key paths as read from the file.
    QStringList m_storedPaths;
};
