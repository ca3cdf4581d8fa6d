#include "history/valuescaleengine.h"

#include <qwt_interval.h>
#include <qwt_scale_div.h>

#include <algorithm>
#include <cmath>

namespace {

// How much of a value a lone value gets on either side.
constexpr double kLoneValueRoom = 0.05;
// Slack for steps that do not land on their multiples exactly in floating point.
constexpr double kSlack = 1e-9;

} // namespace

ValueScaleEngine::ValueScaleEngine(Values values) : m_values(values) {}

double ValueScaleEngine::stepFor(double span, int steps) const
{
    const double least = m_values == Values::Counts ? 1.0 : 0.0;
    if (!(span > 0.0) || !std::isfinite(span))
        return std::max(least, 1.0);
    const double rough = span / std::max(1, steps);
    const double decade = std::pow(10.0, std::floor(std::log10(rough)));
    double step = 10.0 * decade;
    for (const double mantissa : {1.0, 2.0, 5.0}) {
        if (rough <= mantissa * decade * (1.0 + kSlack)) {
            step = mantissa * decade;
            break;
        }
    }
    return std::max(least, step);
}

void ValueScaleEngine::autoScale(int maxNumSteps, double &x1, double &x2, double &stepSize) const
{
    double low = std::min(x1, x2);
    double high = std::max(x1, x2);
    // Padding never takes the axis below zero; values below it (a meter's
    // fault) are still shown.
    const double bottom = std::min(low, 0.0);
    if (!(high > low)) {
        const double room = m_values == Values::Counts ? 1.0 : (low == 0.0 ? 1.0 : std::abs(low) * kLoneValueRoom);
        low = std::max(bottom, low - room);
        high += room;
    }
    stepSize = stepFor(high - low, maxNumSteps);
    x1 = std::max(bottom, std::floor(low / stepSize + kSlack) * stepSize);
    x2 = std::ceil(high / stepSize - kSlack) * stepSize;
    if (!(x2 > x1))
        x2 = x1 + stepSize;
}

QwtScaleDiv ValueScaleEngine::divideScale(double x1, double x2, int maxMajorSteps, int maxMinorSteps,
                                          double stepSize) const
{
    const double low = std::min(x1, x2);
    const double high = std::max(x1, x2);
    double step = std::abs(stepSize);
    if (step == 0.0 || (m_values == Values::Counts && step < 1.0))
        step = stepFor(high - low, maxMajorSteps);

    QList<double> ticks[QwtScaleDiv::NTickTypes];
    // Each tick a whole multiple of the step, so that no error adds up.
    const double first = std::ceil(low / step - kSlack);
    for (double k = first; k * step <= high + step * kSlack; ++k)
        ticks[QwtScaleDiv::MajorTick].append(k * step);

    // Minor ticks split a step of 1 or 5 into fifths and one of 2 into
    // halves; a count is not split below one.
    if (maxMinorSteps > 0) {
        const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + kSlack));
        const double minor = step / (std::abs(mantissa - 2.0) < 0.5 ? 2.0 : 5.0);
        if (m_values != Values::Counts || minor >= 1.0 - kSlack) {
            for (double k = std::ceil(low / minor - kSlack); k * minor <= high + minor * kSlack; ++k) {
                const double at = k * minor;
                const double inStep = at / step;
                if (std::abs(inStep - std::round(inStep)) > kSlack * 1e3)
                    ticks[QwtScaleDiv::MinorTick].append(at);
            }
        }
    }
    QwtScaleDiv division(low, high, ticks);
    if (x1 > x2)
        division.invert();
    return division;
}
