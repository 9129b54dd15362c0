// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one argument reader of the `talvenix` commands. A command takes its
// options by name, then its positional words; every mistake (an option
// without its value, a number out of range, an unknown option, a missing or
// an extra word) becomes one usage error that names what was wrong. The
// command then prints UsageError() and exits with status 2.
//
//   Arguments a(args);
//   std::string to = a.Text("--to", "+15550100");
//   uint32_t line = a.Number("--line", 1, 0, UINT32_MAX);
//   bool quiet = a.Flag("--quiet");
//   std::vector<std::string> text = a.Words(1, 1, "TEXT");
//   if (!a.ok()) return a.UsageError("send");
//
// Options may stand anywhere among the words; a word "--" ends the options,
// so a positional word may itself begin with "--". Not thread-safe; one
// reader per command run.

#include <cstdint>
#include <string>
#include <vector>

namespace talvenix::host {

class Arguments {
 public:
  explicit Arguments(std::vector<std::string> words);

  // The value of "--name VALUE", or `fallback` when the option is absent. A
  // value that is missing (or is itself an option) is an error.
  std::string Text(const std::string& name, const std::string& fallback = "");
  // Whether "--name VALUE" was given; the value goes to `value`.
  bool Has(const std::string& name, std::string& value);
  // A whole decimal number in [min, max]; `fallback` when absent.
  uint64_t Number(const std::string& name, uint64_t fallback, uint64_t min, uint64_t max);
  // A decimal number of seconds, 0 or more; `fallback` when absent.
  double Seconds(const std::string& name, double fallback);
  // Whether the word "--name" was given.
  bool Flag(const std::string& name);
  // Records "give NAME" as the error unless the option "NAME ..." is present;
  // take it afterwards with Text or Number.
  void Require(const std::string& name, const std::string& what);
  // The words left once every option was taken: between `min` and `max` of
  // them, each described as `what` in the error. A word left that looks like
  // an option is reported as unknown.
  std::vector<std::string> Words(size_t min, size_t max, const std::string& what);

  // Every word not taken yet, "--" included, for a command that hands them on.
  std::vector<std::string> Rest() const { return words_; }

  // True while no error was found.
  bool ok() const { return error_.empty(); }
  // The first error ("--to needs a value"); empty when none.
  const std::string& error() const { return error_; }
  // Prints "talvenix COMMAND: ERROR" and a hint to stderr; returns 2.
  int UsageError(const std::string& command) const;

 private:
  // The index of the option word `name`, or -1.
  int Find(const std::string& name) const;
  void Fail(std::string error);

  std::vector<std::string> words_;
  size_t options_end_;  // index of "--" or words_.size(): options are looked for before it
  std::string error_;
};

}  // namespace talvenix::host
