#include "rem_reply_table.h"

#include "ribex_trace_modules.h"

DWORD GetRemFrameIndex(const RemReplyTable *pRemote, DWORD canId) {
    TraceModule *trace = g_ribexTrace[TM_GET_REM_FRAME_INDEX];
    TraceEntry(trace, "\nribex::GetRemFrameIndex Entry\n");
    DWORD result = REM_FRAME_INDEX_NONE;
    if (!pRemote) {
        TracePrint(trace, TRACE_LEVEL_EVENT, "\tribex::GetRemFrameIndex, pRemote == NULL\n");
    } else {
        DWORD noReplies = pRemote->noReplies;
        TracePrint(trace, TRACE_LEVEL_DETAIL, "\tribex::GetRemFrameIndex, canId == %#x\n", canId);
        TracePrint(trace, TRACE_LEVEL_DETAIL,
                   "\tribex::GetRemFrameIndex, pRemote->noReplies == %lu\n", noReplies);
        // A count beyond the capacity can only be a torn table; never read
        // past the block.
        if (noReplies > pRemote->maxNoReplies) noReplies = pRemote->maxNoReplies;
        for (DWORD i = 0; i < noReplies; i++) {
            const RemReply &reply = pRemote->reply[i];
            TracePrint(trace, TRACE_LEVEL_DETAIL,
                       "\tribex::GetRemFrameIndex, pRemote->reply[%lu].\n\t\t%s == %#x %s == %lu",
                       i, "uniqueProcId", reply.uniqueProcId, "can.id", reply.can.id);
            if (reply.can.id == canId) {
                result = i;
                break;
            }
        }
    }
    TraceExit(trace, "ribex::GetRemFrameIndex Exit (%lu)\n\n", result);
    return result;
}

BOOL CheckSimCanBufferStore(const RemReplyTable *pRemote, DWORD id) {
    TraceModule *trace = g_ribexTrace[TM_CHECK_SIM_CAN_BUFFER_STORE];
    TraceEntry(trace, "\nribex::CheckSimCanBufferStore Entry\n");
    BOOL store = FALSE;
    if ((id & RX_REMOTE_FRAME_FLAG) == 0) {
        TracePrint(trace, TRACE_LEVEL_EVENT, "ribex::CanCheckSimCanBufferStore \n\tId == %#x\n",
                   id);
        store = TRUE;
    } else {
        DWORD plainId = id & ~RX_REMOTE_FRAME_FLAG;
        if (pRemote && GetRemFrameIndex(pRemote, plainId) != REM_FRAME_INDEX_NONE) {
            TracePrint(trace, TRACE_LEVEL_EVENT,
                       "\tribex::CanCheckSimCanBufferStore, GetRemFrameIndex( ... ) != -1\n");
            TracePrint(trace, TRACE_LEVEL_EVENT,
                       "ribex::CanCheckSimCanBufferStore, REMOTE FRAME\n\tid == %#x\n", plainId);
            store = TRUE;
        }
    }
    TraceExit(trace, "ribex::CheckSimCanBufferStore Exit ,return value == %#x \n\n", store);
    return store;
}
