/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Talvenix: the SMS gateway module's public interface.
 *
 * A host loads libTalvenix and calls the thirteen exports below. Every record
 * here crosses the host boundary, so on 32-bit targets each one has exactly
 * the documented layout (the layout check in tests/ proves it). Fields that
 * hold a pointer, a handle, a function address or the host's context value
 * are pointer-sized, so that 64-bit hosts can pass pointers through them.
 *
 * Usable from C11 and C++.
 */
#ifndef TALVENIX_TALVENIX_H
#define TALVENIX_TALVENIX_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#else
#include <uchar.h>
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define TALVEX_CALL __cdecl
#else
#define TALVEX_CALL
#endif

#if defined(_WIN32)
#define TALVEX_EXPORT __declspec(dllexport)
#else
#define TALVEX_EXPORT __attribute__((visibility("default")))
#endif

/* ---- Status codes: one code space for every result ---------------------- */

enum TalvexStatus {
  TALVEX_OK = 0,                 /* success */
  TALVEX_FAILED = 1,             /* generic failure */
  TALVEX_INVALID_PARAMETER = 6,
  TALVEX_ABORTED = 12,           /* pending request given up at shutdown */
  TALVEX_ALREADY_INITIALISED = 17,
  TALVEX_NOT_INITIALISED = 18,
  TALVEX_EMPTY_ACCOUNT_KEY = 107,
  TALVEX_PENDING = 112,          /* outcome follows through the callback, event 2 */
  TALVEX_ENGINE_DISABLED = 121,
  TALVEX_UPDATE_RESTART = 124,   /* Update: host must call Unint, then InitTalvex */
  TALVEX_UPDATE_APPLIED = 125,
  TALVEX_UPDATE_NOT_APPLIED = 126
};

/* Event kinds of the host callback. */
enum TalvexEvent {
  TALVEX_EVENT_RECEIVED = 1,     /* data: TalvexReceivedMessage*, valid during the call */
  TALVEX_EVENT_OUTCOME = 2,      /* data: the host's own TalvexSmsRequest* */
  TALVEX_EVENT_LINE_STATE = 3    /* data: the gateway's line record, or null */
};

/* Data kinds of the host callback. */
enum TalvexDataKind {
  TALVEX_DATA_SMS = 0,
  TALVEX_DATA_REQUEST = 1,
  TALVEX_DATA_STATUS_REPORT = 2
};

/* Service flags: which gateway. */
enum TalvexServiceFlag {
  TALVEX_SERVICE_NULL = 0,
  TALVEX_SERVICE_GSM = 1,
  TALVEX_SERVICE_CLICKATELL = 2,
  TALVEX_SERVICE_RESERVED = 3,
  TALVEX_SERVICE_EMAIL = 4,
  TALVEX_SERVICE_LEGACY_MODEM = 5,
  TALVEX_SERVICE_INVALID = 6,
  TALVEX_SERVICE_MESSAGEMEDIA = 7,
  TALVEX_SERVICE_MULTITECH = 8
};

/* Mask bits of the generic options (ChangeXMLGenericConfigurations, Update). */
enum TalvexOptionMask {
  TALVEX_OPT_SPLITSMS = 0x1,
  TALVEX_OPT_DETECTSIGNATURE = 0x2,
  TALVEX_OPT_APPEND = 0x4,
  TALVEX_OPT_ENABLEENGINE = 0x8,
  TALVEX_OPT_AUTOMATICROUTING = 0x10,
  TALVEX_OPT_SELECTEDSERVICE = 0x20,
  TALVEX_OPT_MAXSMSSPLIT = 0x40,
  TALVEX_OPT_MAXSMSCHARS = 0x80,
  TALVEX_OPT_DISABLEUNICODE = 0x100,
  TALVEX_OPT_SMSAUTOROUTE_TTL = 0x200,
  TALVEX_OPT_POSITION = 0x400,
  TALVEX_OPT_INFOTYPE = 0x800,
  TALVEX_OPT_ALL = 0x1000
};

/* ---- String buffers ------------------------------------------------------ */

/* 8-bit text owned by the module: NUL-terminated, capacity in characters. */
typedef struct TalvexText {
  char* text;
  uint32_t capacity;
} TalvexText;

