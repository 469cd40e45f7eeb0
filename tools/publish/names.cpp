#include "tools/publish/names.h"

#include <cstdio>

#include "platform/file.h"

namespace pub {

namespace {

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

}  // namespace

std::string shown(const std::string& name) {
  std::string out = "\"";
  for (unsigned char c : name) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (is_control(c)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string component_problem(const std::string& name) {
  if (name.empty()) return "it is empty";
  if (name == "." || name == "..") return "it is \".\" or \"..\"";
  for (unsigned char c : name) {
    if (c == '\n' || c == '\r') return "it holds a line break, which the directory file cannot carry";
    if (c == '\t') return "it holds a tab, which the installer cannot request from a server";
    if (is_control(c)) return "it holds a control character, which the directory file cannot carry";
    if (c == '\\') return "it holds a backslash, which the installer reads as a folder separator";
    if (c == '%' || c == '?' || c == '#')
      return std::string("it holds \"") + static_cast<char>(c) +
             "\", which the installer sends unescaped and a web server would misread";
  }
  return "";
}

std::string leading_name_problem(const std::string& name) {
  std::string p = component_problem(name);
  if (!p.empty()) return p;
  if (name[0] == ' ') return "it begins with a blank, which the installer's reader drops";
  return "";
}

std::string version_name_problem(const std::string& name) {
  if (name.find('/') != std::string::npos) return "it holds \"/\"; a version name is one folder name";
  std::string p = leading_name_problem(name);
  if (!p.empty()) return p;
  if (name.back() == ' ') return "it ends with a blank, which is invisible in the server list";
  // The installer gives the installed folder this name, so it must be one a
  // person gives a version: the installer refuses any other.
  if (name[0] == '.') return "it begins with a dot: the installed folder would be hidden";
  if (name.back() == '.') return "it ends with a dot, which Windows drops from folder names";
  const std::string windows = plat::windows_name_problem(name);
  if (!windows.empty()) return windows;
  return "";
}

std::string prefix_problem(const std::string& prefix) {
  if (prefix.empty() || prefix.front() != '/' || prefix.back() != '/')
    return "a path prefix must begin and end with \"/\"";
  if (prefix == "/") return "";
  std::string inner = prefix.substr(1, prefix.size() - 2);
  std::size_t start = 0;
  while (start <= inner.size()) {
    std::size_t slash = inner.find('/', start);
    std::string comp = inner.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    std::string p = component_problem(comp);
    if (!p.empty()) return "the component " + shown(comp) + " is not usable: " + p;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return "";
}

std::string host_problem(const std::string& entry) {
  // "https://" names a TLS server; plain HTTP is a host without a scheme.
  const bool tls = entry.compare(0, 8, "https://") == 0;
  const std::string host = tls ? entry.substr(8) : entry;
  if (host.empty()) return "the host is empty";
  if (host.find("://") != std::string::npos)
    return "give the host without a scheme (no \"http://\"), or with \"https://\" for a TLS server";
  for (unsigned char c : host) {
    if (c == ' ' || is_control(c)) return "a host holds no blanks or control characters";
    if (c == '/' || c == '\\') return "a host holds no \"/\" (the path goes on the prefix line)";
  }
  std::size_t colon = host.find(':');
  if (colon != std::string::npos) {
    std::string port = host.substr(colon + 1);
    if (colon == 0) return "the host name before the port is empty";
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) < 1 || std::stoi(port) > 65535)
      return "the port after \":\" must be a number from 1 to 65535";
  }
  return "";
}

std::string description_problem(const std::string& text) {
  if (text.empty()) return "a server description must not be empty";
  if (text[0] == ' ') return "a server description must not begin with a blank";
  for (unsigned char c : text)
    if (is_control(c)) return "a server description is one line without control characters";
  return "";
}

}  // namespace pub
