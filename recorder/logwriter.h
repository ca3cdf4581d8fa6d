#pragma once

#include <QString>

// How much a line of the log matters, as syslog and the journal count it.
enum class LogPriority
{
    Error = 3,
    Warning = 4,
    Notice = 5,
    Info = 6
};

// Writes the recorder's log to standard error (or another descriptor), one
// line per call. When standard error is the journal's (systemd says so in
// JOURNAL_STREAM), each line starts with its priority as "<4>", which the
// journal takes off and keeps as the entry's priority; anywhere else it
// starts with the local time, which the journal would add by itself. Texts
// are hand-written in part (topics, file names), so control characters are
// replaced: a line break in a topic cannot make a line of its own.
class LogWriter final
{
public:
    explicit LogWriter(int fd = 2);

    void write(LogPriority priority, const QString &text) const;
    // The line as written, without its line break.
    QByteArray line(LogPriority priority, const QString &text) const;

    // Whether fd is the stream systemd named in JOURNAL_STREAM ("device:inode").
    static bool isJournalStream(int fd);

private:
    const int m_fd;
    const bool m_journal;
};
