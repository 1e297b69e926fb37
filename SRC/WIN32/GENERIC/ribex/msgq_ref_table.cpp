// The 32-bit hMsgQRef values that stand for the server's reply-queue
// handles on the wire. A reference is the slot number + 1 in its low 16
// bits and the slot's generation in its high 16 bits, so a value that a
// client sends after its queue was closed does not reach the queue that
// later took the same slot. Only the main thread uses the table.
#include "msgq_ref_table.h"

#define REF_SLOT_BITS 16u
#define REF_SLOT_MASK 0xFFFFu
#define REF_MAX_SLOTS 0xFFFFu  // slot + 1 must fit into 16 bits
#define REF_GROWTH 16u

struct MsgQRefSlot {
    MsgQHandle hMsgQ;  // null: free
    DWORD generation;  // 1..0xFFFF, advanced when the slot is retired
    DWORD high, low;   // whose reply queue it is
};

struct MsgQRefTable {
    DWORD maxSlots;
    DWORD usedSlots;  // slots ever handed out; the rest were never used
    MsgQRefSlot *pSlots;
};

static MsgQRefTable g_refTable;

static BOOL GrowRefTable(void) {
    DWORD newMax = g_refTable.maxSlots + REF_GROWTH;
    if (newMax > REF_MAX_SLOTS) newMax = REF_MAX_SLOTS;
    if (newMax <= g_refTable.maxSlots) return FALSE;
    HANDLE hHeap = GetProcessHeap();
    MsgQRefSlot *pNew =
        (MsgQRefSlot *)HeapAlloc(hHeap, HEAP_ZERO_MEMORY, newMax * sizeof(MsgQRefSlot));
    if (pNew == NULL) return FALSE;
    for (DWORD i = 0; i < g_refTable.usedSlots; ++i) pNew[i] = g_refTable.pSlots[i];
    if (g_refTable.pSlots != NULL) HeapFree(hHeap, 0, g_refTable.pSlots);
    g_refTable.pSlots = pNew;
    g_refTable.maxSlots = newMax;
    return TRUE;
}

static DWORD MakeRef(DWORD slot) {
    return (g_refTable.pSlots[slot].generation << REF_SLOT_BITS) | (slot + 1);
}

DWORD IssueMsgQRef(MsgQHandle hMsgQ, DWORD high, DWORD low) {
    if (hMsgQ == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD slot;
    for (slot = 0; slot < g_refTable.usedSlots; ++slot)
        if (g_refTable.pSlots[slot].hMsgQ == NULL) break;
    if (slot == g_refTable.usedSlots) {
        if (slot == g_refTable.maxSlots && !GrowRefTable()) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        g_refTable.pSlots[slot].generation = 1;
        ++g_refTable.usedSlots;
    }
    g_refTable.pSlots[slot].hMsgQ = hMsgQ;
    g_refTable.pSlots[slot].high = high;
    g_refTable.pSlots[slot].low = low;
    SetLastError(ERROR_SUCCESS);
    return MakeRef(slot);
}

// The slot of ref when ref is issued and live, else usedSlots.
static DWORD FindRefSlot(DWORD ref) {
    DWORD slotPlusOne = ref & REF_SLOT_MASK;
    if (slotPlusOne == 0 || slotPlusOne > g_refTable.usedSlots) return g_refTable.usedSlots;
    DWORD slot = slotPlusOne - 1;
    const MsgQRefSlot *pSlot = &g_refTable.pSlots[slot];
    if (pSlot->hMsgQ == NULL || pSlot->generation != (ref >> REF_SLOT_BITS))
        return g_refTable.usedSlots;
    return slot;
}

MsgQHandle LookupMsgQRef(DWORD ref) {
    DWORD slot = FindRefSlot(ref);
    if (slot == g_refTable.usedSlots) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    SetLastError(ERROR_SUCCESS);
    return g_refTable.pSlots[slot].hMsgQ;
}

BOOL MsgQRefIsOf(DWORD ref, DWORD high, DWORD low) {
    DWORD slot = FindRefSlot(ref);
    if (slot == g_refTable.usedSlots) return FALSE;
    const MsgQRefSlot *pSlot = &g_refTable.pSlots[slot];
    return pSlot->high == high && pSlot->low == low;
}

BOOL RetireMsgQRef(DWORD ref) {
    DWORD slot = FindRefSlot(ref);
    if (slot == g_refTable.usedSlots) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    MsgQRefSlot *pSlot = &g_refTable.pSlots[slot];
    pSlot->hMsgQ = NULL;
    pSlot->generation = pSlot->generation == REF_SLOT_MASK ? 1 : pSlot->generation + 1;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
