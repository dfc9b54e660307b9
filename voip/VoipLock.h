// Scoped hold of a call-control mutex that may not exist (before start-up or after shutdown).
#pragma once

#include "platform/sync.h"

class VoipLock {
public:
    explicit VoipLock(plat::RecursiveMutex* pMutex) : m_p(pMutex) {
        if (m_p) m_p->lock();
    }
    ~VoipLock() {
        if (m_p) m_p->unlock();
    }
    VoipLock(const VoipLock&) = delete;
    VoipLock& operator=(const VoipLock&) = delete;

private:
    plat::RecursiveMutex* m_p;
};
