/* SPDX-License-Identifier: Apache-2.0 */
/* A small host of the Talvenix module, in C: it loads the module at run time
 * (dlopen, or LoadLibrary on Windows), starts the engine on qvsmscomms.xml in the working folder, sends one SMS,
 * prints the incoming messages for three seconds and stops. Exit status 0
 * when the message was sent and at least one message came in.
 *
 *   host [MODULE]      MODULE defaults to TALVENIX_MODULE, set when building
 *
 * Built against the installed headers with pkg-config or CMake (see README). */

#define _POSIX_C_SOURCE 200809L  /* nanosleep in strict C11 */

#include <stdatomic.h>
#include <stdio.h>
#include <string.h>

#include <talvenix/talvenix.h>

/* The three things a host asks of the system: load a library, find a name in
 * it, wait a second. */
#ifdef _WIN32
#include <windows.h>
static void* OpenModule(const char* path) { return (void*)LoadLibraryA(path); }
static void* FindExport(void* module, const char* name) { return (void*)GetProcAddress((HMODULE)module, name); }
static const char* LoadFailure(void) {
  static char text[48];
  snprintf(text, sizeof text, "LoadLibrary failed, error %lu", (unsigned long)GetLastError());
  return text;
}
static void WaitOneSecond(void) { Sleep(1000); }
#else
#include <dlfcn.h>
#include <time.h>
static void* OpenModule(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* FindExport(void* module, const char* name) { return dlsym(module, name); }
static const char* LoadFailure(void) { return dlerror(); }
static void WaitOneSecond(void) {
  struct timespec second = {1, 0};
  nanosleep(&second, NULL);
}
#endif

typedef int32_t(TALVEX_CALL* InitFn)(uintptr_t, TalvexHostCallback, TalvexGenericOptions**);
typedef int32_t(TALVEX_CALL* SendFn)(TalvexSmsRequest*);
typedef void(TALVEX_CALL* UnintFn)(void);

static atomic_int received;

/* Runs on the module's threads; the message lives only during the call. */
static int32_t TALVEX_CALL OnEvent(int32_t code, int32_t extra, uint32_t kind, uintptr_t context, void* data,
                                   uint32_t data_kind) {
  (void)extra, (void)context, (void)data_kind;
  if (kind == TALVEX_EVENT_RECEIVED) {
    const TalvexReceivedMessage* m = data;
    printf("received from %s\n", m->originator.text ? m->originator.text : "?");
    atomic_fetch_add(&received, 1);
  } else if (kind == TALVEX_EVENT_OUTCOME) {
    printf("outcome %d\n", code);
  }
  fflush(stdout);
  return 0;
}

int main(int argc, char** argv) {
#ifdef TALVENIX_MODULE
  const char* path = argc > 1 ? argv[1] : TALVENIX_MODULE;
#else
  if (argc < 2) {
    fprintf(stderr, "usage: host MODULE\n");
    return 2;
  }
  const char* path = argv[1];
#endif
  void* module = OpenModule(path);
  if (!module) {
    fprintf(stderr, "host: %s: %s\n", path, LoadFailure());
    return 1;
  }
  InitFn init = (InitFn)FindExport(module, "InitTalvex");
  SendFn send = (SendFn)FindExport(module, "SendSMS");
  UnintFn unint = (UnintFn)FindExport(module, "Unint");
  if (!init || !send || !unint) {
    fprintf(stderr, "host: %s is not the Talvenix module\n", path);
    return 1;
  }

  TalvexGenericOptions* options = NULL;
  int32_t code = init(0, OnEvent, &options);
  if (code != TALVEX_OK) {
    fprintf(stderr, "host: InitTalvex gave %d; see Talvenix.log\n", code);
    return 1;
  }

  static char16_t text[161] = u"Hello from a C host";
  static TalvexSmsRequest request; /* outlives a pending (112) send */
  request.text = text;
  request.text_capacity = sizeof text / sizeof text[0];
  request.recipient = "+15550100";
  code = send(&request);
  printf("send: %d\n", code);

  for (int i = 0; i < 3; ++i) WaitOneSecond();
  unint();
  int got = atomic_load(&received);
  printf("%d incoming\n", got);
  return code == TALVEX_OK && got > 0 ? 0 : 1;
}
