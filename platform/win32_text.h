// Private to the Windows platform files: text and path conversion at the
// seam, and the folding of Windows error codes into errno values.
//
// Inside the program every text is UTF-8 and every path uses "/"; every
// Windows call gets UTF-16 (the wide functions) and "\". Paths of 248
// characters or more (the limit of CreateDirectoryW) are made absolute and
// given the "\\?\" prefix, which lifts the limit to 32,767 characters.
#pragma once

#include <windows.h>

#include <string>

namespace plat::win32 {

// UTF-8 to UTF-16. False when `in` is not valid UTF-8.
bool widen(const std::string& in, std::wstring& out);
// UTF-16 to UTF-8 (unpaired surrogates become U+FFFD).
std::string narrow(const wchar_t* in, std::size_t n);
inline std::string narrow(const std::wstring& in) { return narrow(in.data(), in.size()); }

// A program path made ready for a wide Windows call: "/" turned into "\",
// long paths made absolute and prefixed. 0, EILSEQ for text that is not
// UTF-8, or ENAMETOOLONG beyond what Windows accepts.
int system_path(const std::string& path, std::wstring& out);
// A path from Windows made ready for the program: UTF-8, "\" turned into
// "/" except in a leading drive prefix ("C:\Users/ann/Desktop"), a "\\?\"
// prefix taken off again.
std::string program_path(const std::wstring& path);

// The errno value for a Windows error code (GetLastError); never 0.
int errno_from_win32(DWORD code);
// The errno value for the calling thread's last Windows error; never 0.
int last_errno();

}  // namespace plat::win32
