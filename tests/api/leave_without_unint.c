/* SPDX-License-Identifier: Apache-2.0 */
/* A host that leaves the module running: it starts the engine on the
 * qvsmscomms.xml of the working folder (the null gateway, whose thread keeps
 * faking incoming messages), sends, and then, by its argument:
 *
 *   unload          unloads the module without Unint and returns from main
 *   exit            returns from main without Unint
 *   channel         starts the test-message channel too, then returns
 *   unint-unload    calls Unint, unloads, and checks the module is gone
 *
 * Each must end at once: the test's time limit catches a hang. Exit status 0
 * when every step went as expected. */

#define _POSIX_C_SOURCE 200809L /* nanosleep in strict C11 */

#include <stdio.h>
#include <string.h>

#include <talvenix/talvenix.h>

#ifdef _WIN32
#include <windows.h>
static void* OpenModule(const char* path) { return (void*)LoadLibraryA(path); }
static void* FindExport(void* module, const char* name) { return (void*)GetProcAddress((HMODULE)module, name); }
static void CloseModule(void* module) { FreeLibrary((HMODULE)module); }
/* Whether the module is still mapped, by its file name. */
static int StillLoaded(const char* path) {
  const char* name = strrchr(path, '/');
  const char* backslash = strrchr(path, '\\');
  if (!name || (backslash && backslash > name)) name = backslash;
  return GetModuleHandleA(name ? name + 1 : path) != NULL;
}
static void WaitASecond(void) { Sleep(1000); }
/* The host's outgoing folder, for the test-message channel: the working folder. */
static int SetOutgoingFolder(void) {
  static const char kKey[] = "Software\\TalvenixLeaveWithoutUnint";
  char folder[MAX_PATH];
  HKEY key;
  if (!GetCurrentDirectoryA(sizeof folder, folder)) return 0;
  CreateDirectoryA("sms", NULL);
  /* The module reads the C runtime's environment, which it shares with this host. */
  _putenv("TALVENIX_HOST_SETTINGS=HKEY_CURRENT_USER\\Software\\TalvenixLeaveWithoutUnint");
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS) return 0;
  HKEY config;
  LSTATUS status = RegCreateKeyExA(key, "SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG", 0, NULL, 0,
                                   KEY_SET_VALUE, NULL, &config, NULL);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return 0;
  status = RegSetValueExA(config, "outdir", 0, REG_SZ, (const BYTE*)folder, (DWORD)strlen(folder) + 1);
  RegCloseKey(config);
  return status == ERROR_SUCCESS;
}
#else
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
static void* OpenModule(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* FindExport(void* module, const char* name) { return dlsym(module, name); }
static void CloseModule(void* module) { dlclose(module); }
static int StillLoaded(const char* path) {
  void* again = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (again) dlclose(again);
  return again != NULL;
}
static void WaitASecond(void) {
  struct timespec second = {1, 0};
  nanosleep(&second, NULL);
}
static int SetOutgoingFolder(void) {
  char folder[4096];
  if (!getcwd(folder, sizeof folder)) return 0;
  mkdir("sms", 0700);
  FILE* settings = fopen("host.ini", "w");
  if (!settings) return 0;
  fprintf(settings, "[SOFTWARE\\Vantrel FAX & VOICE\\Orlinda\\Config\\E2FG]\noutdir = %s\n", folder);
  fclose(settings);
  return setenv("TALVENIX_HOST_SETTINGS", "host.ini", 1) == 0 && setenv("XDG_RUNTIME_DIR", folder, 1) == 0;
}
#endif

typedef int32_t(TALVEX_CALL* InitFn)(uintptr_t, TalvexHostCallback, TalvexGenericOptions**);
typedef int32_t(TALVEX_CALL* SendFn)(TalvexSmsRequest*);
typedef int32_t(TALVEX_CALL* CommandFn)(uint32_t, void*, uint32_t);
typedef void(TALVEX_CALL* UnintFn)(void);

static int32_t TALVEX_CALL OnEvent(int32_t code, int32_t extra, uint32_t kind, uintptr_t context, void* data,
                                   uint32_t data_kind) {
  (void)code, (void)extra, (void)kind, (void)context, (void)data, (void)data_kind;
  return 0;
}

static void TALVEX_CALL OnTestEvent(uint32_t event, void* data, uintptr_t context, uint32_t reserved) {
  (void)event, (void)data, (void)context, (void)reserved;
}

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  const char* path = TALVENIX_MODULE;
  void* module = OpenModule(path);
  if (!module) return 10;
  InitFn init = (InitFn)FindExport(module, "InitTalvex");
  SendFn send = (SendFn)FindExport(module, "SendSMS");
  CommandFn command = (CommandFn)FindExport(module, "ExecuteCommand");
  UnintFn unint = (UnintFn)FindExport(module, "Unint");
  if (!init || !send || !command || !unint) return 11;

  TalvexGenericOptions* options = NULL;
  if (init(0, OnEvent, &options) != TALVEX_OK) return 12;
  static char16_t text[16] = u"left running";
  static TalvexSmsRequest request;
  request.text = text;
  request.text_capacity = 16;
  request.recipient = "+15550100";
  if (send(&request) != TALVEX_OK) return 13;
  if (strcmp(mode, "channel") == 0) {
    static TalvexTestRequest test;
    strcpy(test.recipient, "+15550100");
    test.callback = OnTestEvent;
    if (!SetOutgoingFolder()) return 3;
    if (command(TALVEX_CMD_SENDTESTSMS, &test, 0) != TALVEX_OK) return 14;
  }
  WaitASecond(); /* the gateway's thread is at work */

  if (strcmp(mode, "unload") == 0) {
    CloseModule(module);
  } else if (strcmp(mode, "unint-unload") == 0) {
    unint();
    CloseModule(module);
    if (StillLoaded(path)) return 15; /* nothing keeps a stopped module */
  } else if (strcmp(mode, "exit") != 0 && strcmp(mode, "channel") != 0) {
    return 2;
  }
  puts("returning");
  return 0;
}