/* UTF-16 text owned by the module: NUL-terminated, capacity in characters. */
typedef struct TalvexText16 {
  char16_t* text;
  uint32_t capacity;
} TalvexText16;

/* ---- Host callback ------------------------------------------------------- */

/* Called from gateway threads (and from the thread calling Unint for requests
 * given up at shutdown). The result is not used. */
typedef int32_t(TALVEX_CALL* TalvexHostCallback)(int32_t code, int32_t extra, uint32_t event_kind,
                                                 uintptr_t context, void* data, uint32_t data_kind);

/* ---- SMS request (owned by the host, at least 1,692 bytes on 32-bit) ---- */

#define TALVEX_SENDER_NAME_BYTES 1632 /* offsets 20 .. 1651: the name, then the driver area */
/* The tail of the sender name area belongs to the host and the GSM driver
 * (a driver's send receipt, gsm_driver.h); the module never touches it. */
#define TALVEX_DRIVER_AREA_BYTES 520
#define TALVEX_SENDER_NAME_CHARS ((TALVEX_SENDER_NAME_BYTES - TALVEX_DRIVER_AREA_BYTES) / 2)

typedef struct TalvexSmsRequest {
  char16_t* text;               /* UTF-16, NUL-terminated; overwritten with what went out */
  uint32_t text_capacity;       /* characters, NUL included; bounds every write */
  const char16_t* part;         /* set by the engine around each gateway call */
  const char* recipient;        /* 8-bit number */
  uint32_t host_reserved;       /* not used by the module */
  /* Sender name, UTF-16, NUL-terminated; the module reads only up to the first NUL. */
  char16_t sender_name[TALVEX_SENDER_NAME_CHARS];
  /* Shared by the host and the GSM driver only; passed through untouched. */
  uint8_t driver_area[TALVEX_DRIVER_AREA_BYTES];
  uintptr_t outcome_context;    /* written by the GSM modem gateway */
  uint32_t driver_reserved1;
  void* driver_callback;        /* written by the GSM modem gateway */
  uint8_t driver_reserved2[24];
  uint32_t tracking_id;         /* written by the Multi-Tech gateway */
} TalvexSmsRequest;

/* ---- Received message record (72 bytes on 32-bit) ------------------------ */

typedef struct TalvexReceivedMessage {
  uint32_t report_reference;    /* status reports: first value of the driver's report */
  uint32_t report_status;       /* status reports: second value of the driver's report */
  uint32_t service_flag;        /* gateway that reports */
  uint32_t line;                /* 1 for single-line gateways; the driver's line value for modems */
  TalvexText originator;        /* originating number */
  TalvexText report_text;       /* status reports: second number; empty otherwise */
  TalvexText16 text;            /* message text */
  TalvexText16 extra_text1;     /* empty unless a gateway fills it */
  TalvexText16 extra_text2;     /* empty unless a gateway fills it */
  TalvexText16 reserved;        /* not set by the module */
  TalvexText16 extra_text3;     /* empty unless a gateway fills it */
} TalvexReceivedMessage;

/* ---- Generic options record (2,480 bytes on 32-bit) ---------------------- */

/* One line of the GSM modem summary; all four texts are owned by the module. */
typedef struct TalvexLineEntry {
  TalvexText name;
  TalvexText international_dialing_enabled; /* "1" or "0" */
  TalvexText status;
  TalvexText id;                            /* position in the gateway's line list */
} TalvexLineEntry;

/* Growable array of line entries, owned by the module (16 bytes on 32-bit). */
typedef struct TalvexLineList {
  TalvexLineEntry* entries;
  uint32_t count;
  uint32_t capacity;
  uint32_t reserved;
} TalvexLineList;

