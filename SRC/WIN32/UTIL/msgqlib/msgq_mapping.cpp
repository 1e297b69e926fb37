// What a queue handle holds, for callers that watch its other holders.
#include "msgq_mapping.h"

#include "msgq_handles.h"
#include "msgq_record.h"

extern "C" HANDLE MsgQGetMappingHandle(MsgQHandle hMsgQ) {
    const MsgQHandleRecord *record = hMsgQ;
    if (!MsgQIsLiveHandle(record)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!record->hMap) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return record->hMap;
}
