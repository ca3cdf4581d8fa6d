#include "recorder/logwriter.h"

#include <QDateTime>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

LogWriter::LogWriter(int fd) : m_fd(fd), m_journal(isJournalStream(fd)) {}

bool LogWriter::isJournalStream(int fd)
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const int colon = stream.indexOf(':');
    struct stat status = {};
    if (colon < 0 || ::fstat(fd, &status) != 0)
        return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = stream.left(colon).toULongLong(&deviceOk);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&inodeOk);
    return deviceOk && inodeOk && device == qulonglong(status.st_dev) && inode == qulonglong(status.st_ino);
}

QByteArray LogWriter::line(LogPriority priority, const QString &text) const
{
    QString clean = text;
    for (QChar &c : clean) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    const QString start = m_journal ? QStringLiteral("<%1>").arg(int(priority))
                                    : QDateTime::currentDateTime().toString(Qt::ISODate) + QLatin1Char(' ');
    return (start + clean).toUtf8();
}

void LogWriter::write(LogPriority priority, const QString &text) const
{
    // One write per line, so that lines of other writers never cut into it.
    const QByteArray bytes = line(priority, text) + '\n';
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(m_fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nowhere to say it
        done += written;
    }
}
