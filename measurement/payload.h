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

// The payload text as a reading, or nothing when the text is not a JSON object or array.
// A member counts only as a whole number inside the signed 32-bit range; anything else reads as 0.
std::optional<Reading> ParsePayload(const QString &payload);

// The texts the panel shows for a model code, a mode code and a number of seconds.
QString ModelName(int code);
QString ModeName(int code);
// "hh:mm:ss" with unbounded hours; a negative duration gets one leading minus.
QString FormatDuration(int seconds);
