/* SPDX-License-Identifier: Apache-2.0 */
/* The public header compiles as C11 with every warning. */
#include "talvenix/talvenix.h"
#include "talvenix/gsm_driver.h"

int talvex_header_compiles_as_c(void) {
  TalvexSmsRequest request = {0};
  TalvexGenericOptions options = {0};
  TalvexDriverStatusReport report = {0};
  return (int)(sizeof request + sizeof options + sizeof report) + TALVEX_PENDING;
}
