// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the module and its hosts may know about every gateway without building
// one: each gateway's descriptor (flag, names, capabilities, the properties of
// its settings block) and the one list of them. Plain constant data: linking
// it brings in no gateway code, so the `talvenix` command names services and
// edits their properties without carrying the gateways. Any thread may read
// it at any time.

#include <cstddef>
#include <cstdint>

#include "contract/service_descriptor.hpp"

namespace talvenix {

extern const ServiceDescriptor kClickatellService;
extern const ServiceDescriptor kEmailService;
extern const ServiceDescriptor kMessageMediaService;
extern const ServiceDescriptor kModemService;
extern const ServiceDescriptor kMultitechService;
extern const ServiceDescriptor kNullService;

// Where each gateway setting sits in its descriptor's list.
enum ClickatellSetting : size_t { kClickatellCentralUrl, kClickatellPlatformUrl };
enum EmailSetting : size_t { kSmtpSecurity, kSmtpUser, kSmtpPassword };
enum MessageMediaSetting : size_t { kMessageMediaEndpoint };

// Every service flag that has a transport id, in transport-id search order.
ServiceList AvailableServices();

// Service flag <-> transport id.
const char* TransportIdOf(uint32_t service_flag);             // null for 3, 5, 6 and others
uint32_t ServiceFlagOfTransportId(const char* transport_id);  // 6 when unknown

}  // namespace talvenix
