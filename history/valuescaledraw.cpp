#include "history/valuescaledraw.h"

#include <qwt_scale_div.h>
#include <qwt_text.h>

#include <QChar>

#include <algorithm>
#include <cmath>

namespace {

const QChar kThinSpace(0x2009);
const QChar kMinus(0x2212);
constexpr int kMostDecimals = 6;

} // namespace

QString ValueScaleDraw::text(double value, int decimals)
{
    decimals = std::clamp(decimals, 0, kMostDecimals);
    // Digits from the C conventions, which do not depend on the locale, then
    // grouped and pointed the Russian way.
    const QString digits = QString::number(std::abs(value), 'f', decimals);
    const int point = digits.indexOf(QLatin1Char('.'));
    const QString whole = point < 0 ? digits : digits.left(point);
    QString out;
    for (int i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0)
            out += kThinSpace;
        out += whole.at(i);
    }
    if (point >= 0)
        out += QLatin1Char(',') + digits.mid(point + 1);
    // -0,0 reads as 0,0: no sign for what rounds to zero.
    const bool zero = digits.count(QLatin1Char('0')) + (point >= 0 ? 1 : 0) == digits.size();
    if (value < 0 && !zero)
        out.prepend(kMinus);
    return out;
}

int ValueScaleDraw::decimalsFor(double step)
{
    if (!(step > 0.0) || !std::isfinite(step))
        return 0;
    return std::clamp(int(-std::floor(std::log10(step) + 1e-9)), 0, kMostDecimals);
}

QwtText ValueScaleDraw::label(double value) const
{
    const QList<double> ticks = scaleDiv().ticks(QwtScaleDiv::MajorTick);
    const double step = ticks.size() > 1 ? std::abs(ticks.at(1) - ticks.at(0)) : 1.0;
    return QwtText(text(value, decimalsFor(step)));
}
