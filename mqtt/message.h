#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

namespace QMQTT {

// One application message as it came from the broker: the topic and the
// payload bytes exactly as published (zero bytes included).
class Message
{
public:
    Message() = default;
    Message(const QString &topic, const QByteArray &payload, quint8 qos = 0, bool retain = false);

    QString topic() const { return m_topic; }
    QByteArray payload() const { return m_payload; }
    quint8 qos() const { return m_qos; }
    bool retain() const { return m_retain; }

private:
    QString m_topic;
    QByteArray m_payload;
    quint8 m_qos = 0;
    bool m_retain = false;
};

} // namespace QMQTT

Q_DECLARE_METATYPE(QMQTT::Message)
