// The error record: one report of a failure, as raised by any part of the
// program. Worker threads hand these to the main thread, which shows them.
#pragma once

#include <string>

class exce_class {
 public:
  exce_class(const std::string& c1, const std::string& c2, const std::string& c3, const std::string& c4,
             const char* file, int line, int quit)
      : c1_(c1), c2_(c2), c3_(c3), c4_(c4), file_(file), line_(line), quit_(quit) {}
  exce_class(const exce_class&) = default;
  exce_class& operator=(const exce_class&) = default;
  virtual ~exce_class() = default;

  // Shows the record: on the main thread (or while the thread services are
  // not running) as an alert; on another thread it is written to the log
  // and the process ends at once with exit status 1.
  void Report();
  // Makes the record fatal (alert type 2).
  void MakeFatal() { quit_ = 2; }

  std::string c1_, c2_, c3_, c4_;  // the four message lines
  const char* file_;               // source module that raised it (a constant)
  int line_;                       // line number in that module
  int quit_;                       // alert type; 2 is fatal
};
