// SPDX-License-Identifier: Apache-2.0
// Compiled for a 32-bit target only (i686 cross compiler, -fsyntax-only):
// every record that crosses the host boundary has its documented layout.
#include <cstddef>

#include "talvenix/gsm_driver.h"
#include "talvenix/talvenix.h"

static_assert(sizeof(void*) == 4, "this check is meant for a 32-bit target");

#define AT(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)

AT(TalvexText, text, 0);
AT(TalvexText, capacity, 4);
static_assert(sizeof(TalvexText) == 8);
AT(TalvexText16, text, 0);
AT(TalvexText16, capacity, 4);
static_assert(sizeof(TalvexText16) == 8);

AT(TalvexSmsRequest, text, 0);
AT(TalvexSmsRequest, text_capacity, 4);
AT(TalvexSmsRequest, part, 8);
AT(TalvexSmsRequest, recipient, 12);
AT(TalvexSmsRequest, host_reserved, 16);
AT(TalvexSmsRequest, sender_name, 20);
AT(TalvexSmsRequest, driver_area, 1132);
AT(TalvexSendReceipt, comport, 4);
AT(TalvexSendReceipt, parts, 8);
AT(TalvexSendReceipt, reference, 10);
static_assert(sizeof(TalvexSendReceipt) == 520);
AT(TalvexSmsRequest, outcome_context, 1652);
AT(TalvexSmsRequest, driver_callback, 1660);
AT(TalvexSmsRequest, tracking_id, 1688);
static_assert(sizeof(TalvexSmsRequest) == 1692);

AT(TalvexReceivedMessage, report_reference, 0);
AT(TalvexReceivedMessage, report_status, 4);
AT(TalvexReceivedMessage, service_flag, 8);
AT(TalvexReceivedMessage, line, 12);
AT(TalvexReceivedMessage, originator, 16);
AT(TalvexReceivedMessage, report_text, 24);
AT(TalvexReceivedMessage, text, 32);
AT(TalvexReceivedMessage, extra_text1, 40);
AT(TalvexReceivedMessage, extra_text2, 48);
AT(TalvexReceivedMessage, reserved, 56);
AT(TalvexReceivedMessage, extra_text3, 64);
static_assert(sizeof(TalvexReceivedMessage) == 72);

static_assert(sizeof(TalvexLineList) == 16);
AT(TalvexLineList, entries, 0);
AT(TalvexLineList, count, 4);
AT(TalvexLineList, capacity, 8);

AT(TalvexGenericOptions, splitsms, 0);
AT(TalvexGenericOptions, detectsignature, 4);
AT(TalvexGenericOptions, append, 8);
AT(TalvexGenericOptions, enableengine, 12);
AT(TalvexGenericOptions, automaticrouting, 16);
AT(TalvexGenericOptions, service_flag, 20);
AT(TalvexGenericOptions, maxsmssplit, 24);
AT(TalvexGenericOptions, maxsmschars, 28);
AT(TalvexGenericOptions, smsautoroute_ttl, 32);
AT(TalvexGenericOptions, disableunicode, 36);
AT(TalvexGenericOptions, position, 40);
AT(TalvexGenericOptions, infotype, 540);
AT(TalvexGenericOptions, transport_id, 1040);
AT(TalvexGenericOptions, selectedservice, 1540);
AT(TalvexGenericOptions, multi_line, 2440);
AT(TalvexGenericOptions, lines_started, 2444);
AT(TalvexGenericOptions, lines_failed, 2448);
AT(TalvexGenericOptions, lines_ready, 2452);
AT(TalvexGenericOptions, line_status, 2456);
AT(TalvexGenericOptions, lines, 2464);
static_assert(sizeof(TalvexGenericOptions) == 2480);

AT(TalvexLegacyModemSettings, comport, 0);
AT(TalvexLegacyModemSettings, baudrate, 8);
AT(TalvexLegacyModemSettings, initstr, 1042);
AT(TalvexLegacyModemSettings, smsc, 2066);

AT(TalvexTestRequest, recipient, 0);
AT(TalvexTestRequest, body, 500);
AT(TalvexTestRequest, subject, 2100);
AT(TalvexTestRequest, line, 3124);
AT(TalvexTestRequest, callback, 3128);
AT(TalvexTestRequest, context, 3132);
static_assert(sizeof(TalvexTestRequest) == 3136);

AT(TalvexLineRecord, comport, 0);
AT(TalvexLineRecord, new_comport, 4);
AT(TalvexLineRecord, baudrate, 8);
AT(TalvexLineRecord, sms_retry, 12);
AT(TalvexLineRecord, read_mode, 16);
AT(TalvexLineRecord, line_name, 18);
AT(TalvexLineRecord, initstr, 1042);
AT(TalvexLineRecord, smsc, 2066);
AT(TalvexLineRecord, cnmi, 3090);
AT(TalvexLineRecord, accept_incoming, 4114);
AT(TalvexLineRecord, accept_outgoing, 4115);
AT(TalvexLineRecord, clean_sim, 4116);
AT(TalvexLineRecord, status_reports, 4117);
AT(TalvexLineRecord, line_enabled, 4118);
AT(TalvexLineRecord, international_numbers, 4119);
AT(TalvexLineRecord, status, 4120);
AT(TalvexLineRecord, last_code, 4124);
static_assert(sizeof(TalvexLineRecord) == 4128);

