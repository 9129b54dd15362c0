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

bool ParseSeconds(const std::string& text, double& seconds) {
  char* end = nullptr;
  seconds = std::strtod(text.c_str(), &end);
  if (end != text.c_str() && *end == '\0' && seconds >= 0) return true;
  std::fprintf(stderr, "'%s' is not a number of seconds\n", text.c_str());
  return false;
}

}  // namespace

int RunSend(Module& module, const Args& arguments) {
  Args args = arguments;
  std::string to = "+15550100", from = "talvenix", wait = "30";
  TakeOption(args, "--to", to);
  TakeOption(args, "--from", from);
  TakeOption(args, "--wait", wait);
  if (args.size() != 1) {
    std::fprintf(stderr, "send: give the message text as one argument, e.g. talvenix send --to +15550100 \"Hello\"\n");
    return 2;
  }
  double wait_seconds = 0;
  if (!ParseSeconds(wait, wait_seconds)) return 2;
  if (!StartEngine(module)) return 1;
  std::u16string text = Utf8ToUtf16(args[0]);
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
  if (code == TALVEX_PENDING) WaitForInterrupt(wait_seconds);  // the outcome arrives as an event
  module.Unint();
  return code == TALVEX_OK || code == TALVEX_PENDING ? 0 : 1;
}

int RunListen(Module& module, const Args& arguments) {
  Args args = arguments;
  std::string seconds = "10";
  TakeOption(args, "--seconds", seconds);
  double listen_seconds = 0;
  if (!ParseSeconds(seconds, listen_seconds)) return 2;
  if (!StartEngine(module)) return 1;
  std::printf("listening for %s seconds (Ctrl-C stops)\n", seconds.c_str());
  std::fflush(stdout);
  WaitForInterrupt(listen_seconds);
  module.Unint();
  return 0;
}

}  // namespace talvenix::host
