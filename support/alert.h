// Alerts: the one call through which any part of the program shows a failure
// to the user (type 1) or ends the program (type 2).
//
// Without a window (before the GL interface is up, in the unattended mode,
// or in tests) an alert is written to the log and to standard error; a
// type 2 alert then ends the process with exit status 1. Once the window is
// up, the window layer installs a drawer (alert_drawer) that shows the alert
// in window 995.
// With "--fps_test" on the command line alerts go to the log only.
#pragma once

#include <string>

enum alert_type {
  t_lang = 0,   // language choice (two option buttons, "Accept")
  t_alert = 1,  // message; the program goes on when it is dismissed
  t_exit = 2,   // fatal message; the program ends when it is dismissed
};

// Shows an alert of up to four lines. `file` is the raising module's name
// without extension, `line` the line number; both are shown for type 2 and
// logged. Does not return for type 2.
void __MACIBM_alert(int return_window, const std::string& line1, const std::string& line2,
                    const std::string& line3, const std::string& line4, int type, const char* file, int line);

// 1 while an alert is being shown (guards against alerts raised inside one).
extern int in_alert;

// Draws an alert in the window and runs its modal frames until it is
// dismissed; installed by the window layer once the GL interface is up.
// `where` is the location text "(file line N)".
extern void (*alert_drawer)(int return_window, const std::string lines[4], int type, const std::string& where);

// Hands a report raised off the main thread to the main thread; installed by
// the thread services while they run. Returns 1 when it took the report.
extern int (*alert_post_from_worker)(const std::string lines[4], int type, const char* file, int line);
