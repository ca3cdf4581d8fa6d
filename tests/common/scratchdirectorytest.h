#pragma once

#include "common/scratchdirectory.h"

#include <QObject>

#include <memory>

// A suite whose every test runs in a fresh scratch working directory, m_dir: derive from it in
// place of QObject. QtTest calls these init() and cleanup() as the suite's own; a suite that
// needs more declares its own and calls them, init() first and cleanup() last.
class ScratchDirectoryTest : public QObject
{
    Q_OBJECT

protected slots:
    void init();
    void cleanup();

protected:
    std::unique_ptr<ScratchDirectory> m_dir;
};
