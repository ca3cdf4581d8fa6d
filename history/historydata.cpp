#include "history/historydata.h"

namespace {

struct FieldInfo
{
    QLatin1String key;
    int Reading::*member;
};

const FieldInfo kFields[kHistoryFieldCount] = {
    {QLatin1String("dev_type"), &Reading::devType},     {QLatin1String("dev_mode"), &Reading::devMode},
    {QLatin1String("num_starts"), &Reading::numStarts}, {QLatin1String("t_common"), &Reading::tCommon},
    {QLatin1String("t_current"), &Reading::tCurrent},   {QLatin1String("t_last"), &Reading::tLast},
    {QLatin1String("voltage"), &Reading::voltage},      {QLatin1String("freq"), &Reading::freq},
};

const FieldInfo &info(HistoryField field)
{
    return kFields[int(field)];
}

} // namespace

HistoryField historyFieldAt(int index)
{
    Q_ASSERT(index >= 0 && index < kHistoryFieldCount);
    return HistoryField(index);
}

QLatin1String historyFieldKey(HistoryField field)
{
    return info(field).key;
}

int historyFieldValue(const Reading &reading, HistoryField field)
{
    return reading.*info(field).member;
}

void setHistoryFieldValue(Reading *reading, HistoryField field, int value)
{
    reading->*info(field).member = value;
}