typedef struct TalvexGenericOptions {
  int32_t splitsms;
  int32_t detectsignature;
  int32_t append;
  int32_t enableengine;
  int32_t automaticrouting;
  uint32_t service_flag;        /* worked out from selectedservice */
  int32_t maxsmssplit;
  int32_t maxsmschars;
  int32_t smsautoroute_ttl;
  int32_t disableunicode;
  char position[500];
  char infotype[500];
  char transport_id[500];       /* of the selected service, e.g. "simple_gsm" */
  char selectedservice[900];
  uint32_t multi_line;          /* 1 when the running gateway has several lines */
  uint32_t lines_started;       /* GSM lines with status 0 */
  uint32_t lines_failed;        /* GSM lines with status 1 */
  uint32_t lines_ready;         /* GSM lines with status 2 */
  TalvexText line_status;
  TalvexLineList lines;
} TalvexGenericOptions;

/* ---- Legacy modem settings record (service flag 5) ----------------------- */

typedef struct TalvexLegacyModemSettings {
  uint32_t comport;
  uint32_t reserved1;
  uint32_t baudrate;
  uint8_t reserved2[1030];
  char16_t initstr[512];
  char16_t smsc[512];
} TalvexLegacyModemSettings;

/* ---- Test-message channel (ExecuteCommand) ------------------------------ */

/* Commands of ExecuteCommand. */
enum TalvexCommand {
  TALVEX_CMD_SENDTESTSMS = 0,      /* data: TalvexTestRequest* */
  TALVEX_CMD_STOPTEST = 1,         /* data: none */
  TALVEX_CMD_SENDTESTSENDDATA = 2  /* data: const char*, NUL-terminated */
};

/* Events of the test-message callback. */
enum TalvexTestEvent {
  TALVEX_TEST_EVENT_STATUS = 0,    /* data: const int32_t* code (30 time-out, 22 read failed) */
  TALVEX_TEST_EVENT_MESSAGE = 1    /* data: const char*, the received bytes, NUL-terminated */
};

enum TalvexTestStatus {
  TALVEX_TEST_TIMEOUT = 30,        /* no line arrived within the time limit */
  TALVEX_TEST_READ_FAILED = 22     /* the next read could not be started */
};

/* Receives every event of the test-message channel, one call at a time, on a
 * module thread. data is valid only during the call; reserved is always 0. */
typedef void(TALVEX_CALL* TalvexTestCallback)(uint32_t event, void* data, uintptr_t context,
                                              uint32_t reserved);

/* Test request (command 0), owned by the host; 3,136 bytes on 32-bit. Text
 * fields need no NUL when full; they are read up to their size at most. */
typedef struct TalvexTestRequest {
  char recipient[500];          /* 8-bit number; at most 63 characters are used */
  char16_t body[800];           /* UTF-16 message text */
  char16_t subject[512];        /* UTF-16 */
  uint32_t line;                /* line the message is to go out on */
  TalvexTestCallback callback;  /* receives the channel's events */
  uintptr_t context;            /* passed back unchanged */
} TalvexTestRequest;

/* ---- GSM modem lines (service flag 1) ----------------------------------- */

/* Status of a GSM modem line. */
enum TalvexLineStatus {
  TALVEX_LINE_STARTED = 0,       /* accepted by the driver, waiting for its report */
  TALVEX_LINE_FAILED = 1,        /* not started, refused, or reported a failure */
  TALVEX_LINE_READY = 2          /* the driver reported the line ready */
};

/* Property mask bits of a line record (ChangeXMLConfigurations, flag 1). */
enum TalvexLineProperty {
  TALVEX_LINE_COMPORT = 0x1,
  TALVEX_LINE_BAUDRATE = 0x2,
  TALVEX_LINE_NAME = 0x4,
  TALVEX_LINE_INITSTR = 0x8,
  TALVEX_LINE_SMSC = 0x10,
  TALVEX_LINE_RECENABLED = 0x20,
  TALVEX_LINE_SENDENABLED = 0x40,
  TALVEX_LINE_CLEANSIM = 0x80,
  TALVEX_LINE_SRENABLED = 0x100,
  TALVEX_LINE_ENABLED = 0x200,
  TALVEX_LINE_SMSRETRY = 0x400,
  TALVEX_LINE_INUMBERENABLED = 0x800,
  TALVEX_LINE_READIOMODE = 0x1000,
  TALVEX_LINE_CNMI = 0x2000
};

#define TALVEX_LINE_TEXT_CHARS 512     /* each UTF-16 text field, NUL included */

