#pragma once

#include "config/settingsfile.h"
#include "history/historystorage.h"
#include "history/postgreshistorystore.h"

#include <QString>

#include <memory>
#include <optional>

// Where a recorder keeps the readings for good, and whether it writes them
// there: the history file, the database a plant shares, or nowhere (memory
// only, the last hour, for the charts).
struct HistoryTarget
{
    QString fileName; // the SQLite file, when the history is not shared
    std::optional<PostgresConnection> shared;
    // The readings go there. Without, a shared history is only read: a
    // window with recording off charts what a recorder service wrote, and
    // keeps its own readings in memory for the time it cannot be reached.
    bool records = true;

    static HistoryTarget file(const QString &fileName) { return {fileName, std::nullopt, !fileName.isEmpty()}; }
    // As Settings.conf says: `store` where the history is kept, `records`
    // whether this program writes it ([History] Enabled, or always for the
    // recorder service), `fileName` the file it would be.
    static HistoryTarget of(const HistoryStoreSettings &store, bool records, const QString &fileName);
    bool isMemoryOnly() const { return fileName.isEmpty() && !shared; }
    bool writesDurably() const { return records && !isMemoryOnly(); }
    // The file's name, or user@host:port/database: never a password.
    QString description() const;
    // The store of the target, opened: a failure leaves it closed, with its reason.
    std::unique_ptr<HistoryStorage> open(const HistoryRetention &retention) const;
};
