#pragma once

#include "measurement/payload.h"

#include <QString>

#include <optional>

// A payload read the plain way, through a JSON document, member by member:
// what the decoder must come to on every input, shortcut or not.
std::optional<Reading> jsonDocumentReading(const QString &payload);

// The texts the panel shows for a reading, in the order of kValueLabels.
QStringList readingTexts(const Reading &reading);

// The object names of the panel's eight value labels, in the order of
// Reading's members.
extern const char *const kValueLabels[8];