AT(TalvexLineRecordList, lines, 0);
AT(TalvexLineRecordList, count, 4);
AT(TalvexLineRecordList, capacity, 8);
static_assert(sizeof(TalvexLineRecordList) == 16);

AT(TalvexDriverLineRecord, comport, 0);
AT(TalvexDriverLineRecord, baudrate, 4);
AT(TalvexDriverLineRecord, cnmi, 8);
AT(TalvexDriverLineRecord, smsc, 508);
AT(TalvexDriverLineRecord, initstr, 1008);
AT(TalvexDriverLineRecord, context, 1508);
AT(TalvexDriverLineRecord, callback, 1512);
AT(TalvexDriverLineRecord, sms_retry, 1516);
AT(TalvexDriverLineRecord, reserved1, 1520);
AT(TalvexDriverLineRecord, reserved2, 1524);
AT(TalvexDriverLineRecord, has_cnmi, 1528);
AT(TalvexDriverLineRecord, has_smsc, 1532);
AT(TalvexDriverLineRecord, has_initstr, 1536);
AT(TalvexDriverLineRecord, can_receive, 1540);
AT(TalvexDriverLineRecord, can_send, 1544);
AT(TalvexDriverLineRecord, international_numbers, 1548);
AT(TalvexDriverLineRecord, clean_sim, 1552);
static_assert(sizeof(TalvexDriverLineRecord) == 1556);

// The driver contract's records.
AT(TalvexDriverIncomingSms, text, 0);
AT(TalvexDriverIncomingSms, originator, 4);
AT(TalvexDriverIncomingSms, line, 8);
static_assert(sizeof(TalvexDriverIncomingSms) == 12);
AT(TalvexDriverStatusReport, reference, 0);
AT(TalvexDriverStatusReport, status, 4);
AT(TalvexDriverStatusReport, recipient, 8);
AT(TalvexDriverStatusReport, second_number, 12);
AT(TalvexDriverStatusReport, text, 16);
static_assert(sizeof(TalvexDriverStatusReport) == 20);

// The e-mail gateway's settings block.
AT(TalvexSmtpSettings, server, 0);
AT(TalvexSmtpSettings, port, 1000);
AT(TalvexSmtpSettings, from, 2000);
AT(TalvexSmtpSettings, to, 4000);
AT(TalvexSmtpSettings, cc, 6000);
AT(TalvexSmtpSettings, bcc, 8000);
AT(TalvexSmtpSettings, subject, 10000);
AT(TalvexSmtpSettings, template_name, 12000);
AT(TalvexSmtpSettings, body_lines, 14000);
AT(TalvexSmtpSettings, descriptions, 54000);
AT(TalvexSmtpSettings, body, 126000);
static_assert(sizeof(TalvexSmtpSettings) == 136000);
// The Clickatell settings block.
AT(TalvexClickatellSettings, signupurl, 0);
AT(TalvexClickatellSettings, user, 1000);
AT(TalvexClickatellSettings, password, 3000);
AT(TalvexClickatellSettings, from, 5000);
AT(TalvexClickatellSettings, apiid, 7000);
AT(TalvexClickatellSettings, apiid_description, 9000);
AT(TalvexClickatellSettings, password_description, 13000);
AT(TalvexClickatellSettings, from_description, 17000);
AT(TalvexClickatellSettings, user_description, 21000);
static_assert(sizeof(TalvexClickatellSettings) == 25000);
// The Multi-Tech device gateway's settings block.
AT(TalvexMultitechSettings, username, 0);
AT(TalvexMultitechSettings, password, 2000);
AT(TalvexMultitechSettings, ipaddress, 4000);
AT(TalvexMultitechSettings, port, 6000);
AT(TalvexMultitechSettings, username_description, 8000);
AT(TalvexMultitechSettings, password_description, 12000);
AT(TalvexMultitechSettings, ipaddress_description, 16000);
AT(TalvexMultitechSettings, port_description, 20000);
static_assert(sizeof(TalvexMultitechSettings) == 24000);
// MessageMedia settings block.
AT(TalvexMessageMediaSettings, signup_url, 0);
AT(TalvexMessageMediaSettings, username, 1000);
AT(TalvexMessageMediaSettings, password, 3000);
AT(TalvexMessageMediaSettings, poll_interval, 5000);
AT(TalvexMessageMediaSettings, username_long, 5020);
AT(TalvexMessageMediaSettings, password_long, 9020);
AT(TalvexMessageMediaSettings, poll_interval_long, 13020);
static_assert(sizeof(TalvexMessageMediaSettings) == 17020);
