// The one scoped lock: holds a critical section, or a mutex, for the scope it is made in.
#pragma once
#include <windows.h>

namespace tk {

class scoped_lock {
public:
    explicit scoped_lock(CRITICAL_SECTION& section) : section_(&section) { EnterCriticalSection(section_); }
    // A mutex is waited for without bound; a null one (a lock not made) holds nothing.
    explicit scoped_lock(HANDLE mutex) : mutex_(mutex)
    {
        if (mutex_) WaitForSingleObject(mutex_, INFINITE);
    }
    // A mutex waited for at most bound_ms: held() says whether it was taken (an abandoned
    // one is: its owner ended while holding it).
    scoped_lock(HANDLE mutex, DWORD bound_ms)
    {
        const DWORD waited = mutex ? WaitForSingleObject(mutex, bound_ms) : WAIT_FAILED;
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) mutex_ = mutex;
    }
    bool held() const { return section_ || mutex_; }
    ~scoped_lock()
    {
        if (section_) LeaveCriticalSection(section_);
        else if (mutex_) ReleaseMutex(mutex_);
    }
    scoped_lock(const scoped_lock&) = delete;
    scoped_lock& operator=(const scoped_lock&) = delete;

private:
    CRITICAL_SECTION* section_ = nullptr;
    HANDLE mutex_ = nullptr;
};

} // namespace tk
