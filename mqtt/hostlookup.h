#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

class QObject;

namespace QMQTT {

// One host name's lookup at a time, away from the event loop: libmosquitto
// would look a name up with a blocking getaddrinfo() on the caller's thread,
// so the client hands it addresses only. The lookup runs on a thread of its
// own that nothing ever waits for, not even the end of the program (Qt's
// lookup threads are waited for at exit, so a resolver that never answers
// held the program after "Выход"). The answer is posted to the event loop of
// a context object; a lookup dropped or replaced in the meantime is never
// answered.
class HostLookup final
{
public:
    // Blocks as long as it takes; the addresses in the order to try them.
    using Resolver = std::function<QList<QHostAddress>(const QString &hostName)>;
    using Answer = std::function<void(const QList<QHostAddress> &addresses)>;

    HostLookup() = default;
    ~HostLookup();
    Q_DISABLE_COPY_MOVE(HostLookup)

    // Drops the pending lookup, if any, and starts one of hostName with
    // resolver. answer runs on context's thread, from its event loop, unless
    // the lookup is dropped first; context must outlive this object or the
    // lookup. False if no thread could be started.
    bool start(const QString &hostName, const Resolver &resolver, QObject *context, Answer answer);
    // The pending lookup's answer will never be delivered.
    void drop();

    // The system's resolver (getaddrinfo): the TCP addresses of the name in
    // the order the system prefers them, each once; none if it is unknown.
    static QList<QHostAddress> systemResolver(const QString &hostName);

private:
    struct Mailbox;
    std::shared_ptr<Mailbox> m_mailbox;
};

} // namespace QMQTT
