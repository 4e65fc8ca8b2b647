/*
 * cashgate — a reduced bill-validator API with a daily call log.
 *
 * Six functions, each calling one notecore function (libnotecore / notecore.dll,
 * which must be present: without it, or without one of the six notecore
 * functions cashgate uses, cashgate itself fails to load). Each call appends
 * one line to the day's log file and returns notecore's result unchanged.
 *
 * Conventions of every function below:
 *  - Results: 0 success, -1 failure (notecore's result, see notecore.h).
 *  - `first` and `second` point to caller-owned 32-bit integers. On success
 *    they receive the first and the second byte of the validator's reply (0
 *    to 255; the second is 0 when the reply has one byte); on failure they
 *    keep the values they had. A NULL `first` or `second` gives -1 without
 *    calling the validator or writing the log.
 *  - A reply of more than 100 bytes is refused: -1, targets unchanged.
 *  - Log: one line per call, "hh:mm:ss.zzz: <message>" and CR LF, local time,
 *    appended to "C:\yyyyMMdd.txt" for the local date (on Linux: the folder in
 *    KIOSKKIT_DRIVE_C, see the platform notes; unset means no log). The
 *    line is written after the validator call and shows the values then
 *    behind `first` and `second`, not the result. A log that cannot be written
 *    (missing drive, read-only file, full disk) never changes a result.
 *  - One call at a time: like notecore, cashgate takes no lock.
 */
#ifndef KIOSKKIT_CASHGATE_H
#define KIOSKKIT_CASHGATE_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(CASHGATE_BUILD)
#    define CASHGATE_API __declspec(dllexport)
#  else
#    define CASHGATE_API __declspec(dllimport)
#  endif
#else
#  define CASHGATE_API __attribute__((visibility("default")))
#endif

/* Calling convention of every function below: __stdcall on 32-bit Windows,
 * which is what hosts written in VB6, Delphi or .NET declare by default; the
 * system's C convention everywhere else. */
#ifndef KIOSKKIT_CALL
#  if defined(_WIN32) && !defined(_WIN64)
#    define KIOSKKIT_CALL __stdcall
#  else
#    define KIOSKKIT_CALL
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Voro_OpenPort(port). Log: "TarnOpenPort(<port>)". */
CASHGATE_API int32_t KIOSKKIT_CALL TarnOpenPort(int32_t port);

/* Voro_ClosePort(). Returns 0. Log: "TarnClosePort". */
CASHGATE_API int32_t KIOSKKIT_CALL TarnClosePort(void);

/* Voro_Reset: on success *first is 0 (the validator's acknowledgement) and
 * *second 0. Log: "TarnReset <first>,<second>". */
CASHGATE_API int32_t KIOSKKIT_CALL TarnReset(int32_t* first, int32_t* second);

/* Voro_Poll: on success *first is the validator's state byte and *second its
 * detail byte (for example the bill type of an escrow or stacked event).
 * Log: "TarnPoll <first>,<second>". */
CASHGATE_API int32_t KIOSKKIT_CALL TarnPoll(int32_t* first, int32_t* second);

/* Voro_EnableBillType(bill_mask, escrow): bit k of the low byte of
 * `bill_mask` enables bill type k (0 to 7); `escrow` is passed to notecore as
 * it is, so only the value 1 holds bills in escrow. Log:
 * "TarnEnableBillType(<mask & 0xFF>,<escrow != 0 ? 1 : 0>) <first>,<second>". */
CASHGATE_API int32_t KIOSKKIT_CALL TarnEnableBillType(uint32_t bill_mask, uint8_t escrow,
                                                  int32_t* first, int32_t* second);

/* Voro_DisableBill. Log: "TarnDisableBill <first>,<second>". */
CASHGATE_API int32_t KIOSKKIT_CALL TarnDisableBill(int32_t* first, int32_t* second);

#ifdef __cplusplus
}
#endif

#endif /* KIOSKKIT_CASHGATE_H */
