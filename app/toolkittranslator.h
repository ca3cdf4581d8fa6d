#pragma once

#include <QTranslator>

// The toolkit's own texts that the program shows, in Russian like the rest of
// the window: the buttons of message boxes ("ОК", "Отмена") and the file dialog
// of the exports and the certificate choosers. Debian's translations of the
// toolkit come under the GPL, which a program that reserves all rights cannot
// ship with, so the few texts that appear are translated here.
class ToolkitTranslator final : public QTranslator
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ToolkitTranslator)

public:
    explicit ToolkitTranslator(QObject *parent = nullptr);

    QString translate(const char *context, const char *sourceText, const char *disambiguation = nullptr,
                      int n = -1) const override;
    bool isEmpty() const override { return false; }
};
