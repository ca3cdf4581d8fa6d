#include "mqtt/message.h"

namespace QMQTT {

Message::Message(const QString &topic, const QByteArray &payload, quint8 qos, bool retain)
    : m_topic(topic), m_payload(payload), m_qos(qos), m_retain(retain)
{
}

} // namespace QMQTT
