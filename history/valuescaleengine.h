#pragma once

#include <qwt_scale_engine.h>

// Ticks for the value axes of the history's charts, which show quantities
// that cannot be negative (a voltage, hours, a count): the axis fits the
// values shown, in steps of 1, 2 or 5 times a power of ten, and a single
// value gets some room around it, but that room never reaches below zero.
// A count gets whole steps only.
class ValueScaleEngine final : public QwtScaleEngine
{
public:
    enum class Values
    {
        Quantities,
        Counts
    };

    explicit ValueScaleEngine(Values values);

    void autoScale(int maxNumSteps, double &x1, double &x2, double &stepSize) const override;
    QwtScaleDiv divideScale(double x1, double x2, int maxMajorSteps, int maxMinorSteps,
                            double stepSize = 0.0) const override;

private:
    // The step of 1, 2 or 5 times a power of ten that divides `span` into at
    // most `steps` parts.
    double stepFor(double span, int steps) const;

    const Values m_values;
};
