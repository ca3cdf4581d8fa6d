#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A fresh temporary directory made the working directory for as long as the
// object lives: the program reads and writes Settings.conf there.
class ScratchDirectory final
{
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;

    bool isValid() const { return m_entered; }
    QString path() const { return m_dir.path(); }

    // Makes Settings.conf unchangeable, even for root (chattr +i); false where
    // the file system cannot. Undone by unlockSettingsFile() or at the end.
    bool lockSettingsFile();
    bool unlockSettingsFile();

private:
    QTemporaryDir m_dir;
    QString m_previous;
    bool m_entered = false;
    bool m_locked = false;
};

// The text of Settings.conf in the working directory, or "<no file>".
QByteArray settingsFileText();
// Replaces Settings.conf with the given bytes; fails the running test if it cannot.
void writeSettingsFileText(const QByteArray &text);
// Which file Settings.conf is now (its inode), -1 if there is none. The
// program replaces the file whenever it writes it, so an unchanged identity
// tells that nothing was written, whatever the text.
qint64 settingsFileIdentity();
