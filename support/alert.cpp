#include "support/alert.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/system.h"
#include "support/UTL_cmdline.h"
#include "support/hl_init.h"

int in_alert = 0;
void (*alert_drawer)(int, const std::string[4], int, const std::string&) = nullptr;
int (*alert_post_from_worker)(const std::string[4], int, const char*, int) = nullptr;

namespace {

// Ends the process after a fatal alert: the shutdown that writes no
// preferences, then an immediate exit with a failure status.
[[noreturn]] void end_after_fatal(int code) {
  MACIBM_finishup(0);
  app_done = 1;
  std::cout.flush();
  std::fflush(nullptr);
  std::_Exit(code);
}

// The message-box fallback: the joined text, at most 2000 bytes, on standard
// error under the box's title.
void show_fallback(const std::string lines[4]) {
  std::string text = lines[0] + "\n\n" + lines[1] + "\n\n" + lines[2] + "\n\n" + lines[3];
  if (text.size() > 2000) text.resize(2000);
  std::cerr << "Aerodeck Message\n" << text << "\n" << std::flush;
  plat::message_box("Aerodeck Message", text);
}

}  // namespace

void __MACIBM_alert(int return_window, const std::string& line1, const std::string& line2,
                    const std::string& line3, const std::string& line4, int type, const char* file, int line) {
  const std::string lines[4] = {line1, line2, line3, line4};

  if (alert_post_from_worker && alert_post_from_worker(lines, type, file, line)) return;

  const std::string where = std::string("(") + (file ? file : "") + " line " + std::to_string(line) + ")";

  if (cmdline.has_option("--fps_test")) {
    for (const std::string& l : lines) xer << l << "\n";
    xer << where << "\n";
    xer.flush();
    if (type == t_exit) end_after_fatal(1);
    return;
  }

  const int recursive = in_alert;
  in_alert = 1;

  const bool all_empty = line1.empty() && line2.empty() && line3.empty() && line4.empty();
  if (!ogl_inited || recursive || !alert_drawer) {
    if (!all_empty || recursive) show_fallback(lines);
  } else if (!all_empty) {
    alert_drawer(return_window, lines, type, where);
  }

  if (type == t_alert || type == t_exit || recursive) {
    xer << "This is the dump_mem_stats call from the following code: "
           "if(type==t_exit || type == t_alert || recursive_error)\n";
    xer << "Memory resident: " << plat::memory_resident_bytes() / 1024 << " kB\n";
    for (const std::string& l : lines) xer << l << "\n";
    xer << where << "\n";
    xer.flush();
  }
  if (type == t_exit || recursive) {
    if (type == t_exit) std::cerr << where << "\n" << std::flush;
    end_after_fatal(1);
  }
  in_alert = 0;
}
