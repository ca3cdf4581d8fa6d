#pragma once

#include <qwt_scale_draw.h>

// The labels of a value axis as a Russian reader writes numbers, whatever
// the computer's locale: a decimal comma and thin spaces between thousands
// ("1 624", "49,5"), as many decimals as the axis' step needs.
class ValueScaleDraw final : public QwtScaleDraw
{
public:
    QwtText label(double value) const override;

    // A number written so: `decimals` places after the comma.
    static QString text(double value, int decimals);
    // The places a step of 1, 2 or 5 times a power of ten needs.
    static int decimalsFor(double step);
};
