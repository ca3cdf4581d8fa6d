// Drives arbitrary bytes through the Settings.conf reader and writer: the document read from them,
// every key it holds, some of them set or removed and new ones added, and the document read again
// from the text written. Besides the sanitizers, it checks that a document left alone writes its
// text back byte for byte, and that the written text reads back exactly as the document read
// before it was written: the same keys, the same texts, the same values ignored.

#include "config/inidocument.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *condition, const QString &detail)
{
    std::fprintf(stderr, "fuzz_settings: check failed: %s\n  %s\n", condition, qUtf8Printable(detail));
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition, detail)                                                                                  \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            fail(#condition, detail);                                                                                  \
    } while (false)

// What a reader sees of a document: every key with its text (null if it is no text), then the
// values ignored with their forms; percent-encoded, so that a report shows every character.
QStringList reading(const IniDocument &document)
{
    const auto shown = [](const QString &text) { return QString::fromLatin1(text.toUtf8().toPercentEncoding("/")); };
    QStringList seen;
    for (const QString &key : document.keys(QString())) {
        const QString text = document.text(key);
        seen << shown(key) + (text.isNull() ? QStringLiteral(" (none)") : QStringLiteral(" = ") + shown(text));
    }
    for (const IniDocument::Ignored &ignored : document.ignoredValues(QString()))
        seen << shown(ignored.key) + QStringLiteral(" is ") + ignored.form;
    return seen;
}

// Chooses the edits from the input itself, so that the fuzzer steers them too.
class Choices final
{
public:
    explicit Choices(const QByteArray &input) : m_input(input), m_state(qHash(input)) {}

    int next(int bound)
    {
        m_state = m_state * 1664525u + 1013904223u;
        return int((m_state >> 8) % uint(bound));
    }

    // A few characters of the input, in any of the ways the program could come by them.
    QString text()
    {
        const int start = m_input.isEmpty() ? 0 : next(m_input.size());
        const QByteArray bytes = m_input.mid(start, next(12));
        return next(2) ? QString::fromLatin1(bytes) : QString::fromUtf8(bytes);
    }

private:
    const QByteArray m_input;
    uint m_state;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), static_cast<int>(size));
    IniDocument document = IniDocument::fromText(text);
    FUZZ_CHECK(document.toText() == text, QStringLiteral("a document left alone wrote another text"));

    // A few edits, as many as one of the program's operations makes at most apart from the device
    // list's compaction, which sets every key of the array after one removal.
    Choices choose(text);
    const QStringList keys = document.keys(QString());
    for (int edits = keys.isEmpty() ? 0 : choose.next(16); edits > 0; --edits) {
        const QString &key = keys.at(choose.next(keys.size()));
        const int edit = choose.next(3);
        if (edit == 0)
            document.remove(key);
        else if (edit == 1)
            document.setText(key, choose.text());
        else
            document.remove(key.section(QLatin1Char('/'), 0, -2));
    }
    if (choose.next(4) == 0) {
        document.remove(QStringLiteral("Devices/DEV"));
        for (int element = 1; element <= 3; ++element)
            document.setText(QStringLiteral("Devices/DEV/%1/topic").arg(element), choose.text());
    }
    static const char *const kNewKeys[] = {
        "MQTT/Host", "Devices/DEV/1/topic", "Devices/DEV/size", "History/Days", "top", "General/x", "a/b/c"};
    for (int i = choose.next(4); i > 0; --i)
        document.setText(QString::fromLatin1(kNewKeys[choose.next(int(std::size(kNewKeys)))]), choose.text());

    const QStringList before = reading(document);
    const QByteArray written = document.toText();
    const QStringList after = reading(IniDocument::fromText(written));
    FUZZ_CHECK(after == before,
               before.join(QLatin1Char('|')) % QStringLiteral("\n  read back as\n  ") % after.join(QLatin1Char('|')));
    return 0;
}
