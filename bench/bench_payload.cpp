// Cost of one meter reading on the GUI thread: decoding alone, and the panel showing it.
// The panel must not cost more than twice the decoding when a meter repeats its values.

#include "measurement/measdialog.h"
#include "measurement/payload.h"

#include <QApplication>

#include <benchmark/benchmark.h>

namespace {

QString payloadFor(int tick)
{
    return QStringLiteral("{\"dev_type\":10,\"dev_mode\":0,\"num_starts\":%1,\"t_common\":%2,"
                          "\"t_current\":%3,\"t_last\":3725,\"voltage\":%4,\"freq\":50}")
        .arg(1200 + tick / 100)
        .arg(9000000 + tick)
        .arg(tick)
        .arg(220 + tick % 7);
}

void BM_ParsePayload(benchmark::State &state)
{
    const QString payload = payloadFor(1);
    for (auto _ : state) {
        std::optional<Reading> reading = ParsePayload(payload);
        benchmark::DoNotOptimize(reading);
    }
}
BENCHMARK(BM_ParsePayload);

void BM_ShowPayloadUnchanged(benchmark::State &state)
{
    MeasDialog panel;
    const QString payload = payloadFor(1);
    panel.ShowPayload(payload);
    for (auto _ : state)
        panel.ShowPayload(payload);
}
BENCHMARK(BM_ShowPayloadUnchanged);

void BM_ShowPayloadChanging(benchmark::State &state)
{
    MeasDialog panel;
    // Prepared up front so that building the text is not measured.
    QStringList payloads;
    for (int tick = 0; tick < 1024; ++tick)
        payloads.append(payloadFor(tick));
    int next = 0;
    for (auto _ : state) {
        panel.ShowPayload(payloads.at(next));
        next = (next + 1) % payloads.size();
    }
}
BENCHMARK(BM_ShowPayloadChanging);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
