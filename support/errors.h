// Result codes and their texts. Operations that can fail return 0 or an
// error code: a system error number (errno, or a Windows error code), or one
// of the program's own codes below (20001 to 20016); error_str() turns any of
// them into text for the log and the alerts.
#pragma once

#include <string>

enum io_err_code {
  err_zip_open = 20001,        // unable to open a zip file
  err_zip_read = 20002,        // unable to read from a zip file
  err_zip_create = 20003,
  err_zip_write = 20004,
  err_zip_fork_size = 20005,
  err_file_open_read = 20006,  // could not open a file to read from it
  err_net_reconnect = 20007,
  err_net_bad_state = 20008,
  err_net_alloc = 20009,
  err_net_write_disk = 20010,  // could not write the incoming file to disk
  err_net_no_server = 20011,
  err_zip_fork_header = 20012,
  err_zip_unsafe_name = 20013, // a member's name would leave the folder it is extracted into
  err_zip_wrong_contents = 20014,  // the member's contents are not the ones the directory file lists
  err_zip_member_missing = 20015,  // the archive does not hold the file it was fetched for
  err_zip_needs_file = 20016,      // the archive must be fetched into a file and extracted from there
};

struct err_msg_row {
  int err;
  const char* msg;  // null ends the table
};
extern const err_msg_row kErrMsgs[];

// Where the last failure of this thread was recorded (file name and line):
// the hashing threads of the examination record theirs apart.
extern thread_local const char* sErrFile;
extern thread_local int sErrLine;

// The table's text for `code`; for a code not in the table, the operating
// system's message for it.
std::string error_str(int code);
