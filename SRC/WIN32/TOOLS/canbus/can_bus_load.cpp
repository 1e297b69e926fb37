#include "can_bus_load.h"

#include "can_frame_text.h"

DWORD WorstCaseFrameBits(const RxMsg *msg) {
    DWORD canId = msg->can.id & ~RX_REMOTE_FRAME_FLAG;
    DWORD dataBits =
        (msg->can.id & RX_REMOTE_FRAME_FLAG) ? 0 : 8 * (msg->length > 8 ? 8 : msg->length);
    // Outside the stuffed part: CRC delimiter, ACK slot and delimiter, end
    // of frame, interframe space (13 bits). Stuffing covers start of frame
    // to CRC; at worst one stuff bit after every four bits.
    DWORD stuffed = (CanIdIsExtended(canId) ? 54 : 34) + dataBits;
    return stuffed + 13 + (stuffed - 1) / 4;
}

double BusLoadPercent(unsigned long long bits, double seconds, DWORD bitRate) {
    if (seconds <= 0 || bitRate == 0) return 0;
    return 100.0 * (double)bits / (seconds * (double)bitRate);
}
