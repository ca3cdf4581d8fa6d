// Reading a large Settings.conf: 5,000 meters and, around them, 100,000 groups the program does
// not know (a user's notes, another program's settings). The window reads the file twice when it
// starts: the session's settings, then the device list; the target is 200 ms for each reading, the
// median of five. Storing one more meter in that file (read, write, read back) is measured beside
// them, without a target.

#include "benchsupport.h"

#include "config/settingsfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <vector>

namespace {

constexpr int kMeters = 5000;
constexpr int kGroups = 100000;
constexpr int kReadings = 5;
constexpr double kMaxReadMs = 200;

QByteArray largeFile()
{
    QByteArray text;
    const auto notes = [&text](int from, int to) {
        for (int group = from; group < to; ++group) {
            const QByteArray number = QByteArray::number(group);
            text += "[Notes" + number + "]\nwritten=2026-01-01\ntext=\"note " + number + ", kept\"\n\n";
        }
    };
    notes(0, kGroups / 2);
    text += "[Devices]\n";
    for (int meter = 1; meter <= kMeters; ++meter) {
        const QByteArray number = QByteArray::number(meter);
        text += "DEV\\" + number + "\\dev_name=\\x421\\x447\\x451\\x442\\x447\\x438\\x43a " + number + '\n';
        text += "DEV\\" + number + "\\topic=plant/meter/" + number + '\n';
    }
    text += "DEV\\size=" + QByteArray::number(kMeters) + "\n\n[MQTT]\nHost=127.0.0.1\nPort=1883\n\n";
    notes(kGroups / 2, kGroups);
    return text;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

double msSince(qint64 startNs)
{
    return double(bench::monotonicNs() - startNs) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString name = QStringLiteral("settings");
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("Settings.conf")));
    const QByteArray text = largeFile();
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(text) != text.size() ||
        !QDir::setCurrent(dir.path())) {
        bench::printRow(name, QStringLiteral("run"), QStringLiteral("failed"), QStringLiteral("completes"),
                        bench::Verdict::Miss);
        return 1;
    }
    file.close();

    const SettingsFile settings;
    std::vector<double> sessionReadings;
    std::vector<double> deviceReadings;
    for (int i = 0; i < kReadings; ++i) {
        qint64 start = bench::monotonicNs();
        const SessionSettings session = settings.readSessionSettings();
        sessionReadings.push_back(msSince(start));
        start = bench::monotonicNs();
        const QVector<DeviceEntry> devices = settings.readDevices();
        deviceReadings.push_back(msSince(start));
        if (session.broker.port != 1883 || devices.size() != kMeters) {
            bench::printRow(name, QStringLiteral("run"), QStringLiteral("read wrong"), QStringLiteral("completes"),
                            bench::Verdict::Miss);
            return 1;
        }
    }

    const qint64 start = bench::monotonicNs();
    const DeviceListResult stored = settings.storeDevice(QStringLiteral("Новый"), QStringLiteral("plant/meter/new"));
    const double storeMs = msSince(start);
    if (stored.status != WriteResult::Written || stored.names.size() != kMeters + 1) {
        bench::printRow(name, QStringLiteral("run"), QStringLiteral("store failed"), QStringLiteral("completes"),
                        bench::Verdict::Miss);
        return 1;
    }

    const QString size = bench::number(double(text.size()) / (1024 * 1024), 1);
    const double sessionMs = median(sessionReadings);
    const double devicesMs = median(deviceReadings);
    bench::printRow(name, QStringLiteral("ms to read the session's settings among 100,000 groups (%1 MB)").arg(size),
                    bench::number(sessionMs, 0), QStringLiteral("≤ %1 ms").arg(kMaxReadMs),
                    bench::verdictOf(sessionMs <= kMaxReadMs));
    bench::printRow(name, QStringLiteral("ms to read 5,000 meters among 100,000 groups"), bench::number(devicesMs, 0),
                    QStringLiteral("≤ %1 ms").arg(kMaxReadMs), bench::verdictOf(devicesMs <= kMaxReadMs));
    bench::printRow(name, QStringLiteral("ms to store one more meter in that file"), bench::number(storeMs, 0));
    return 0;
}
