#include "config/settingsfile.h"

#include "config/inidocument.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <limits>
#include <optional>

namespace {

const QString kMqttGroup = QStringLiteral("MQTT");
const QString kDeviceArray = QStringLiteral("Devices/DEV");
const QString kSizeKey = QStringLiteral("Devices/DEV/size");
const QString kHistoryEnabledKey = QStringLiteral("History/Enabled");
const QString kHistoryDaysKey = QStringLiteral("History/Days");
const QString kAlarmsGroup = QStringLiteral("Alarms");
const QString kMaintenanceGroup = QStringLiteral("Maintenance");
const QString kPlanArray = QStringLiteral("Maintenance/PLAN");
const QString kPlanSizeKey = QStringLiteral("Maintenance/PLAN/size");
const QString kNotifyGroup = QStringLiteral("Notify");
const QString kNotifyDesktopKey = QStringLiteral("Notify/Desktop");
const QString kNotifyTrayKey = QStringLiteral("Notify/Tray");

QString historyKey(const char *name)
{
    return QStringLiteral("History/") + QLatin1String(name);
}

QString elementGroup(int index)
{
    return kDeviceArray % QLatin1Char('/') % QString::number(index + 1);
}

QString elementKey(int index, const char *name)
{
    return elementGroup(index) % QLatin1Char('/') % QLatin1String(name);
}

QString mqttKey(const char *name)
{
    return kMqttGroup % QLatin1Char('/') % QLatin1String(name);
}

// The text of key, or fallback when the file has none.
QString textOr(const IniDocument &document, const QString &key, const QString &fallback)
{
    const QString text = document.text(key);
    return text.isNull() ? fallback : text;
}

// One element of the device array as stored, complete or not. A missing key
// reads as a null text; a key with an empty value reads as an empty one.
struct StoredDevice
{
    int index = 0; // in the array, from 0
    QString name;
    QString topic;

