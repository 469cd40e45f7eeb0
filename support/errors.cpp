#include "support/errors.h"

#include "platform/file.h"

thread_local const char* sErrFile = "";
thread_local int sErrLine = 0;

const err_msg_row kErrMsgs[] = {
    {20001, "We were unable to open a zip file. It may be missing or damaged"},
    {20002, "We were unable to read from a zip file. It may be missing or damaged"},
    {20003, "We were unable to create a zip file"},
    {20004, "We were unable to write to a zip file. It may be missing or damaged"},
    {20005,
     "We cannot compress a zip file because its source file resource fork is more than 2 GB. The source file is "
     "probably damaged"},
    {20006, "We could not open a file to read from it"},
    {20007, "We were unable to connct to the network due to an internal reconnect error"},
    {20008, "We wre unable to connect to the network due to a bad state error"},
    {20009, "We could not allocate a connection to the network"},
    {20010, "We could not write the incoming file from the web to disk"},
    {20011, "We could not find the server over the network"},
    {20012, "Part of the downloaded zip file is corrupted (the resource fork header is bad)"},
    {20013, "The zip file holds a file whose name would place it outside the folder it is installed into"},
    {20014, "The file in the zip file does not have the contents the directory of files lists for it"},
    {20015, "The zip file does not hold the file it was fetched for"},
    {20016, "The zip file must be fetched again into a file and extracted from there"},
    {11, "Resource temporarily unavailable"},
    {35, "Resource deadlock avoided"},
    {36, "File name too long"},
    {38, "Function not implemented"},
    {39, "Directory not empty"},
    {88, "Wide character encoding error"},
    {7, "Argument list too long"},
    {13, "Permission denied. Perhaps you do not have access to a directory or file system"},
    {9, "Bad file descriptor"},
    {16, "Device busy"},
    {10, "No child processes"},
    {33, "Numerical argument out of domain"},
    {17, "File exists"},
    {14, "Bad address"},
    {27, "File too large"},
    {40, "File Position Error"},
    {4, "Interrupted system call"},
    {22, "Invalid argument"},
    {5, "Input/output error"},
    {21, "Is a directory"},
    {24, "Too many open files"},
    {31, "Too many links"},
    {23, "Too many open files in system"},
    {19, "Operation not supported by device"},
    {2, "No such file or directory"},
    {0, "No error detected"},
    {8, "Exec format error"},
    {77, "No locks available"},
    {12, "Out of memory"},
    {28, "No space left on device. Perhaps your hard drive is full"},
    {20, "Not a directory"},
    {25, "Inappropriate ioctl for device"},
    {6, "Device not configured"},
    {1, "Operation not permitted. Perhaps you do not have access to a directory or file system"},
    {32, "Broken pipe"},
    {34, "Result too large"},
    {30, "The destination file system is read-only"},
    {26, "Signal error"},
    {29, "Illegal seek"},
    {3, "No such process"},
    {99, "Unknown error"},
    {18, "Cross-device link"},
    {0, nullptr},
};

std::string error_str(int code) {
  for (const err_msg_row* r = kErrMsgs; r->msg; ++r) {
    if (r->err == code) return r->msg;
  }
  return plat::error_text(code);
}
