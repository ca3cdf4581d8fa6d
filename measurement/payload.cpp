#include "measurement/payload.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>
#include <limits>

namespace {

// The panel shows these texts, so they share its translation context.
QString translated(const char *text)
{
    return QCoreApplication::translate("MeasDialog", text);
}

// QJsonValue::toInt got its range check only late in Qt 5.15 (older patch levels cast an
// out-of-range double straight to int), so the rule is spelled out here rather than inherited.
int wholeInt32(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (number < double(std::numeric_limits<int>::min()) || number > double(std::numeric_limits<int>::max()))
        return 0;
    if (std::trunc(number) != number)
        return 0;
    return int(number);
}

} // namespace

bool operator==(const Reading &a, const Reading &b)
{
    return a.devType == b.devType && a.devMode == b.devMode && a.numStarts == b.numStarts && a.tCommon == b.tCommon &&
           a.tCurrent == b.tCurrent && a.tLast == b.tLast && a.voltage == b.voltage && a.freq == b.freq;
}

std::optional<Reading> ParsePayload(const QString &payload)
{
    const QJsonDocument document = QJsonDocument::fromJson(payload.toUtf8());
    if (document.isEmpty())
        return std::nullopt;

    // A top-level array is still a reading: its object() is empty, so every value reads as 0.
    const QJsonObject object = document.object();
    Reading reading;
    reading.devType = wholeInt32(object.value(QLatin1String("dev_type")));
    reading.devMode = wholeInt32(object.value(QLatin1String("dev_mode")));
    reading.numStarts = wholeInt32(object.value(QLatin1String("num_starts")));
    reading.tCommon = wholeInt32(object.value(QLatin1String("t_common")));
    reading.tCurrent = wholeInt32(object.value(QLatin1String("t_current")));
    reading.tLast = wholeInt32(object.value(QLatin1String("t_last")));
    reading.voltage = wholeInt32(object.value(QLatin1String("voltage")));
    reading.freq = wholeInt32(object.value(QLatin1String("freq")));
    return reading;
}

QString ModelName(int code)
{
    switch (code) {
    case 1:
        return translated("Zelmar-A");
    case 10:
        return translated("Zelmar-B");
    case 20:
        return translated("Zelmar-C");
    default:
        return translated("unknown");
    }
}

QString ModeName(int code)
{
    switch (code) {
    case 0:
        return translated("счёт");
    case 1:
        return translated("индикация");
    default:
        return translated("unknown");
    }
}

QString FormatDuration(int seconds)
{
    // Formatting each field with its own sign would print -3661 as "-1:-1:-1"; format the
    // magnitude instead, widened so that the most negative int has one. Written out by hand:
    // QString::asprintf cost more than all the rest of showing a reading.
    const bool negative = seconds < 0;
    const qint64 magnitude = negative ? -qint64(seconds) : qint64(seconds);
    qint64 hours = magnitude / 3600;
    const int rest = int(magnitude % 3600);

    char text[16]; // "-596523:14:08" at the most
    char *end = text + sizeof text;
    char *at = end;
    const auto twoDigits = [&at](int value) {
        *--at = char('0' + value % 10);
        *--at = char('0' + value / 10);
    };
    twoDigits(rest % 60);
    *--at = ':';
    twoDigits(rest / 60);
    *--at = ':';
    do {
        *--at = char('0' + hours % 10);
        hours /= 10;
    } while (hours > 0);
    if (end - at < 8) // one-digit hours get their leading zero
        *--at = '0';
    if (negative)
        *--at = '-';
    return QString::fromLatin1(at, int(end - at));
}
