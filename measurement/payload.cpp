#include "measurement/payload.h"

// Placeholder until the decoder lands.
bool operator==(const Reading &a, const Reading &b)
{
    return a.devType == b.devType && a.devMode == b.devMode && a.numStarts == b.numStarts && a.tCommon == b.tCommon
           && a.tCurrent == b.tCurrent && a.tLast == b.tLast && a.voltage == b.voltage && a.freq == b.freq;
}

std::optional<Reading> ParsePayload(const QString &) { return std::nullopt; }
QString ModelName(int) { return QStringLiteral("unknown"); }
QString ModeName(int) { return QStringLiteral("unknown"); }
QString FormatDuration(int) { return QString(); }
