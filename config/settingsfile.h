#pragma once

#include "base/defaults.h"
#include "config/deviceentry.h"

#include <QCoreApplication>
#include <QDate>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <optional>

// A value of Settings.conf that its reader did not use, and why, in words
// for the status bar.
struct IgnoredValue
{
    QString key; // "MQTT/KeepAlive"
    QString reason;
};

// The broker settings of group MQTT.
struct BrokerSettings
{
    QString host;
    QString clientId;
    QString username;
    QString password;
    int port = 0;
};

// The optional keys of group MQTT beyond the broker form's: how the session
// behaves and whether it speaks TLS. Without any of them in the file the
// program connects as it always has.
struct ConnectionOptions
{
    static constexpr int kDefaultKeepAlive = Defaults::kKeepAliveSeconds;
    static constexpr int kMinKeepAlive = Defaults::kMinKeepAliveSeconds;
    static constexpr int kMaxKeepAlive = Defaults::kMaxKeepAliveSeconds;

    bool autoReconnect = false;
    bool connectOnStart = false;
    int keepAlive = kDefaultKeepAlive; // seconds
    bool tls = false;
    QString caFile; // empty: the system's CA store
    QString certFile;
    QString keyFile;
    bool tlsVerifyHost = true;
    // Protocol=5: MQTT 5, which lets the client cap the packets the broker
    // sends; 3.1.1 otherwise. Read only: no dialog sets it.
    bool mqtt5 = false;
    // On reading: the values that were out of range or malformed, so that
    // their defaults apply instead, in key order.
    QVector<IgnoredValue> ignored;
};

// Why Settings.conf could not be read. An absent file is no problem: it
// reads as empty.
struct ReadProblem
{
    enum Kind
    {
        None,
        Unreadable,
        TooLarge
    };
    Kind kind = None;
    QString detail; // Unreadable: why, in words
};

// All that an attempt to connect reads, from one reading of the file.
struct SessionSettings
{
    BrokerSettings broker; // with the defaults used at connect time
    ConnectionOptions options;
    // Values of group MQTT that were ignored, not text or out of range.
    QVector<IgnoredValue> ignored;
    // Those of the groups the program reads (MQTT, Devices).
    QVector<IgnoredValue> ignoredInFile;
    // When the file could not be read, nothing of the above comes from it.
    ReadProblem problem;
};

// Where the history is kept, in group History: the SQLite file beside
// Settings.conf (the default), or a PostgreSQL database that a plant's
// recorder and its clients share. Every key is optional and only read: no
// dialog writes them.
struct HistoryStoreSettings
{
    enum class Kind
    {
        File,      // Store=sqlite, or no Store
        PostgreSql // Store=postgresql
    };
    static constexpr int kDefaultPort = 5432;

    Kind kind = Kind::File;
    QString host = QStringLiteral("localhost");  // Host: a name, an address or a socket folder
    int port = kDefaultPort;                     // Port
    QString database = QStringLiteral("zelmar"); // Database
    QString user = QStringLiteral("zelmar");     // User
    QString password;                            // Password, in clear text as the broker's
    QString sslMode = QStringLiteral("prefer");  // SslMode, as libpq's sslmode
    // On reading: the keys (e.g. "History/Store") whose values were not
    // understood, so that their defaults apply instead.
    QStringList ignoredKeys;

    // The same database, reached the same way.
    bool sameTarget(const HistoryStoreSettings &other) const;
};

// Recording of every meter's readings, group History. Both keys are optional:
// without them nothing is recorded to disk.
struct HistorySettings
{
    static constexpr int kDefaultDays = 30;
    static constexpr int kMinDays = 1;
    static constexpr int kMaxDays = 3650;

    bool enabled = false;    // Enabled
    int days = kDefaultDays; // Days: how long readings are kept
};

// Whether a write reached the file. One with nothing to change counts as
// written.
enum class WriteResult
{
    Written,
    Failed
};

// Bounds on a meter's supply, in whole volts and hertz as the meter reports
// them; an absent bound is no limit.
struct SupplyLimits
{
    std::optional<int> voltageMin;
    std::optional<int> voltageMax;
    std::optional<int> frequencyMin;
    std::optional<int> frequencyMax;

    bool operator==(const SupplyLimits &other) const;
    bool operator!=(const SupplyLimits &other) const { return !(*this == other); }
};

// One meter's service by operating hours and its own supply limits, group
// Maintenance. A plan belongs to a topic, not to an entry of the device list,
// so that a meter removed and added again finds it again.
struct MaintenancePlan
{
    QString topic;
    // Service every so many hours of total operating time, and/or every so
    // many starts; none: no plan of that kind.
    std::optional<int> intervalHours;
    std::optional<int> intervalStarts;
    // Each bound given wins over the same bound of [Alarms].
    SupplyLimits limits;
    // The last service: its date (null: none yet, and the plan counts from
    // zero) and the meter's total operating time and starts at that moment.
    QDate markDate;
    qint64 markSeconds = 0;
    qint64 markStarts = 0;

    bool hasInterval() const { return intervalHours || intervalStarts; }
    bool sameMark(const MaintenancePlan &other) const;
};

// Desktop notifications of the meters' events, group Notify; both off unless set.
struct NotifySettings
{
    bool desktop = false; // Desktop: through org.freedesktop.Notifications
    bool tray = false;    // Tray: an icon in the system tray
};

