#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

// Tells when a file changes, also when it is replaced by another: the
// program's own saves write a new file and rename it over the old one, which
// a watch on the file alone loses after the first. So the folder is watched
// as well, and every event, and a look every few seconds in case the events
// miss one (a network file system, a folder made later), compares the file's
// identity (inode, size, modification time) with what it was. A burst of
// events (lock file, temporary file, rename) is looked at once, a moment
// after it ends.
class FileChangeWatch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileChangeWatch)

public:
    static constexpr int kPollIntervalMs = 5000;
    static constexpr int kSettleMs = 100;

    explicit FileChangeWatch(const QString &fileName, QObject *parent = nullptr);

signals:
    // The file is not what it was: changed, replaced, made or gone.
    void changed();

private:
    struct Identity
    {
        bool exists = false;
        qulonglong device = 0;
        qulonglong inode = 0;
        qint64 size = 0;
        qint64 modifiedNs = 0;

        bool operator==(const Identity &other) const;
    };
    static Identity identityOf(const QString &fileName);
    void look();
    void watchPaths();

    const QString m_fileName;
    const QString m_folder;
    Identity m_identity;
    QFileSystemWatcher m_watcher;
    QTimer m_settle;
    QTimer m_poll;
};
