#include "common/testclock.h"

void TestClock::pass(qint64 seconds)
{
    m_utc += seconds;
    m_steadyMs += seconds * 1000;
}
