#include "common/jsonreading.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

#include <cmath>
#include <limits>

const char *const kValueLabels[8] = {"label_dev_type",  "label_dev_mode", "label_num_starts", "label_t_common",
                                     "label_t_current", "label_t_last",   "label_voltage",    "label_freq"};

std::optional<Reading> jsonDocumentReading(const QString &payload)
{
    const QJsonDocument document = QJsonDocument::fromJson(payload.toUtf8());
    if (document.isEmpty())
        return std::nullopt;
    const QJsonObject object = document.object();
    const auto member = [&object](const char *key) {
        const QJsonValue value = object.value(QLatin1String(key));
        const double number = value.isDouble() ? value.toDouble() : 0.0;
        if (number < double(std::numeric_limits<int>::min()) || number > double(std::numeric_limits<int>::max()) ||
            std::trunc(number) != number)
            return 0;
        return int(number);
    };
    Reading reading;
    reading.devType = member("dev_type");
    reading.devMode = member("dev_mode");
    reading.numStarts = member("num_starts");
    reading.tCommon = member("t_common");
    reading.tCurrent = member("t_current");
    reading.tLast = member("t_last");
    reading.voltage = member("voltage");
    reading.freq = member("freq");
    return reading;
}

QStringList readingTexts(const Reading &r)
{
    return {ModelName(r.devType),       ModeName(r.devMode),        QString::number(r.numStarts),
            FormatDuration(r.tCommon),  FormatDuration(r.tCurrent), FormatDuration(r.tLast),
            QString::number(r.voltage), QString::number(r.freq)};
}
