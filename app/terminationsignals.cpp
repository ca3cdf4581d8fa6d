#include "app/terminationsignals.h"

#include <QSocketNotifier>
#include <QtGlobal>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The handler can reach nothing but globals; lock-free, so safe to read there.
std::atomic<int> writeEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void onSignal(int number)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(number);
    // A full pipe already holds a quit request, so a lost byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(writeEnd.load(), &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent)
{
    Q_ASSERT(writeEnd.load() == -1);
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("cannot watch for SIGTERM and SIGINT: %s", std::strerror(errno));
        return;
    }
    writeEnd.store(m_pipe[1]);
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPipe);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    // A signal ignored by whoever started the program stays ignored: a shell
    // ignores SIGINT for a job it starts in the background, which the
    // terminal's Ctrl-C is not meant for.
    const auto watch = [&action](int number, struct sigaction *previous) {
        ::sigaction(number, nullptr, previous);
        if (previous->sa_handler != SIG_IGN)
            ::sigaction(number, &action, nullptr);
    };
    watch(SIGTERM, &m_previousTerm);
    watch(SIGINT, &m_previousInt);
}

TerminationSignals::~TerminationSignals()
{
    if (m_pipe[0] == -1)
        return;
    ::sigaction(SIGTERM, &m_previousTerm, nullptr);
    ::sigaction(SIGINT, &m_previousInt, nullptr);
    writeEnd.store(-1);
    delete m_notifier;
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
}

void TerminationSignals::readPipe()
{
    unsigned char byte = 0;
    while (::read(m_pipe[0], &byte, 1) == 1)
        emit received(byte);
}
