#pragma once

#include <QString>

#include <optional>

// One meter reading: the eight integers of a meter's JSON payload.
struct Reading
{
    int devType = 0;
    int devMode = 0;
    int numStarts = 0;
    int tCommon = 0;
    int tCurrent = 0;
    int tLast = 0;
    int voltage = 0;
    int freq = 0;

    friend bool operator==(const Reading &a, const Reading &b);
    friend bool operator!=(const Reading &a, const Reading &b) { return !(a == b); }
};

// The payload text as a reading, or nothing when the text gives none.
std::optional<Reading> ParsePayload(const QString &payload);

QString ModelName(int code);
QString ModeName(int code);
QString FormatDuration(int seconds);
