// Where the installer keeps its preferences file in the tests: the folder
// that the variable kConfigVar names, then kSettingsFolder
// ($XDG_CONFIG_HOME/skyvane/ on POSIX, %APPDATA%\Skyvane\ on Windows); each
// case points the variable at a folder of its own.
#pragma once

#include <string>

namespace installer_test {

#ifdef _WIN32
inline constexpr const char* kConfigVar = "APPDATA";
inline const std::string kSettingsFolder = "/Skyvane/";
#else
inline constexpr const char* kConfigVar = "XDG_CONFIG_HOME";
inline const std::string kSettingsFolder = "/skyvane/";
#endif

}  // namespace installer_test
