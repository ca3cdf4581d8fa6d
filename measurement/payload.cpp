#include "measurement/payload.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <QStringView>

#include <cmath>
#include <iterator>
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

// A meter's own text is one flat object of whole numbers without white space, e.g.
// {"dev_type":10,"dev_mode":0,...}. Read directly, it costs a fraction of building a JSON
// document, which was most of the cost of showing a reading. Only text that QJsonDocument reads
// the same way is taken here: plain lower-case keys, none of the eight twice, integers without
// fraction, exponent or leading zero. Anything else returns false and takes the general way.
bool readMeterText(const QString &payload, Reading *reading)
{
    struct Member
    {
        QLatin1String key;
        int Reading::*field;
    };
    static const Member kMembers[] = {
        {QLatin1String("dev_type"), &Reading::devType},     {QLatin1String("dev_mode"), &Reading::devMode},
        {QLatin1String("num_starts"), &Reading::numStarts}, {QLatin1String("t_common"), &Reading::tCommon},
        {QLatin1String("t_current"), &Reading::tCurrent},   {QLatin1String("t_last"), &Reading::tLast},
        {QLatin1String("voltage"), &Reading::voltage},      {QLatin1String("freq"), &Reading::freq},
    };
    // 18 digits cannot overflow a qint64; longer numbers are out of range anyway, but rare
    // enough to leave to the general way.
    constexpr int kMaxDigits = 18;

    const QChar *at = payload.constData();
    const QChar *const end = at + payload.size();
    const auto next = [&at, end](char16_t wanted) {
        if (at == end || at->unicode() != wanted)
            return false;
        ++at;
        return true;
    };
    const auto isDigit = [](QChar c) { return c.unicode() >= u'0' && c.unicode() <= u'9'; };

    if (!next(u'{'))
        return false;
    unsigned seen = 0;
    // Meters send the keys in one order: the search for the next starts after the last found.
    unsigned last = 0;
    while (true) {
        if (!next(u'"'))
            return false;
        const QChar *const key = at;
        while (at != end && ((at->unicode() >= u'a' && at->unicode() <= u'z') || at->unicode() == u'_'))
            ++at;
        const QStringView name(key, at - key);
        if (name.isEmpty() || !next(u'"') || !next(u':'))
            return false;

        const bool negative = next(u'-');
        const QChar *const digits = at;
        qint64 value = 0;
        while (at != end && isDigit(*at) && at - digits < kMaxDigits) {
            value = value * 10 + (at->unicode() - u'0');
            ++at;
        }
        const auto length = at - digits;
        if (length == 0 || (length > 1 && digits->unicode() == u'0'))
            return false;
        if (at == end || (at->unicode() != u',' && at->unicode() != u'}'))
            return false;
        if (negative)
            value = -value;

        for (unsigned tried = 0; tried < std::size(kMembers); ++tried) {
            const unsigned i = (last + tried) % std::size(kMembers);
            if (name.size() != kMembers[i].key.size() || name != kMembers[i].key)
                continue;
            last = i + 1;
            if (seen & (1u << i))
                return false;
            seen |= 1u << i;
            const bool inRange = value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
            reading->*kMembers[i].field = inRange ? int(value) : 0;
            break;
        }
        if (next(u'}'))
            return at == end;
        ++at; // the comma
    }
}

} // namespace

bool operator==(const Reading &a, const Reading &b)
{
    return a.devType == b.devType && a.devMode == b.devMode && a.numStarts == b.numStarts && a.tCommon == b.tCommon &&
           a.tCurrent == b.tCurrent && a.tLast == b.tLast && a.voltage == b.voltage && a.freq == b.freq;
}

std::optional<Reading> ParsePayload(const QString &payload)
{
    Reading meter;
    if (readMeterText(payload, &meter))
        return meter;

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