/* One GSM modem line (4,128 bytes). The host gets arrays of pointers to it
 * from LoadGSMServiceXMLConfigurations, passes one to ChangeXMLConfigurations
 * and XMLConfigMultiLine_CreateNewLine, and gets the running line's record as
 * data of event 3 (valid during the call). Texts the host fills need not be
 * terminated: the module reads each up to its field size. */
typedef struct TalvexLineRecord {
  uint32_t comport;              /* the line's key, as stored in the document */
  uint32_t new_comport;          /* written for "[comport]" by ChangeXMLConfigurations */
  uint32_t baudrate;
  int32_t sms_retry;             /* default 3 */
  uint16_t read_mode;            /* 1 blocking, anything else non-blocking */
  char16_t line_name[TALVEX_LINE_TEXT_CHARS];
  char16_t initstr[TALVEX_LINE_TEXT_CHARS];
  char16_t smsc[TALVEX_LINE_TEXT_CHARS];
  char16_t cnmi[TALVEX_LINE_TEXT_CHARS];
  uint8_t accept_incoming;
  uint8_t accept_outgoing;
  uint8_t clean_sim;
  uint8_t status_reports;
  uint8_t line_enabled;
  uint8_t international_numbers; /* default 1 */
  uint32_t status;               /* TalvexLineStatus; default 1 */
  uint32_t last_code;            /* last code the driver reported; default 1 */
} TalvexLineRecord;

/* The lines ConfigLoad hands the host (16 bytes on 32-bit). Owned by the
 * module: release it with FreeXMLLoadResources(&list, 1). Loading into the
 * same list again refills it; the records and array of the earlier load stay
 * valid until that FreeXMLLoadResources, which frees every load of the list. */
typedef struct TalvexLineRecordList {
  TalvexLineRecord** lines;      /* count pointers, none null */
  uint32_t count;
  uint32_t capacity;
  uint32_t reserved;
} TalvexLineRecordList;

/* The GSM driver's callback into the module: code, line (the COM port for line
 * events), kind (0 line state, 1 send outcome, 2 message received), the
 * context word of the line record, data, data kind. */
typedef void(TALVEX_CALL* TalvexDriverCallback)(int32_t code, int32_t line, uint32_t kind, void* context,
                                                void* data, uint32_t data_kind);

#define TALVEX_DRIVER_TEXT_BYTES 500

/* One line as the GSM driver gets it (1,556 bytes on 32-bit). Texts are
 * 8-bit and NUL-terminated. */
typedef struct TalvexDriverLineRecord {
  uint32_t comport;
  uint32_t baudrate;
  char cnmi[TALVEX_DRIVER_TEXT_BYTES];
  char smsc[TALVEX_DRIVER_TEXT_BYTES];
  char initstr[TALVEX_DRIVER_TEXT_BYTES];
  void* context;                 /* passed back to callback */
  TalvexDriverCallback callback;
  uint32_t sms_retry;
  uint32_t reserved1;            /* 0 */
  uint32_t reserved2;            /* 0 */
  uint32_t has_cnmi;
  uint32_t has_smsc;
  uint32_t has_initstr;
  uint32_t can_receive;
  uint32_t can_send;
  uint32_t international_numbers;
  uint32_t clean_sim;
} TalvexDriverLineRecord;

/* ---- E-mail-to-SMS gateway (service flag 4) ----------------------------- */

/* Property mask bits of the e-mail settings block (ChangeXMLConfigurations,
 * flag 4). Body line n (1..10) is TALVEX_SMTP_BODYLINE1 << (n - 1). */
enum TalvexSmtpProperty {
  TALVEX_SMTP_SERVER = 0x1,
  TALVEX_SMTP_PORT = 0x2,
  TALVEX_SMTP_FROM = 0x4,
  TALVEX_SMTP_TO = 0x8,
  TALVEX_SMTP_CC = 0x10,
  TALVEX_SMTP_BCC = 0x20,
  TALVEX_SMTP_SUBJECT = 0x40,
  TALVEX_SMTP_TEMPLATE = 0x80,
  TALVEX_SMTP_BODYLINE1 = 0x100,
  TALVEX_SMTP_ALL = 0x40000
};

