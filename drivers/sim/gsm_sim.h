/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The simulator GSM driver: the six driver entry points over simulated
 * modems, plus controls that tests, benchmarks and demonstrations use to
 * steer it. Every line runs its own thread, and every callback comes from
 * the thread of the line it concerns.
 *
 * It is a test driver and is never installed as the default driver file.
 * With the environment variable GSMSIM_DEMO set, every line sends one greeting
 * message once it started, and a send is answered 112 with its outcome and
 * then a status report following from the line's thread, so a person trying
 * the module sees traffic without a test steering it; GSMSIM_DEMO=noreference
 * does the same but leaves each send's reference unknown in its receipt.
 * Every message sent leaves a one-part receipt (gsm_driver.h) with the next
 * message reference of the driver, counting from 0.
 */
#ifndef TALVENIX_GSM_SIM_H
#define TALVENIX_GSM_SIM_H

#include "talvenix/gsm_driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Without a running line of that port, or without gsmdrvInit, controls that
 * need one return -1. */

/* Stops every line (pending sends are reported as 12, as at shutdown) and
 * forgets every setting and the call record. */
TALVEX_EXPORT void TALVEX_CALL gsmsim_Reset(void);
/* Result of the next gsmdrvInit calls (default 0). */
TALVEX_EXPORT void TALVEX_CALL gsmsim_SetInitResult(int32_t code);
/* Result of gsmdrvaddGSMline for this port (default 0; 112 also accepts). */
TALVEX_EXPORT void TALVEX_CALL gsmsim_SetLineResult(uint32_t comport, int32_t code);
/* Line state each accepted line reports from its thread right after it
 * starts (default 0, ready); -1 reports nothing. */
TALVEX_EXPORT void TALVEX_CALL gsmsim_SetAutoLineState(int32_t code);
/* What gsmdrvSendSMS answers (default 0). When it answers 112, the outcome
 * `final_code` follows from the sending line's thread after delay_ms.
 * Pending outcomes still queued when a line stops are reported as 12. */
TALVEX_EXPORT void TALVEX_CALL gsmsim_SetSendResult(int32_t immediate, int32_t final_code, uint32_t delay_ms);

/* Queue reports on a line's thread. */
TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_ReportLineState(uint32_t comport, int32_t code);
/* text in UTF-8; line_value is the line value handed to the host. */
TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_DeliverSms(uint32_t comport, const char* originator, const char* text,
                                                    uint32_t line_value);
TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_DeliverStatusReport(uint32_t comport, uint32_t reference, uint32_t status,
                                                             const char* recipient, const char* second_number,
                                                             const char* text);
/* Calls the line's callback with exactly these arguments; data is null, or
 * with_data non-zero points it at a zeroed buffer large enough for any record. */
TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_Inject(uint32_t comport, int32_t code, int32_t line, uint32_t kind,
                                                uint32_t data_kind, int32_t with_data);

/* Delivers `count` incoming messages from the line's thread, one callback
 * each, and returns when all are delivered (the count). With a non-null
 * `target` it calls that function with the same arguments instead of the
 * line's callback. */
TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_DeliverBurst(uint32_t comport, uint32_t count, const char* originator,
                                                      const char* text, TalvexDriverCallback target);

/* 1 once no line has queued or running work, 0 after timeout_ms. */
TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_WaitIdle(uint32_t timeout_ms);

/* The calls the driver received, one per line of text, oldest first:
 *   init | shutdown | add PORT BAUD | uninit PORT ONE | reinit PORT |
 *   send VALUE RECIPIENT TEXT
 * Copies as much as fits (always terminated) and returns the size needed,
 * NUL included. */
TALVEX_EXPORT uint32_t TALVEX_CALL gsmsim_CallLog(char* buffer, uint32_t size);
/* The record of the last gsmdrvaddGSMline for this port: 1, or 0 if none. */
TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_LastLineRecord(uint32_t comport, TalvexDriverLineRecord* out);
/* Number of lines running now. */
TALVEX_EXPORT int32_t TALVEX_CALL gsmsim_RunningLines(void);

#ifdef __cplusplus
}
#endif

#endif /* TALVENIX_GSM_SIM_H */
