// The remote-frame replies each net has enabled, as the server confirmed
// them: a net opened again on a new server enables them again.
#include <string.h>

#include "client_net.h"

#define REM_FRAMES_GROWTH 16u

static RemFrameEntry *FindRemFrame(RibexClientNet *pNet, DWORD canId) {
    for (DWORD i = 0; i < pNet->noRemFrames; ++i)
        if (pNet->remFrames[i].canId == canId) return &pNet->remFrames[i];
    return NULL;
}

static BOOL GrowRemFrames(RibexClientNet *pNet) {
    DWORD newMax = pNet->maxRemFrames + REM_FRAMES_GROWTH;
    RemFrameEntry *pNew =
        (RemFrameEntry *)HeapAlloc(GetProcessHeap(), 0, newMax * sizeof(RemFrameEntry));
    if (pNew == NULL) return FALSE;
    if (pNet->noRemFrames != 0)
        memcpy(pNew, pNet->remFrames, pNet->noRemFrames * sizeof(RemFrameEntry));
    if (pNet->remFrames != NULL) HeapFree(GetProcessHeap(), 0, pNet->remFrames);
    pNet->remFrames = pNew;
    pNet->maxRemFrames = newMax;
    return TRUE;
}

// Out of memory, the entry is not kept: the reply works until a reopen.
void RememberRemFrame(RibexClientNet *pNet, DWORD canId, DWORD length) {
    AcquireSRWLockExclusive(&pNet->remLock);
    RemFrameEntry *pEntry = FindRemFrame(pNet, canId);
    if (pEntry == NULL && (pNet->noRemFrames < pNet->maxRemFrames || GrowRemFrames(pNet)))
        pEntry = &pNet->remFrames[pNet->noRemFrames++];
    if (pEntry != NULL) {
        pEntry->canId = canId;
        pEntry->length = length;
    }
    ReleaseSRWLockExclusive(&pNet->remLock);
}

void ForgetRemFrame(RibexClientNet *pNet, DWORD canId) {
    AcquireSRWLockExclusive(&pNet->remLock);
    RemFrameEntry *pEntry = FindRemFrame(pNet, canId);
    if (pEntry != NULL) *pEntry = pNet->remFrames[--pNet->noRemFrames];
    ReleaseSRWLockExclusive(&pNet->remLock);
}

void ForgetAllRemFrames(RibexClientNet *pNet) {
    AcquireSRWLockExclusive(&pNet->remLock);
    pNet->noRemFrames = 0;
    ReleaseSRWLockExclusive(&pNet->remLock);
}

RemFrameEntry *CopyRemFrames(RibexClientNet *pNet, DWORD *pCount) {
    AcquireSRWLockShared(&pNet->remLock);
    RemFrameEntry *pCopy = NULL;
    *pCount = 0;
    if (pNet->noRemFrames != 0)
        pCopy = (RemFrameEntry *)HeapAlloc(GetProcessHeap(), 0,
                                           pNet->noRemFrames * sizeof(RemFrameEntry));
    if (pCopy != NULL) {
        memcpy(pCopy, pNet->remFrames, pNet->noRemFrames * sizeof(RemFrameEntry));
        *pCount = pNet->noRemFrames;
    }
    ReleaseSRWLockShared(&pNet->remLock);
    return pCopy;
}
