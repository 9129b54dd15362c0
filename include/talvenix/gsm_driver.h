/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The contract between the module and a GSM driver library: the six entry
 * points (cdecl, int results), the callback kinds and the records a driver
 * hands to the callback. Plain C, so driver libraries can include it alone.
 *
 * A driver calls back on its own threads between gsmdrvInit and
 * gsmdrvShutdown, with the context word of the line it works for. The data of
 * a callback need only live for the call.
 */
#ifndef TALVENIX_GSM_DRIVER_H
#define TALVENIX_GSM_DRIVER_H

#include "talvenix/talvenix.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The file loaded when nothing overrides it. */
#define TALVEX_GSM_DRIVER_FILE "qvGSMcomdrv.Qvd"
/* Environment variable naming another driver file. */
#define TALVEX_GSM_DRIVER_ENV "TALVENIX_GSM_DRIVER"

typedef int32_t(TALVEX_CALL* TalvexDrvInit)(void);         /* 0 = ready */
typedef int32_t(TALVEX_CALL* TalvexDrvShutdown)(void);     /* stops every line and thread */
typedef int32_t(TALVEX_CALL* TalvexDrvAddLine)(TalvexDriverLineRecord* line); /* 0 or 112 = accepted */
typedef int32_t(TALVEX_CALL* TalvexDrvReinitLine)(uint32_t comport);          /* never called */
typedef int32_t(TALVEX_CALL* TalvexDrvUninitLine)(uint32_t comport, uint32_t one);
typedef int32_t(TALVEX_CALL* TalvexDrvSendSMS)(uint32_t value, TalvexSmsRequest* request); /* 0, 112 or error */

/* Callback kinds. */
enum TalvexDriverCallbackKind {
  TALVEX_DRV_LINE_STATE = 0,     /* code 0 ready, else failure; line = COM port; data null */
  TALVEX_DRV_SEND_OUTCOME = 1,   /* code = final status; data = the TalvexSmsRequest; data kind 1 */
  TALVEX_DRV_RECEIVED = 2        /* data kind 0: TalvexDriverIncomingSms; 2: TalvexDriverStatusReport */
};

/* An incoming SMS (callback kind 2, data kind 0). Null texts count as empty. */
typedef struct TalvexDriverIncomingSms {
  const char16_t* text;          /* NUL-terminated */
  const char* originator;        /* 8-bit, NUL-terminated */
  uint32_t line;                 /* the line value handed to the host */
} TalvexDriverIncomingSms;

/* A status report (callback kind 2, data kind 2). */
typedef struct TalvexDriverStatusReport {
  uint32_t reference;            /* message reference */
  uint32_t status;               /* delivery status */
  const char* recipient;         /* 8-bit, NUL-terminated */
  const char* second_number;     /* 8-bit, NUL-terminated */
  const char16_t* text;          /* NUL-terminated */
} TalvexDriverStatusReport;

/* ---- Send receipt ---------------------------------------------------------
 * What a driver tells the host about a message it sent: the line and the
 * message reference (TP-MR) the network gave each part, so the host can tie
 * later status reports (report_reference, originator, the line) to the
 * message. A driver writes it into the request's driver_area before it
 * reports the send's outcome (callback kind 1, or before gsmdrvSendSMS
 * returns a final code), and reports no status report of a message before
 * that message's outcome. The host zeroes the area before it calls SendSMS,
 * so a request without a receipt has magic 0. Copy it in and out with memcpy:
 * the area is a byte array. */

#define TALVEX_RECEIPT_MAGIC 0x31525654u     /* "TVR1" */
#define TALVEX_RECEIPT_MAX_PARTS 255
#define TALVEX_RECEIPT_UNKNOWN 0xFFFFu       /* went out (or may have), its reference is not known */
#define TALVEX_RECEIPT_NOT_SENT 0xFFFEu      /* never went out */

typedef struct TalvexSendReceipt {
  uint32_t magic;                                  /* TALVEX_RECEIPT_MAGIC */
  uint32_t comport;                                /* the line that sent it */
  uint16_t parts;                                  /* parts of the message, at most TALVEX_RECEIPT_MAX_PARTS */
  uint16_t reference[TALVEX_RECEIPT_MAX_PARTS];    /* part n+1: TP-MR 0..255, or one of the two markers */
} TalvexSendReceipt;

/* The receipt fills the driver area exactly (a negative array size otherwise). */
typedef char TalvexSendReceiptFits[sizeof(TalvexSendReceipt) == TALVEX_DRIVER_AREA_BYTES ? 1 : -1];

#ifdef __cplusplus
}
#endif

#endif /* TALVENIX_GSM_DRIVER_H */
