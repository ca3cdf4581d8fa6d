#include "mqtt/hostlookup.h"

#include <QMetaObject>
#include <QObject>
#include <QUrl>

#include <mutex>
#include <system_error>
#include <thread>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace QMQTT {

// Where a lookup thread leaves its answer. The owner closes it when it no
// longer wants the answer; the thread posts only while it is open, under the
// mutex, so it never posts to a context that has gone. A posted answer that
// arrives after the owner closed the box is dropped on delivery.
struct HostLookup::Mailbox
{
    std::mutex mutex;
    bool open = true;
    QObject *context = nullptr;
    Answer answer;

    void close()
    {
        const std::lock_guard<std::mutex> guard(mutex);
        open = false;
        context = nullptr;
    }
};

HostLookup::~HostLookup()
{
    drop();
}

bool HostLookup::start(const QString &hostName, const Resolver &resolver, QObject *context, Answer answer)
{
    drop();
    auto mailbox = std::make_shared<Mailbox>();
    mailbox->context = context;
    mailbox->answer = std::move(answer);
    try {
        std::thread([mailbox, resolver, hostName] {
            const QList<QHostAddress> addresses = resolver(hostName);
            const std::lock_guard<std::mutex> guard(mailbox->mutex);
            if (!mailbox->open)
                return;
            QMetaObject::invokeMethod(
                mailbox->context,
                [mailbox, addresses] {
                    // On the context's thread, like drop(): no lock needed.
                    if (mailbox->open) {
                        mailbox->open = false;
                        mailbox->answer(addresses);
                    }
                },
                Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error &) {
        return false;
    }
    m_mailbox = std::move(mailbox);
    return true;
}

void HostLookup::drop()
{
    if (m_mailbox) {
        m_mailbox->close();
        m_mailbox.reset();
    }
}

QList<QHostAddress> HostLookup::systemResolver(const QString &hostName)
{
    // DNS carries international names in their ASCII (punycode) form.
    const QByteArray asciiName = QUrl::toAce(hostName);
    if (asciiName.isEmpty())
        return {};
    // Both families, and the system's order: glibc sorts the addresses by
    // RFC 6724, those it cannot reach from here last, and the client tries
    // them in turn, so an address family the machine lacks costs one failed
    // connect, not the attempt.
    addrinfo wanted{};
    wanted.ai_family = AF_UNSPEC;
    wanted.ai_socktype = SOCK_STREAM;
    wanted.ai_protocol = IPPROTO_TCP;
    addrinfo *found = nullptr;
    if (getaddrinfo(asciiName.constData(), nullptr, &wanted, &found) != 0)
        return {};
    const std::unique_ptr<addrinfo, void (*)(addrinfo *)> release(found, &freeaddrinfo);

    QList<QHostAddress> addresses;
    for (const addrinfo *entry = found; entry; entry = entry->ai_next) {
        const QHostAddress address(entry->ai_addr);
        // /etc/hosts may name one address twice; a silent one would cost
        // the connect timeout twice.
        if (!address.isNull() && !addresses.contains(address))
            addresses.append(address);
    }
    return addresses;
}

} // namespace QMQTT
