#include "support/exce.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "support/HL_THREAD.h"
#include "support/alert.h"
#include "support/hl_init.h"

void exce_class::Report() {
  if (!THREAD_is_inited() || THREAD_is_main_thread()) {
    // Records normally reach this point on the main thread, from the
    // frame's check of the worker queues; it shows them as any other alert.
    __MACIBM_alert(0, c1_, c2_, c3_, c4_, quit_, file_, line_);
    return;
  }
  // On another thread nothing can be shown: the report goes to the log and
  // the program ends. Only the log is touched here - the window and the
  // preferences belong to the main thread, which is still running - and
  // the process ends at once with a failure status.
  xer << "EXCEPTION REPORTED FROM THREAD!!  File: " << (file_ ? file_ : "") << ", line " << line_ << ".\n"
      << c1_ << "\n" << c2_ << "\n" << c3_ << "\n" << c4_ << "\n";
  xer.flush();
  app_done = 1;
  std::cout.flush();
  std::fflush(nullptr);
  std::_Exit(1);
}
