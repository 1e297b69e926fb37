// The leaf of helpers: nothing here calls another file of the driver.
#include "vcan_helpers.h"

NTSTATUS VcanCompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS VcanStatusFromWin32(ULONG error)
{
    return (NTSTATUS)(0xC0070000u | (error & 0xFFFFu));
}

// Split so that a counter of many days times 10^7 does not overflow 64 bits.
ULONG64 VcanTimeStamp(void)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    ULONG64 f = frequency.QuadPart > 0 ? (ULONG64)frequency.QuadPart : 1;
    ULONG64 c = (ULONG64)counter.QuadPart;
    return (c / f) * 10000000ull + ((c % f) * 10000000ull) / f;
}

ULONG VcanWideLength(const WCHAR *s)
{
    ULONG n = 0;
    while (s[n]) n++;
    return n;
}

void VcanWideCopy(WCHAR *dst, ULONG dstChars, const WCHAR *src, ULONG srcChars)
{
    ULONG n = srcChars < dstChars - 1 ? srcChars : dstChars - 1;
    for (ULONG i = 0; i < n; i++) dst[i] = src[i];
    dst[n] = 0;
}

void VcanWideAppend(WCHAR *dst, ULONG dstChars, const WCHAR *text)
{
    ULONG len = VcanWideLength(dst);
    ULONG i = 0;
    while (text[i] && len + 1 < dstChars) dst[len++] = text[i++];
    dst[len] = 0;
}

BOOLEAN VcanWideAppendNumber(WCHAR *dst, ULONG dstChars, ULONG value)
{
    WCHAR digits[12];
    ULONG n = 0;
    do {
        digits[n++] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value);
    ULONG len = VcanWideLength(dst);
    if (len + n + 1 > dstChars) return FALSE;
    while (n) dst[len++] = digits[--n];
    dst[len] = 0;
    return TRUE;
}
