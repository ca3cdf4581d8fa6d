#include "recorder/filechangewatch.h"

#include <QFileInfo>

#include <sys/stat.h>

bool FileChangeWatch::Identity::operator==(const Identity &other) const
{
    return exists == other.exists && device == other.device && inode == other.inode && size == other.size &&
           modifiedNs == other.modifiedNs;
}

FileChangeWatch::FileChangeWatch(const QString &fileName, QObject *parent)
    : QObject(parent), m_fileName(QFileInfo(fileName).absoluteFilePath()),
      m_folder(QFileInfo(m_fileName).absolutePath()), m_identity(identityOf(m_fileName))
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    connect(&m_settle, &QTimer::timeout, this, &FileChangeWatch::look);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &m_settle, qOverload<>(&QTimer::start));
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, &m_settle, qOverload<>(&QTimer::start));
    m_poll.setTimerType(Qt::CoarseTimer);
    connect(&m_poll, &QTimer::timeout, this, [this] {
        watchPaths();
        look();
    });
    m_poll.start(kPollIntervalMs);
    watchPaths();
}

FileChangeWatch::Identity FileChangeWatch::identityOf(const QString &fileName)
{
    Identity identity;
    struct stat status = {};
    if (::stat(QFile::encodeName(fileName).constData(), &status) != 0)
        return identity;
    identity.exists = true;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.size = status.st_size;
    identity.modifiedNs = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    return identity;
}

void FileChangeWatch::watchPaths()
{
    // The folder or the file may come later; the poll's looks try again.
    if (!m_watcher.directories().contains(m_folder) && QFileInfo(m_folder).isDir())
        m_watcher.addPath(m_folder);
    if (!m_watcher.files().contains(m_fileName) && QFileInfo::exists(m_fileName))
        m_watcher.addPath(m_fileName);
}

void FileChangeWatch::look()
{
    const Identity now = identityOf(m_fileName);
    if (now == m_identity)
        return;
    m_identity = now;
    // A watch on the file follows its inode, which may be the old one now.
    if (m_watcher.files().contains(m_fileName))
        m_watcher.removePath(m_fileName);
    watchPaths();
    emit changed();
}
