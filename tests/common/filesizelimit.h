#pragma once

#include <sys/resource.h>

// A full disk, for as long as the object lives: RLIMIT_FSIZE of this process
// lowered to `bytes`, with SIGXFSZ ignored, so that a write beyond the limit
// fails with EFBIG instead of ending the process. Root is subject to it too,
// unlike file permissions.
class FileSizeLimit final
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool isValid() const { return m_valid; }

private:
    rlimit m_previous{};
    void (*m_previousHandler)(int) = nullptr;
    bool m_valid = false;
};