#define TALVEX_SMTP_BODY_LINES 10
#define TALVEX_SMTP_PROPERTIES 18      /* the mask bits above, all but _ALL */

/* The e-mail gateway's settings block (136,000 bytes). Every text is UTF-16
 * and NUL-terminated, at most its capacity minus one characters. The
 * descriptions are filled only by load mode 1 (in mask order); the body only
 * by the running gateway, from its template. */
typedef struct TalvexSmtpSettings {
  char16_t server[500];          /* "[smtpserver]" */
  char16_t port[500];            /* "[smtpport]", decimal text */
  char16_t from[1000];           /* "[from]" */
  char16_t to[1000];             /* "[to]" */
  char16_t cc[1000];             /* "[cc]" */
  char16_t bcc[1000];            /* "[bcc]" */
  char16_t subject[1000];        /* "[subject]" */
  char16_t template_name[1000];  /* "[bodytemplatename]" */
  char16_t body_lines[TALVEX_SMTP_BODY_LINES][2000]; /* "[bodyline1]" .. "[bodyline10]" */
  char16_t descriptions[TALVEX_SMTP_PROPERTIES][2000];
  char16_t body[5000];           /* the template's body */
} TalvexSmtpSettings;
/* ---- Clickatell gateway (service flag 2) -------------------------------- */

/* Status codes this gateway adds (ServiceSendSMS through SendSMS). */
enum TalvexClickatellStatus {
  TALVEX_CLICKATELL_AUTH_FAILED = 58,   /* Clickatell errors 1 and 108 */
  TALVEX_CLICKATELL_NO_CREDIT = 74,     /* Clickatell errors 105, 114 and 652 */
  TALVEX_CLICKATELL_REFUSED = 41        /* any other Clickatell error code */
};

/* Property mask bits of ChangeXMLConfigurations for flag 2. */
enum TalvexClickatellProperty {
  TALVEX_CLICKATELL_USER = 0x1,
  TALVEX_CLICKATELL_PASSWORD = 0x2,
  TALVEX_CLICKATELL_FROM = 0x4,
  TALVEX_CLICKATELL_APIID = 0x8,
  TALVEX_CLICKATELL_ALL = 0x10
};

#define TALVEX_CLICKATELL_VALUE_CHARS 1000       /* each value field, NUL included */
#define TALVEX_CLICKATELL_DESCRIPTION_CHARS 2000 /* each description field */

/* The settings block of flag 2 (25,000 bytes), owned by the host. Values are
 * NUL-terminated; descriptions are filled only with load mode 1. */
typedef struct TalvexClickatellSettings {
  char signupurl[1000];                                      /* 8-bit */
  char16_t user[TALVEX_CLICKATELL_VALUE_CHARS];              /* "[user]" */
  char16_t password[TALVEX_CLICKATELL_VALUE_CHARS];          /* "[password]" */
  char16_t from[TALVEX_CLICKATELL_VALUE_CHARS];              /* "[from]", optional sender */
  char16_t apiid[TALVEX_CLICKATELL_VALUE_CHARS];             /* "[apiid]": API id or API key */
  char16_t apiid_description[TALVEX_CLICKATELL_DESCRIPTION_CHARS];
  char16_t password_description[TALVEX_CLICKATELL_DESCRIPTION_CHARS];
  char16_t from_description[TALVEX_CLICKATELL_DESCRIPTION_CHARS];
  char16_t user_description[TALVEX_CLICKATELL_DESCRIPTION_CHARS];
} TalvexClickatellSettings;
/* ---- Multi-Tech iSMS device (service flag 8) ---------------------------- */

/* Status codes of the device gateway, beside those of TalvexStatus. */
enum TalvexMultitechStatus {
  TALVEX_MULTITECH_PARSE_ERROR = 2,   /* the device reported a parsing error */
  TALVEX_MULTITECH_AUTH_FAILED = 58,  /* the device refused user name and password */
  TALVEX_MULTITECH_UNREACHABLE = 59   /* the device could not be reached */
};

