#include "history/historytarget.h"

#include "history/historystore.h"

#include <QFileInfo>

HistoryTarget HistoryTarget::of(const HistoryStoreSettings &store, bool records, const QString &fileName)
{
    if (store.kind == HistoryStoreSettings::Kind::File)
        return file(records ? fileName : QString());
    const PostgresConnection connection{store.host, store.port,     store.database,
                                        store.user, store.password, store.sslMode};
    return {QString(), connection, records};
}

QString HistoryTarget::description() const
{
    return shared ? PostgresHistoryStore::describe(*shared) : QFileInfo(fileName).fileName();
}

std::unique_ptr<HistoryStorage> HistoryTarget::open(const HistoryRetention &retention) const
{
    if (shared) {
        auto store = std::make_unique<PostgresHistoryStore>();
        store->open(*shared, retention);
        return store;
    }
    auto store = std::make_unique<HistoryStore>();
    store->open(fileName, retention);
    return store;
}
