// The crash log: when the program is ended by a fatal signal (an invalid
// memory access, a bus error, an arithmetic fault, an illegal instruction,
// an abort - a stack overflow included), a short report is appended to
// "crash_log.txt" beside the program's log before the process ends as the
// signal would have ended it:
//
//   Unhandled exception: SIGSEGV (0000000B)       name and number
//   Flags=1, Address = 0x00000010                 signal code, faulting address
//     0) <the faulting instruction>
//     1) <its caller> ...                         at most 100 numbered lines
//
// Each stack line names the function (demangled) and the offset into it, the
// source file and line where the build carries debug information, and the
// module and the offset into it:
//
//    1) load_screen(int) + 42 (screens.cpp:118) (skyvane-installer + 123456)
//
// The report is written without the heap and without locks of its own (a
// crash inside the allocator does not hang the handler); a stack walk that
// faults ends the report where it stands.
#pragma once

#include <string>

// Installs the crash handler for the whole process and computes the crash
// log's path now (the handler cannot). `log_path`, when not empty, is the
// program's log: "crash_log.txt" goes in the same folder, and the log gets
// "This application has crashed.  Please send the file crash_log.txt to
// Velmora." after a crash, and a line naming the report's full path. When
// the crash log cannot be opened at crash time the report goes to standard
// error, and the log says so.
// Returns 1 when the handler is installed.
int UTL_debug_init(const std::string& log_path = std::string());

// The file crash reports are appended to; empty before UTL_debug_init.
std::string UTL_debug_crash_log_path();