    bool isComplete() const { return !name.isNull() && !topic.isNull(); }
};

// The device array as far as it can matter. The stored size is hand-editable
// text: a file may claim two billion elements, and asking for each of them
// would take hours (and reserving room for them, gigabytes). Elements without
// any key all read alike, as two null texts, so only the elements that have
// keys are read, plus the first one without, which stands for all the others
// in every search for the first element that matches.
struct StoredArray
{
    int size = 0;                  // DEV/size, never below 0
    int end = 0;                   // one past the last element that has keys
    QVector<StoredDevice> devices; // in index order
};

// Indices of the elements below `size` that have keys, ascending. Element
// number INT_MAX is left out: the array's size is counted in an int, so an
// array holding it could not grow by one.
QVector<int> indicesWithKeys(const IniDocument &document, int size)
{
    QVector<int> indices;
    for (const QString &group : document.childGroups(kDeviceArray)) {
        bool ok = false;
        const int number = group.toInt(&ok);
        // The array is addressed as "3", never "03" or "+3".
        if (ok && number >= 1 && number <= size && number < std::numeric_limits<int>::max() &&
            group == QString::number(number))
            indices.append(number - 1);
    }
    std::sort(indices.begin(), indices.end());
    return indices;
}

StoredArray readArray(const IniDocument &document)
{
    StoredArray array;
    array.size = qMax(0, document.text(kSizeKey).toInt());
    const QVector<int> indices = indicesWithKeys(document, array.size);
    array.end = indices.isEmpty() ? 0 : indices.constLast() + 1;

    // The first index without keys: the first gap, else the one after the end.
    int firstWithout = 0;
    while (firstWithout < indices.size() && indices.at(firstWithout) == firstWithout)
        ++firstWithout;

    array.devices.reserve(indices.size() + 1);
    for (const int index : indices) {
        if (index > firstWithout && array.devices.size() == firstWithout)
            array.devices.append({firstWithout, QString(), QString()});
        array.devices.append(
            {index, document.text(elementKey(index, "dev_name")), document.text(elementKey(index, "topic"))});
    }
    if (firstWithout == indices.size() && firstWithout < array.size)
        array.devices.append({firstWithout, QString(), QString()});
    return array;
}

QStringList completeNames(const QVector<StoredDevice> &stored)
{
    QStringList names;
    for (const StoredDevice &device : stored) {
        if (device.isComplete())
            names.append(device.name);
    }
    return names;
}

// Index in the array of the row-th complete element, or -1.
int indexOfRow(const QVector<StoredDevice> &stored, int row)
{
    if (row < 0)
        return -1;
    for (const StoredDevice &device : stored) {
        if (device.isComplete() && row-- == 0)
            return device.index;
    }
    return -1;
}

// Replaces the array by the kept elements; other keys of group Devices stay.
void writeArray(IniDocument &document, const QVector<DeviceEntry> &kept)
{
    document.remove(kDeviceArray);
    for (int j = 0; j < kept.size(); ++j) {
        document.setText(elementKey(j, "dev_name"), kept.at(j).name);
        document.setText(elementKey(j, "topic"), kept.at(j).topic);
    }
    document.setText(kSizeKey, QString::number(kept.size()));
}

// Stores one element; the size grows to take it in, and never shrinks.
void writeElement(IniDocument &document, int index, int size, const QString &name, const QString &topic)
{
    document.setText(elementKey(index, "dev_name"), name);
    document.setText(elementKey(index, "topic"), topic);
    document.setText(kSizeKey, QString::number(qMax(index + 1, size)));
}

// Drops the incomplete elements of the array, and the complete ones that keep
// refuses (given their row among the complete ones), rewriting the array when
// anything goes; true if it did. keptNames gets the names that stay, in
// order; namesBefore, if given, the complete names before.
//
// A value that is not text cannot be moved to another element (the document
// only reads and writes text), and it must not be lost. So while any
// value of the array is one, the array is not packed: the refused elements are
// removed where they stand, and every other element, incomplete or not, keeps
// its index. Readers skip the gaps; the first compaction after the last such
// value has gone packs the array.
bool compactArray(IniDocument &document, const std::function<bool(int)> &keep, QStringList *keptNames,
                  QStringList *namesBefore = nullptr)
{
    const StoredArray stored = readArray(document);
    if (namesBefore)
        *namesBefore = completeNames(stored.devices);
    QVector<DeviceEntry> kept;
    QVector<int> refused;
    int row = 0;
    for (const StoredDevice &device : stored.devices) {
        if (!device.isComplete())
            continue;
        if (keep(row++))
            kept.append({device.name, device.topic});
        else
            refused.append(device.index);
    }
    keptNames->clear();
    for (const DeviceEntry &entry : qAsConst(kept))
        keptNames->append(entry.name);
    if (!document.ignoredValues(kDeviceArray).isEmpty()) {
        for (const int index : qAsConst(refused))
            document.remove(elementGroup(index));
        return !refused.isEmpty();
    }
    if (kept.size() == stored.size)
        return false;
    writeArray(document, kept);
    return true;
}

const std::function<bool(int)> kKeepAll = [](int) { return true; };

void sortByKey(QVector<IgnoredValue> *values)
{
    std::sort(values->begin(), values->end(),
              [](const IgnoredValue &a, const IgnoredValue &b) { return a.key < b.key; });
}

// The file holds the broker password in clear text, so it is made private to
// its owner before anything is written into it. The new text replaces the
// file through a temporary copy that takes over the old file's permissions,
// so setting them here keeps them on the rewritten file too.
bool prepareForWrite(const QString &fileName)
{
    const QFileInfo info(fileName);
    if (info.exists() && !info.isFile())
        return false;
    if (!QFileInfo(info.absolutePath()).isWritable())
        return false;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    file.close();
    // A file that belongs to someone else keeps the permissions its owner gave it.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

} // namespace

SettingsFile::SettingsFile(const QString &fileName) : m_fileName(fileName) {}

void SettingsFile::setLockTimeout(int msecs)
{
    m_lockTimeoutMs = msecs < 0 ? kDefaultLockTimeoutMs : msecs;
}

IniDocument SettingsFile::load(ReadProblem *problem) const
{
    ReadProblem found;
    QByteArray text;
    QFile file(m_fileName);
    if (!file.exists())
        return {};
    // Not a FIFO or a device either: reading one could block or never end.
    // Read by the size the file has (one more byte tells that it grew past
    // the limit meanwhile): every call reads afresh, so nothing is allocated
    // that the file does not fill.
    const QFileInfo info(file);
    if (info.isDir()) {
        found = {ReadProblem::Unreadable, tr("это папка")};
    } else if (!info.isFile()) {
        found = {ReadProblem::Unreadable, tr("это не обычный файл")};
    } else if (info.size() > kMaxFileSize) {
        found.kind = ReadProblem::TooLarge;
    } else if (!info.isReadable()) {
        found = {ReadProblem::Unreadable, tr("нет прав на чтение")};
    } else if (!file.open(QIODevice::ReadOnly)) {
        found = {ReadProblem::Unreadable, file.errorString()};
    } else {
        text = file.read(qMin(info.size(), kMaxFileSize) + 1);
        if (file.error() != QFileDevice::NoError)
            found = {ReadProblem::Unreadable, file.errorString()};
        else if (text.size() > kMaxFileSize)
            found.kind = ReadProblem::TooLarge;
    }
    if (problem)
        *problem = found;
    if (found.kind != ReadProblem::None)
        return {};
    return IniDocument::fromText(text);
}

WriteResult SettingsFile::modify(const std::function<bool(IniDocument &)> &change, Change kind) const
{
    if (kind == Change::Maybe) {
        IniDocument probe = load();
        if (!change(probe))
            return WriteResult::Written;
    }

    // Taken before anything is changed, or a failure would leave something behind.
    QLockFile lock(m_fileName + QStringLiteral(".lock"));
    if (!lock.tryLock(m_lockTimeoutMs) || !prepareForWrite(m_fileName))
        return WriteResult::Failed;
    ReadProblem problem;
    IniDocument document = load(&problem);
    if (problem.kind != ReadProblem::None)
        return WriteResult::Failed;
    if (!change(document))
        return WriteResult::Written;

    // A write that fails (a full disk, a file size limit) leaves the old file
    // in place: the new text goes to a temporary file, dropped then. Buffered,
    // QSaveFile would lose the error of its last write and commit a cut file.
    QSaveFile file(m_fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return WriteResult::Failed;
    const QByteArray text = document.toText();
    if (file.write(text) != text.size()) {
        file.cancelWriting();
        file.commit();
        return WriteResult::Failed;
    }
    return file.commit() ? WriteResult::Written : WriteResult::Failed;
}

BrokerSettings SettingsFile::readBrokerForEditing() const
{
    return readBroker(load(), QStringLiteral("localhost"), QString::number(Defaults::kMqttPort));
}

SessionSettings SettingsFile::readSessionSettings() const
{
    SessionSettings settings;
    const IniDocument document = load(&settings.problem);
    settings.broker = readBroker(document, QString(), QStringLiteral("0"));
    settings.options = readConnectionOptions(document);
    settings.ignored = notText(document, kMqttGroup) + settings.options.ignored;
    sortByKey(&settings.ignored);
    // Groups nobody reads are not read here either: a large one costs time.
    settings.ignoredInFile =
        notText(document, QStringLiteral("Devices")) + settings.ignored + readWatchSettings(document).ignored;
    return settings;
}

QVector<IgnoredValue> SettingsFile::notText(const IniDocument &document, const QString &group)
{
    QVector<IgnoredValue> ignored;
    for (const IniDocument::Ignored &value : document.ignoredValues(group))
        ignored.append({value.key, tr("не текст, а %1(…)").arg(value.form)});
    return ignored;
}

BrokerSettings SettingsFile::readBroker(const IniDocument &document, const QString &defaultHost,
                                        const QString &defaultPort)
{
    BrokerSettings broker;
    broker.host = textOr(document, mqttKey("Host"), defaultHost);
    broker.clientId = document.text(mqttKey("clientId"));
    broker.username = document.text(mqttKey("username"));
    broker.password = document.text(mqttKey("passwd"));
    broker.port = textOr(document, mqttKey("Port"), defaultPort).toInt();
    return broker;
}

WriteResult SettingsFile::writeBroker(const BrokerSettings &broker) const
{
    return modify(
        [&broker](IniDocument &document) {
            document.setText(mqttKey("Host"), broker.host);
            document.setText(mqttKey("clientId"), broker.clientId);
            document.setText(mqttKey("username"), broker.username);
            document.setText(mqttKey("passwd"), broker.password);
            document.setText(mqttKey("Port"), QString::number(broker.port));
            return true;
        },
        Change::Always);
}

namespace {

// A boolean as QSettings writes one; also 1 and 0, in any case and spacing.
std::optional<bool> toBool(const QString &text)
{
    const QString value = text.trimmed().toLower();
    if (value == QLatin1String("true") || value == QLatin1String("1"))
        return true;
    if (value == QLatin1String("false") || value == QLatin1String("0"))
        return false;
    return std::nullopt;
}

QString fromBool(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

ConnectionOptions SettingsFile::readConnectionOptions(const IniDocument &document)
{
    ConnectionOptions options;
    const auto readBool = [&](const char *name, bool *target) {
        const QString text = document.text(mqttKey(name));
        if (text.isNull())
            return;
        if (const std::optional<bool> value = toBool(text))
            *target = *value;
        else
            options.ignored.append({mqttKey(name), tr("не true и не false")});
    };
    readBool("AutoReconnect", &options.autoReconnect);
    readBool("ConnectOnStart", &options.connectOnStart);
    readBool("Tls", &options.tls);
    readBool("TlsVerifyHost", &options.tlsVerifyHost);

    const QString keepAlive = document.text(mqttKey("KeepAlive"));
    if (!keepAlive.isNull()) {
        bool ok = false;
        const int seconds = keepAlive.toInt(&ok);
        if (ok && seconds >= ConnectionOptions::kMinKeepAlive && seconds <= ConnectionOptions::kMaxKeepAlive)
            options.keepAlive = seconds;
        else if (ok)
            options.ignored.append(
                {mqttKey("KeepAlive"),
                 tr("не от %1 до %2").arg(ConnectionOptions::kMinKeepAlive).arg(ConnectionOptions::kMaxKeepAlive)});
        else
            options.ignored.append({mqttKey("KeepAlive"), tr("не целое число")});
    }

    const QString protocol = document.text(mqttKey("Protocol"));
    if (!protocol.isNull()) {
        if (protocol.trimmed() == QLatin1String("5"))
            options.mqtt5 = true;
        else if (protocol.trimmed() != QLatin1String("3.1.1"))
            options.ignored.append({mqttKey("Protocol"), tr("не 5 и не 3.1.1")});
    }

    options.caFile = document.text(mqttKey("CaFile"));
    options.certFile = document.text(mqttKey("CertFile"));
    options.keyFile = document.text(mqttKey("KeyFile"));
    // A certificate is of no use without its key, nor a key without its certificate.
    if (options.certFile.isEmpty() != options.keyFile.isEmpty()) {
        if (options.certFile.isEmpty())
            options.ignored.append({mqttKey("KeyFile"), tr("нет CertFile")});
        else
            options.ignored.append({mqttKey("CertFile"), tr("нет KeyFile")});
        options.certFile.clear();
        options.keyFile.clear();
    }
    // Never null, so that a caller can tell nothing from an empty value.
    for (QString *path : {&options.caFile, &options.certFile, &options.keyFile}) {
        if (path->isNull())
            *path = QLatin1String("");
    }
    sortByKey(&options.ignored);
    return options;
}

namespace {

void setConnectionOptions(IniDocument &document, const ConnectionOptions &options)
{
    document.setText(mqttKey("AutoReconnect"), fromBool(options.autoReconnect));
    document.setText(mqttKey("ConnectOnStart"), fromBool(options.connectOnStart));
    document.setText(mqttKey("KeepAlive"), QString::number(options.keepAlive));
    document.setText(mqttKey("Tls"), fromBool(options.tls));
    document.setText(mqttKey("CaFile"), options.caFile);
    document.setText(mqttKey("CertFile"), options.certFile);
    document.setText(mqttKey("KeyFile"), options.keyFile);
    document.setText(mqttKey("TlsVerifyHost"), fromBool(options.tlsVerifyHost));
}

void setHistory(IniDocument &document, const HistorySettings &history)
{
    document.setText(kHistoryEnabledKey, fromBool(history.enabled));
    document.setText(kHistoryDaysKey, QString::number(history.days));
}

void setNotify(IniDocument &document, const NotifySettings &notify)
{
    document.setText(kNotifyDesktopKey, fromBool(notify.desktop));
    document.setText(kNotifyTrayKey, fromBool(notify.tray));
}

} // namespace

HistorySettings SettingsFile::readHistory() const
{
    return readHistory(load());
}

HistorySettings SettingsFile::readHistory(const IniDocument &document)
{
    HistorySettings history;
    history.enabled = toBool(document.text(kHistoryEnabledKey)).value_or(false);
    bool whole = false;
    const qlonglong days = document.text(kHistoryDaysKey).trimmed().toLongLong(&whole);
    if (whole)
        history.days = int(qBound<qlonglong>(HistorySettings::kMinDays, days, HistorySettings::kMaxDays));
    return history;
}

HistoryStoreSettings SettingsFile::readHistoryStore() const
{
    return readHistoryStore(load());
}

HistoryStoreSettings SettingsFile::readHistoryStore(const IniDocument &document)
{
    HistoryStoreSettings store;
    const QString kind = document.text(historyKey("Store")).trimmed();
    if (kind.compare(QLatin1String("postgresql"), Qt::CaseInsensitive) == 0)
        store.kind = HistoryStoreSettings::Kind::PostgreSql;
    else if (!kind.isNull() && kind.compare(QLatin1String("sqlite"), Qt::CaseInsensitive) != 0)
        store.ignoredKeys << historyKey("Store");

    const auto readText = [&](const char *name, QString *target) {
        const QString text = document.text(historyKey(name));
        if (!text.isNull())
            *target = text;
    };
    readText("Host", &store.host);
    readText("Database", &store.database);
    readText("User", &store.user);
    readText("Password", &store.password);

    const QString port = document.text(historyKey("Port"));
    if (!port.isNull()) {
        bool ok = false;
        const int number = port.trimmed().toInt(&ok);
        if (ok && number >= 1 && number <= 65535)
            store.port = number;
        else
            store.ignoredKeys << historyKey("Port");
    }
    const QString sslMode = document.text(historyKey("SslMode")).trimmed().toLower();
    static const QStringList kSslModes = {QStringLiteral("disable"),   QStringLiteral("allow"),
                                          QStringLiteral("prefer"),    QStringLiteral("require"),
                                          QStringLiteral("verify-ca"), QStringLiteral("verify-full")};
    if (kSslModes.contains(sslMode))
        store.sslMode = sslMode;
    else if (!document.text(historyKey("SslMode")).isNull())
        store.ignoredKeys << historyKey("SslMode");
    return store;
}

bool HistoryStoreSettings::sameTarget(const HistoryStoreSettings &other) const
{
    return kind == other.kind &&
           (kind == Kind::File || (host == other.host && port == other.port && database == other.database &&
                                   user == other.user && password == other.password && sslMode == other.sslMode));
}

WriteResult SettingsFile::writeHistory(const HistorySettings &history) const
{
    return modify(
        [&history](IniDocument &document) {
            setHistory(document, history);
            return true;
        },
        Change::Always);
}

AdvancedSettings SettingsFile::readAdvancedSettings() const
{
    const IniDocument document = load();
    return {readConnectionOptions(document), readHistory(document), readWatchSettings(document).notify};
}

WriteResult SettingsFile::writeAdvancedSettings(const AdvancedSettings &settings) const
{
    return modify(
        [&settings](IniDocument &document) {
            setConnectionOptions(document, settings.options);
            setHistory(document, settings.history);
            setNotify(document, settings.notify);
            return true;
        },
        Change::Always);
}

bool SupplyLimits::operator==(const SupplyLimits &other) const
{
    return voltageMin == other.voltageMin && voltageMax == other.voltageMax && frequencyMin == other.frequencyMin &&
           frequencyMax == other.frequencyMax;
}

bool MaintenancePlan::sameMark(const MaintenancePlan &other) const
{
    return markDate == other.markDate && markSeconds == other.markSeconds && markStarts == other.markStarts;
}

namespace {

// The keys of one element of the plan array, from 0.
QString planKey(int index, const char *name)
{
    return kPlanArray % QLatin1Char('/') % QString::number(index + 1) % QLatin1Char('/') % QLatin1String(name);
}

// Indices (from 0) of the elements of the plan array that have keys, below its size, ascending.
QVector<int> planIndices(const IniDocument &document)
{
    const int size = document.text(kPlanSizeKey).toInt();
    QVector<int> indices;
    for (const QString &group : document.childGroups(kPlanArray)) {
        bool ok = false;
        const int number = group.toInt(&ok);
        if (ok && number >= 1 && number <= size && group == QString::number(number))
            indices.append(number - 1);
    }
    std::sort(indices.begin(), indices.end());
    return indices;
}

// The last part of a key: "VoltageMax" of "Alarms/VoltageMax".
QString keyName(const QString &key)
{
    return key.mid(key.lastIndexOf(QLatin1Char('/')) + 1);
}

// Reads the numeric keys of one group or array element; every key that holds
// something else is listed with why, and its value left out.
class NumberReader final
{
public:
    NumberReader(const IniDocument &document, QVector<IgnoredValue> *ignored) : m_document(document), m_ignored(ignored)
    {
    }

    // An absent or empty value is none; so is one outside [least, greatest], which is ignored.
    std::optional<qint64> read(const QString &key, qint64 least, qint64 greatest) const
    {
        const QString text = m_document.text(key).trimmed();
        if (text.isEmpty())
            return std::nullopt;
        bool ok = false;
        const qint64 value = text.toLongLong(&ok);
        if (ok && value >= least && value <= greatest)
            return value;
        if (!ok)
            m_ignored->append({key, SettingsFile::tr("не целое число")});
        else if (value < least)
            m_ignored->append({key, SettingsFile::tr("меньше %1").arg(least)});
        else
            m_ignored->append({key, SettingsFile::tr("больше %1").arg(greatest)});
        return std::nullopt;
    }

    std::optional<int> readInt(const QString &key, int least = std::numeric_limits<int>::min()) const
    {
        const std::optional<qint64> value = read(key, least, std::numeric_limits<int>::max());
        return value ? std::optional<int>(int(*value)) : std::nullopt;
    }

    // A pair of bounds of which the least is above the greatest means neither.
    void readBounds(const QString &minKey, const QString &maxKey, std::optional<int> *min,
                    std::optional<int> *max) const
    {
        *min = readInt(minKey);
        *max = readInt(maxKey);
        if (*min && *max && **min > **max) {
            m_ignored->append({minKey, SettingsFile::tr("больше %1").arg(keyName(maxKey))});
            m_ignored->append({maxKey, SettingsFile::tr("меньше %1").arg(keyName(minKey))});
            min->reset();
            max->reset();
        }
    }

    // Keys named "<prefix>VoltageMin" and so on.
    SupplyLimits readLimits(const QString &prefix) const
    {
        SupplyLimits limits;
        readBounds(prefix + QStringLiteral("VoltageMin"), prefix + QStringLiteral("VoltageMax"), &limits.voltageMin,
                   &limits.voltageMax);
        readBounds(prefix + QStringLiteral("FrequencyMin"), prefix + QStringLiteral("FrequencyMax"),
                   &limits.frequencyMin, &limits.frequencyMax);
        return limits;
    }

private:
    const IniDocument &m_document;
    QVector<IgnoredValue> *m_ignored;
};

MaintenancePlan readPlan(const NumberReader &numbers, const IniDocument &document, int index,
                         QVector<IgnoredValue> *ignored)
{
    MaintenancePlan plan;
    plan.topic = document.text(planKey(index, "topic"));
    plan.intervalHours = numbers.readInt(planKey(index, "IntervalHours"), 1);
    plan.intervalStarts = numbers.readInt(planKey(index, "IntervalStarts"), 1);
    plan.limits = numbers.readLimits(planKey(index, ""));
    const QString date = document.text(planKey(index, "MarkDate")).trimmed();
    if (!date.isEmpty()) {
        plan.markDate = QDate::fromString(date, Qt::ISODate);
        if (!plan.markDate.isValid())
            ignored->append({planKey(index, "MarkDate"), SettingsFile::tr("не дата ГГГГ-ММ-ДД")});
    }
    plan.markSeconds = numbers.read(planKey(index, "MarkSeconds"), 0, std::numeric_limits<qint64>::max()).value_or(0);
    plan.markStarts = numbers.read(planKey(index, "MarkStarts"), 0, std::numeric_limits<qint64>::max()).value_or(0);
    return plan;
}

void setNumber(IniDocument &document, const QString &key, std::optional<qint64> value)
{
    if (value)
        document.setText(key, QString::number(*value));
    else
        document.remove(key);
}

} // namespace

WatchSettings SettingsFile::readWatchSettings() const
{
    return readWatchSettings(load());
}

WatchSettings SettingsFile::readWatchSettings(const IniDocument &document)
{
    WatchSettings settings;
    QVector<IgnoredValue> ignored;
    const NumberReader numbers(document, &ignored);
    settings.limits = numbers.readLimits(kAlarmsGroup + QLatin1Char('/'));

    QSet<QString> topics;
    for (const int index : planIndices(document)) {
        MaintenancePlan plan = readPlan(numbers, document, index, &ignored);
        // An element without a topic belongs to no meter; a second one for a topic is never read.
        if (plan.topic.isNull() || topics.contains(plan.topic))
            continue;
        topics.insert(plan.topic);
        settings.plans.append(plan);
    }

    const auto readBool = [&](const QString &key, bool *target) {
        const QString text = document.text(key);
        if (text.isNull())
            return;
        if (const std::optional<bool> value = toBool(text))
            *target = *value;
        else
            ignored.append({key, tr("не true и не false")});
    };
    readBool(kNotifyDesktopKey, &settings.notify.desktop);
    readBool(kNotifyTrayKey, &settings.notify.tray);

    for (const QString &group : {kAlarmsGroup, kMaintenanceGroup, kNotifyGroup})
        ignored += notText(document, group);
    sortByKey(&ignored);
    settings.ignored = ignored;
    return settings;
}

MaintenancePlan SettingsFile::readMaintenancePlan(const QString &topic) const
{
    for (const MaintenancePlan &plan : readWatchSettings().plans) {
        if (plan.topic == topic)
            return plan;
    }
    MaintenancePlan plan;
    plan.topic = topic;
    return plan;
}

WriteResult SettingsFile::writeMaintenancePlan(const MaintenancePlan &plan) const
{
    return modify(
        [&plan](IniDocument &document) {
            const QVector<int> indices = planIndices(document);
            const int size = qMax(0, document.text(kPlanSizeKey).toInt());
            int target = size;
            for (const int index : indices) {
                if (document.text(planKey(index, "topic")) == plan.topic) {
                    target = index;
                    break;
                }
            }
            document.setText(planKey(target, "topic"), plan.topic);
            setNumber(document, planKey(target, "IntervalHours"), plan.intervalHours);
            setNumber(document, planKey(target, "IntervalStarts"), plan.intervalStarts);
            setNumber(document, planKey(target, "VoltageMin"), plan.limits.voltageMin);
            setNumber(document, planKey(target, "VoltageMax"), plan.limits.voltageMax);
            setNumber(document, planKey(target, "FrequencyMin"), plan.limits.frequencyMin);
            setNumber(document, planKey(target, "FrequencyMax"), plan.limits.frequencyMax);
            if (plan.markDate.isValid()) {
                document.setText(planKey(target, "MarkDate"), plan.markDate.toString(Qt::ISODate));
                document.setText(planKey(target, "MarkSeconds"), QString::number(plan.markSeconds));
                document.setText(planKey(target, "MarkStarts"), QString::number(plan.markStarts));
            } else {
                for (const char *key : {"MarkDate", "MarkSeconds", "MarkStarts"})
                    document.remove(planKey(target, key));
            }
            document.setText(kPlanSizeKey, QString::number(qMax(size, target + 1)));
            return true;
        },
        Change::Always);
}

QVector<DeviceEntry> SettingsFile::readDevices() const
{
    QVector<DeviceEntry> devices;
    for (const StoredDevice &device : readArray(load()).devices) {
        if (device.isComplete())
            devices.append({device.name, device.topic});
    }
    return devices;
}

DeviceListResult SettingsFile::compactDeviceList() const
{
    return keepDevices(kKeepAll);
}

namespace {

// Replaces the first element with the topic or the name, or appends one, and
// compacts the array.
void storeElement(IniDocument &document, const QString &name, const QString &topic, QStringList *kept)
{
    // Elements past the last one with keys would all be absent, so the
    // array is taken to end there: a new device goes right after it.
    const StoredArray stored = readArray(document);
    int target = stored.end;
    for (const StoredDevice &device : stored.devices) {
        if (device.topic == topic || device.name == name) {
            target = device.index;
            break;
        }
    }
    writeElement(document, target, stored.end, name, topic);
    compactArray(document, kKeepAll, kept);
}

} // namespace

// The device goes in and the list is compacted in one write.
DeviceListResult SettingsFile::storeDevice(const QString &name, const QString &topic) const
{
    QStringList kept;
    const WriteResult status = modify(
        [&](IniDocument &document) {
            storeElement(document, name, topic, &kept);
            return true;
        },
        Change::Always);
    return afterWrite(status, kept);
}

DeviceEntry SettingsFile::deviceAt(int row) const
{
    const QVector<DeviceEntry> devices = readDevices();
    if (row < 0 || row >= devices.size())
        return {};
    return devices.at(row);
}

DeviceListResult SettingsFile::replaceDeviceAt(int row, const QString &name, const QString &topic) const
{
    QStringList kept;
    const WriteResult status = modify(
        [&](IniDocument &document) {
            const StoredArray stored = readArray(document);
            const int target = indexOfRow(stored.devices, row);
            // The row is gone only when something else changed the file
            // meanwhile; the typed device is then kept the way an added one
            // would be. Decided on the file read under the lock, and written
            // with it: a failure before that is a failed edit, nothing else.
            if (target < 0) {
                storeElement(document, name, topic, &kept);
                return true;
            }
            writeElement(document, target, stored.end, name, topic);
            compactArray(document, kKeepAll, &kept);
            return true;
        },
        Change::Always);
    return afterWrite(status, kept);
}

DeviceListResult SettingsFile::removeDeviceAt(int row) const
{
    return keepDevices([row](int completeRow) { return completeRow != row; });
}

DeviceListResult SettingsFile::afterWrite(WriteResult status, const QStringList &kept) const
{
    if (status != WriteResult::Written)
        return {completeNamesInFile(), status};
    return {kept, status};
}

QStringList SettingsFile::completeNamesInFile() const
{
    QStringList names;
    for (const DeviceEntry &device : readDevices())
        names.append(device.name);
    return names;
}

DeviceListResult SettingsFile::keepDevices(const std::function<bool(int)> &keep) const
{
    QStringList namesInFile;
    QStringList kept;
    const WriteResult status =
        modify([&](IniDocument &document) { return compactArray(document, keep, &kept, &namesInFile); });
    return {status == WriteResult::Written ? kept : namesInFile, status};
}
