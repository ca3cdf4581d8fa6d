// Drives arbitrary MQTT payload bytes down the road a received message takes: bytes to text as the
// main window makes it, the decoder, and one long-lived panel, as a meter's tab sees them for hours.
// Besides the sanitizers, it checks that the panel shows exactly what the decoder read and that the
// texts of durations, models and modes keep their form for any value.

#include "common/jsonreading.h"
#include "measurement/measdialog.h"
#include "measurement/payload.h"

#include <QApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QStringList>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>

namespace {

// Created once and never destroyed: libFuzzer leaves through exit() from deep inside its loop, and
// everything still reachable from here is, correctly, no leak.
QApplication *app = nullptr;
MeasDialog *panel = nullptr;

// The panel's value labels, in the order of kValueLabels.
std::array<QLabel *, 8> valueLabels{};

[[noreturn]] void fail(const char *condition, const QString &detail)
{
    std::fprintf(stderr, "fuzz_payload: check failed: %s\n  %s\n", condition, qUtf8Printable(detail));
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition, detail)                                                                                  \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            fail(#condition, detail);                                                                                  \
    } while (false)

QString quoted(const QString &text)
{
    return QLatin1Char('"') % text % QLatin1Char('"');
}

QStringList labelTexts()
{
    QStringList texts;
    for (const QLabel *label : valueLabels)
        texts << label->text();
    return texts;
}

// "[-]HH:MM:SS": one sign in front, at least two digits of hours and no wrap into days, and the
// three fields add back up to the very number of seconds.
void checkDuration(int seconds)
{
    static const QRegularExpression form(QStringLiteral("^(-?)(\\d{2,}):(\\d\\d):(\\d\\d)$"));
    const QString text = FormatDuration(seconds);
    const QString context = QString::number(seconds) % QStringLiteral(" -> ") % quoted(text);
    const QRegularExpressionMatch match = form.match(text);
    FUZZ_CHECK(match.hasMatch(), context);

    const bool negative = !match.capturedRef(1).isEmpty();
    bool ok = false;
    const qint64 hours = match.capturedRef(2).toLongLong(&ok);
    FUZZ_CHECK(ok, context);
    const qint64 minutes = match.capturedRef(3).toLongLong();
    const qint64 secs = match.capturedRef(4).toLongLong();
    FUZZ_CHECK(minutes < 60 && secs < 60, context);
    FUZZ_CHECK(match.capturedRef(2).size() == 2 || !match.capturedRef(2).startsWith(QLatin1Char('0')), context);
    const qint64 magnitude = hours * 3600 + minutes * 60 + secs;
    FUZZ_CHECK(negative == (seconds < 0) && (negative ? -magnitude : magnitude) == qint64(seconds), context);
}

// Both tables are closed: a code outside them is "unknown", whatever its value.
void checkNames(int code)
{
    QString model = QStringLiteral("unknown");
    if (code == 1)
        model = QStringLiteral("Zelmar-A");
    else if (code == 10)
        model = QStringLiteral("Zelmar-B");
    else if (code == 20)
        model = QStringLiteral("Zelmar-C");
    QString mode = QStringLiteral("unknown");
    if (code == 0)
        mode = QStringLiteral("счёт");
    else if (code == 1)
        mode = QStringLiteral("индикация");

    const QString context = QString::number(code) % QStringLiteral(": ");
    FUZZ_CHECK(ModelName(code) == model, context % quoted(ModelName(code)));
    FUZZ_CHECK(ModeName(code) == mode, context % quoted(ModeName(code)));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Only the program name reaches Qt: libFuzzer's own flags are none of its business.
    static int argc = 1;
    static char name[] = "fuzz_payload";
    static char *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app = new QApplication(argc, argv);
    panel = new MeasDialog(nullptr);
    for (std::size_t i = 0; i < std::size(kValueLabels); ++i) {
        valueLabels[i] = panel->findChild<QLabel *>(QLatin1String(kValueLabels[i]));
        FUZZ_CHECK(valueLabels[i] != nullptr, QLatin1String(kValueLabels[i]));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // As the main window reads a payload: the text ends at the first zero byte, if any.
    const auto *bytes = reinterpret_cast<const char *>(data);
    const void *zero = std::memchr(bytes, '\0', size);
    const std::size_t length = zero ? static_cast<const char *>(zero) - bytes : size;
    const QString text = QString::fromUtf8(bytes, static_cast<int>(length));

    const std::optional<Reading> reading = ParsePayload(text);
    FUZZ_CHECK(ParsePayload(text) == reading, quoted(text));
    FUZZ_CHECK(jsonDocumentReading(text) == reading, quoted(text));

    const QStringList before = labelTexts();
    panel->ShowPayload(text);
    const QStringList after = labelTexts();
    if (reading) {
        FUZZ_CHECK(after == readingTexts(*reading),
                   quoted(text) % QStringLiteral(" shown as ") % after.join(QLatin1Char('|')));
        for (int seconds : {reading->tCommon, reading->tCurrent, reading->tLast})
            checkDuration(seconds);
        checkNames(reading->devType);
        checkNames(reading->devMode);
    } else {
        FUZZ_CHECK(after == before,
                   quoted(text) % QStringLiteral(" changed the panel to ") % after.join(QLatin1Char('|')));
    }

    // The raw bytes as a number reach every int, INT_MIN included, which no JSON text can.
    if (size >= sizeof(int)) {
        int raw = 0;
        std::memcpy(&raw, data, sizeof raw);
        checkDuration(raw);
        checkNames(raw);
    }

    // Layout requests the new texts posted, and the offline timer once ten seconds pass without a
    // reading, run as they would on the window's event loop.
    QCoreApplication::processEvents();
    return 0;
}