// What watching the meters takes from the file: the supply limits of every
// meter (group Alarms), the maintenance plans and the notifications, from one
// reading of it.
struct WatchSettings
{
    SupplyLimits limits;
    // In file order, at most one per topic (the first one stored for it).
    QVector<MaintenancePlan> plans;
    NotifySettings notify;
    // Values of those groups that were ignored: not text, not numbers, out
    // of range, or a least bound above its greatest.
    QVector<IgnoredValue> ignored;
};

// What a device-list operation leaves behind: the names of the complete
// entries in file order, as the file holds them afterwards (also when the
// write failed), and whether the file could be written.
struct DeviceListResult
{
    QStringList names;
    WriteResult status = WriteResult::Written;
};

// What the advanced settings dialog shows and saves. Read from one reading of
// the file and written in one write, so that a save either keeps all of it or
// none: half of it would be used by the next connection all the same.
struct AdvancedSettings
{
    ConnectionOptions options;
    HistorySettings history;
    NotifySettings notify;
};

class IniDocument;

// Every access to the configuration file. Each call reads the file afresh,
// so each sees what the previous one left, and nothing is remembered between
// calls: a write that failed is gone, not pending somewhere to be used or
// written later. Reading never creates the file; writing leaves it readable
// by its owner only, since it holds the broker password in clear text.
//
// A value that is not text (see IniDocument) reads as absent, so the
// reader's default applies; a write keeps it in the file. A file that
// exists but cannot be read (see ReadProblem) reads as empty, and every
// write to it fails, so that what could not be read is not lost either.
class SettingsFile final
{
    Q_DECLARE_TR_FUNCTIONS(SettingsFile)

public:
    // How long a write waits for Settings.conf.lock, which other instances of
    // the program (and QSettings) take while they write the file.
    static constexpr int kDefaultLockTimeoutMs = 5000;
    // A larger file is not read (ReadProblem::TooLarge).
    static constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;

    explicit SettingsFile(const QString &fileName = QStringLiteral("Settings.conf"));

    // A write that cannot take the lock within this time fails like any
    // other failed write. Values below 0 restore the default.
    void setLockTimeout(int msecs);

    // Broker settings with the defaults of the settings form ("localhost", 1883).
    BrokerSettings readBrokerForEditing() const;
    WriteResult writeBroker(const BrokerSettings &settings) const;

    SessionSettings readSessionSettings() const;
    // Days that is no whole number reads as the default; out of range, as the nearest bound.
    HistorySettings readHistory() const;
    // Where the history is kept; never written.
    HistoryStoreSettings readHistoryStore() const;
    WriteResult writeHistory(const HistorySettings &settings) const;
    AdvancedSettings readAdvancedSettings() const;
    // Writes every key of all three, and nothing else.
    WriteResult writeAdvancedSettings(const AdvancedSettings &settings) const;

    // Groups Alarms, Maintenance and Notify.
    WatchSettings readWatchSettings() const;
    // The plan stored for topic, or an empty one for it.
    MaintenancePlan readMaintenancePlan(const QString &topic) const;
    // Replaces the plan stored for its topic, or appends it; a bound or
    // interval that is none is removed from the file.
    WriteResult writeMaintenancePlan(const MaintenancePlan &plan) const;

    // The complete entries in file order; never writes.
    QVector<DeviceEntry> readDevices() const;

    // Drops the incomplete entries from the file, rewriting it when it holds
    // any, and returns the names of the rest. Unlike readDevices() this writes.
    // While an entry holds a value that is not text, nothing is dropped
    // or moved: that value could not go with its entry.
    DeviceListResult compactDeviceList() const;
    // Replaces the lowest-index entry whose topic equals `topic` or whose name
    // equals `name`, or appends one; then compacts like compactDeviceList().
    DeviceListResult storeDevice(const QString &name, const QString &topic) const;

    // Row-based edits: row is the index among the complete entries, as the
    // device list shows them.
    DeviceEntry deviceAt(int row) const;
    DeviceListResult replaceDeviceAt(int row, const QString &name, const QString &topic) const;
    DeviceListResult removeDeviceAt(int row) const;

private:
    // The file as it is now; an absent file, and one that cannot be read
    // whole, is an empty document. problem says which.
    IniDocument load(ReadProblem *problem = nullptr) const;
    // Applies change to the file's document and writes the result, under the
    // lock. change says whether it changed anything; unless it always does, it
    // runs first on the file as it is, so that nothing is locked, created or
    // written when there is nothing to write. Only the run under the lock
    // counts.
    enum class Change
    {
        Maybe,
        Always
    };
    WriteResult modify(const std::function<bool(IniDocument &)> &change, Change kind = Change::Maybe) const;

    static BrokerSettings readBroker(const IniDocument &document, const QString &defaultHost,
                                     const QString &defaultPort);
    static ConnectionOptions readConnectionOptions(const IniDocument &document);
    // The values of group that are not text.
    static QVector<IgnoredValue> notText(const IniDocument &document, const QString &group);
    static HistorySettings readHistory(const IniDocument &document);
    static WatchSettings readWatchSettings(const IniDocument &document);
    static HistoryStoreSettings readHistoryStore(const IniDocument &document);
    // What the list shows after a device was written (kept), or after the
    // write failed.
    DeviceListResult afterWrite(WriteResult status, const QStringList &kept) const;
    QStringList completeNamesInFile() const;
    // Rewrites the array with the complete entries that keep accepts (given
    // their row among the complete entries), when anything is dropped.
    DeviceListResult keepDevices(const std::function<bool(int)> &keep) const;

    const QString m_fileName;
    int m_lockTimeoutMs = kDefaultLockTimeoutMs;
};
