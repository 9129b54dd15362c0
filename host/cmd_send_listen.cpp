// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "host/commands.hpp"
#include "support/text_codec.hpp"

namespace talvenix::host {
namespace {

// Starts the engine with the printing callback; says why when it does not.
bool StartEngine(Module& module) {
  TalvexGenericOptions* options = nullptr;
  int32_t code = module.InitTalvex(0, PrintingCallback, &options);
  if (code == TALVEX_OK) return true;
  std::fprintf(stderr, "the engine did not start: %s. See Talvenix.log in this folder; check qvsmscomms.xml.\n",
               Describe(code).c_str());
  return false;
}

}  // namespace

int RunSend(Module& module, const Args& arguments) {
  Arguments a(arguments);
  std::string to = a.Text("--to", "+15550100");
  std::string from = a.Text("--from", "talvenix");
  double wait_seconds = a.Seconds("--wait", 30);
  Args words = a.Words(1, 1, "the message text as one argument, e.g. talvenix send --to +15550100 \"Hello\"");
  if (!a.ok()) return a.UsageError("send");
  if (words[0].empty()) {
    std::fprintf(stderr, "talvenix send: the message text is empty; give the text to send\n");
    return 2;
  }
  if (!StartEngine(module)) return 1;
  std::u16string text = Utf8ToUtf16(words[0]);
  auto request = std::make_unique<TalvexSmsRequest>();
  std::u16string buffer = text;
  buffer.resize(text.size() + 1, u'\0');
  request->text = buffer.data();
  request->text_capacity = static_cast<uint32_t>(buffer.size());
  request->recipient = to.c_str();
  std::u16string sender = Utf8ToUtf16(from);
  std::memcpy(request->sender_name, sender.data(),
              std::min(sender.size(), sizeof request->sender_name / 2 - 1) * sizeof(char16_t));

  int32_t code = module.SendSMS(request.get());
  std::printf("send: %s\n", Describe(code).c_str());
  std::fflush(stdout);
  if (code == TALVEX_PENDING) {  // the outcome arrives as an event
    std::optional<int32_t> outcome = WaitForOutcome(wait_seconds);
    if (!outcome)
      std::printf("send: no outcome within %g seconds; the message may still go out (exit status 3)\n",
                  wait_seconds);
    code = outcome ? *outcome : -1;
  }
  module.Unint();
  return code == TALVEX_OK ? 0 : code == -1 ? 3 : 1;
}

int RunListen(Module& module, const Args& arguments) {
  Arguments a(arguments);
  double listen_seconds = a.Seconds("--seconds", 10);
  a.Words(0, 0, "");
  if (!a.ok()) return a.UsageError("listen");
  if (!StartEngine(module)) return 1;
  std::printf("listening for %g seconds (Ctrl-C stops)\n", listen_seconds);
  std::fflush(stdout);
  WaitForInterrupt(listen_seconds);
  module.Unint();
  return 0;
}

}  // namespace talvenix::host
