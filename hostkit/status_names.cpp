// SPDX-License-Identifier: Apache-2.0
#include "hostkit/status_names.hpp"

namespace talvenix::host {

namespace {
constexpr StatusCode kCodes[] = {
    {0, "success", "the message was sent"},
    {1, "failure", "the operation failed; Talvenix.log says why"},
    {2, "device parsing error", "the iSMS device could not read the request"},
    {6, "invalid parameter", "an argument was missing or wrong"},
    {12, "aborted", "a pending request was given up at shutdown"},
    {17, "already initialised", "the engine is already running"},
    {18, "not initialised", "the engine or the gateway is not running"},
    {41, "provider refused", "the provider refused the message; Talvenix.log has its error code"},
    {58, "login refused", "the provider or the iSMS device refused the account's credentials"},
    {59, "device unreachable", "the iSMS device did not answer at [ipaddress] and [port]"},
    {74, "no credit", "the provider account has no credit left for the message"},
    {107, "empty account key", "the gateway's account key is not configured"},
    {112, "pending", "accepted; the outcome follows as an event"},
    {121, "engine disabled", "set enableengine to yes in qvsmscomms.xml"},
    {124, "restart needed", "enableengine or the selected service changed"},
    {125, "update applied", "the new options were taken over"},
    {126, "update not applied", "the engine is not running"},
};
}  // namespace

std::span<const StatusCode> StatusCodes() { return kCodes; }

const char* StatusName(int code) {
  for (const StatusCode& c : kCodes)
    if (c.code == code) return c.name;
  return "unknown code";
}

std::string Describe(int code) { return std::to_string(code) + " " + StatusName(code); }

}  // namespace talvenix::host