/* Property mask bits of ChangeXMLConfigurations for flag 8. */
enum TalvexMultitechProperty {
  TALVEX_MULTITECH_USERNAME = 0x1,
  TALVEX_MULTITECH_PASSWORD = 0x2,
  TALVEX_MULTITECH_IPADDRESS = 0x4,
  TALVEX_MULTITECH_PORT = 0x8,
  TALVEX_MULTITECH_ALL = 0x10
};

#define TALVEX_MULTITECH_VALUE_CHARS 1000        /* each value, NUL included */
#define TALVEX_MULTITECH_DESCRIPTION_CHARS 2000  /* each description, NUL included */

/* The device gateway's settings block (24,000 bytes), owned by the host.
 * All texts are UTF-16 and NUL-terminated. LoadGSMServiceXMLConfigurations
 * fills the values (and, with its selector set, the descriptions);
 * ChangeXMLConfigurations writes the values its mask selects. The port is
 * decimal text. */
typedef struct TalvexMultitechSettings {
  char16_t username[TALVEX_MULTITECH_VALUE_CHARS];
  char16_t password[TALVEX_MULTITECH_VALUE_CHARS];
  char16_t ipaddress[TALVEX_MULTITECH_VALUE_CHARS];
  char16_t port[TALVEX_MULTITECH_VALUE_CHARS];
  char16_t username_description[TALVEX_MULTITECH_DESCRIPTION_CHARS];
  char16_t password_description[TALVEX_MULTITECH_DESCRIPTION_CHARS];
  char16_t ipaddress_description[TALVEX_MULTITECH_DESCRIPTION_CHARS];
  char16_t port_description[TALVEX_MULTITECH_DESCRIPTION_CHARS];
} TalvexMultitechSettings;
/* ---- MessageMedia SOAP gateway (service flag 7) ------------------------- */

/* Property mask bits of the settings block (ChangeXMLConfigurations, flag 7). */
enum TalvexMessageMediaProperty {
  TALVEX_MM_USERNAME = 0x1,
  TALVEX_MM_PASSWORD = 0x2,
  TALVEX_MM_POLLINTERVAL = 0x4,
  TALVEX_MM_ALL = 0x8
};

/* The gateway's settings block (17,020 bytes), exchanged through
 * LoadGSMServiceXMLConfigurations and ChangeXMLConfigurations. Texts are
 * NUL-terminated. Load mode 0 fills the first four fields; the selector of
 * LoadGSMServiceXMLConfigurations fills the three long fields as well. */
typedef struct TalvexMessageMediaSettings {
  char signup_url[1000];                /* 8-bit, service attribute "signupurl" */
  char16_t username[1000];              /* "[username]" */
  char16_t password[1000];              /* "[password]" */
  char16_t poll_interval[10];           /* "[receivepollinterval]": minutes, decimal */
  char16_t username_long[2000];         /* load mode 1: "[username]" */
  char16_t password_long[2000];         /* load mode 1: "[password]" */
  char16_t poll_interval_long[2000];    /* load mode 1: "[receivepollinterval]" */
} TalvexMessageMediaSettings;

/* ---- The thirteen exports (cdecl, plain names) --------------------------- */

/* The host calls the exports from one thread at a time (any thread, but never
 * two exports at once); the callback runs on the module's own threads meanwhile.
 * No export blocks beyond the gateways' own time-outs, and none lets an
 * exception or signal of its own escape: every failure is a result. */

/* Starts the engine from qvsmscomms.xml in the working folder. The module keeps
 * `callback` and `context` until Unint returns and calls the callback on its own
 * threads. Writes a pointer to the engine's options record through options_out
 * (null when loading failed); the record stays the module's and is valid until
 * Unint or a 125 from Update. Returns 0, or 1 (null callback, already running,
 * failure), 6, 17, 121; a failed start may be retried. */
TALVEX_EXPORT int32_t TALVEX_CALL InitTalvex(uintptr_t context, TalvexHostCallback callback,
                                              TalvexGenericOptions** options_out);

/* Sends one SMS. 18 before InitTalvex, 6 for a null request, else the gateway's
 * status code. The host owns the request and its text; the module rewrites the
 * text with what went out before returning. On 112 (pending) the request must
 * stay valid until its outcome arrives through the callback (event 2, the same
 * request as data). */
