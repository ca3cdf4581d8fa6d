#include "common/scratchdirectorytest.h"

#include <QtTest>

void ScratchDirectoryTest::init()
{
    m_dir = std::make_unique<ScratchDirectory>();
    QVERIFY(m_dir->isValid());
}

void ScratchDirectoryTest::cleanup()
{
    m_dir.reset();
}
