#include "candump_line.h"

#include <stdio.h>
#include <string.h>

#include "can_frame_text.h"

void FormatCanId(DWORD canId, char *text, size_t size) {
    // The frame text of an empty data frame is the identifier and "#".
    RxMsg msg = {};
    msg.can.id = canId & ~RX_REMOTE_FRAME_FLAG;
    char frame[CAN_FRAME_TEXT_MAX];
    size_t n = CanFrameFormat(&msg, frame, sizeof(frame));
    if (n == 0) {
        snprintf(text, size, "%lX", canId);
        return;
    }
    frame[n - 1] = 0;
    snprintf(text, size, "%s", frame);
}

void FormatDumpLine(unsigned long long stamp, const char *netName, const RibexFrame *frame, char *line,
                    size_t size) {
    RxMsg msg = frame->msg;
    msg.timeStamp = stamp;
    if (frame->errorCode != 0) {
        // The entry holds no frame, only the error the driver or the
        // simulated connection reported: written as the error frame that
        // other CAN tools read, the code kept in its data.
        if (CanErrorLogLineFormat(stamp, frame->errorCode, netName, line, size) == 0 && size)
            line[0] = 0;
        return;
    }
    if (CanLogLineFormat(&msg, netName, line, size) != 0) return;
    char when[CAN_STAMP_TEXT_MAX];
    CanStampFormat(stamp, when, sizeof(when));
    snprintf(line, size, "(%s) %s BAD#%lX/%lu", when, netName, (unsigned long)msg.can.id,
             (unsigned long)msg.length);
}