TALVEX_EXPORT int32_t TALVEX_CALL SendSMS(TalvexSmsRequest* request);

/* Reloads the global options after the document changed. ORs the changed
 * options' mask bits into *change_mask (never clears one). host_value_a and
 * host_value_b are non-zero values of the host, passed unchanged to the
 * gateway (whose UpdateConfigs takes them B first). *options must hold the
 * pointer InitTalvex gave; on 125 it receives the engine's new record, and the
 * old one must no longer be read. Returns 6 for null/zero arguments, else 124
 * (restart needed: Unint, then InitTalvex), 125 (applied), 126 or 1 (failure). */
TALVEX_EXPORT int32_t TALVEX_CALL Update(uint32_t* change_mask, uint32_t host_value_a, uint32_t host_value_b,
                                          TalvexGenericOptions** options);

/* Stops the engine (first) and returns when its threads have ended; a later call
 * releases the configuration-only loader. Never fails. */
TALVEX_EXPORT void TALVEX_CALL Unint(void);

/* Test-message channel commands: 0 send a test SMS and listen (data: a
 * TalvexTestRequest read during the call; its callback and context are kept
 * until command 1 or the next command 0, and the callback runs on the module's
 * pool threads), 1 stop listening, 2 write a line (data: NUL-terminated text,
 * read during the call) into the listening channel, from this or another
 * process of the same user. Status code; any other command returns 6. */
TALVEX_EXPORT int32_t TALVEX_CALL ExecuteCommand(uint32_t command, void* data, uint32_t unused);

/* Configuration exports for settings screens. They need InitXMLConfigurations
 * first, run on the host thread, use the caller's records only during the call
 * (FreeXMLLoadResources excepted), save through a lock on the document so
 * concurrent writers lose nothing, and return non-zero for success, 0 for
 * failure (also for null pointers and flags that take no settings). */
/* Keeps copies of path and root; does not read the document yet. 1 or 0. */
TALVEX_EXPORT int32_t TALVEX_CALL InitXMLConfigurations(const char* path, const char* root);
/* Fills the caller's record with the global options. */
TALVEX_EXPORT int32_t TALVEX_CALL LoadGSMGenericXMLConfigurations(TalvexGenericOptions* options);
/* Writes the options selected by option_mask (0x1000: all) and saves. */
TALVEX_EXPORT int32_t TALVEX_CALL ChangeXMLGenericConfigurations(TalvexGenericOptions* options,
                                                                  uint32_t option_mask);
/* Writes the block's properties selected by property_mask for the gateway of
 * service_flag (its settings block layout) and saves. */
TALVEX_EXPORT int32_t TALVEX_CALL ChangeXMLConfigurations(uint32_t service_flag, void* settings_block,
                                                           uint32_t property_mask);
/* Fills the gateway's settings block (flag 5: a TalvexLegacyModemSettings);
 * with_mode_1 non-zero loads a second time in mode 1 and returns that result.
 * For flag 1 the module allocates the line list inside the block: the host
 * gives it back with FreeXMLLoadResources. */
TALVEX_EXPORT int32_t TALVEX_CALL LoadGSMServiceXMLConfigurations(uint32_t service_flag,
                                                                   void* settings_block,
                                                                   uint32_t with_mode_1);
/* Adds the line to the document (flag 1 only) and saves. */
TALVEX_EXPORT int32_t TALVEX_CALL XMLConfigMultiLine_CreateNewLine(uint32_t service_flag,
                                                                    TalvexLineRecord* line_record);
/* Removes the line whose COM port is line_number (flag 1 only) and saves. */
TALVEX_EXPORT int32_t TALVEX_CALL XMLConfigMultiLine_DeleteLine(uint32_t service_flag,
                                                                 uint32_t line_number);
/* Frees what LoadGSMServiceXMLConfigurations allocated inside the block (flag 1). */
TALVEX_EXPORT void TALVEX_CALL FreeXMLLoadResources(void* settings_block, uint32_t service_flag);

#ifdef __cplusplus
}
#endif

#endif /* TALVENIX_TALVENIX_H */
