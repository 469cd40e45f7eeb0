#include "tests/servers/servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace testservers {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in make_addr(const std::string& address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

// Waits until the child accepts connections on address:port, or has ended,
// or 10 s have passed.
bool wait_ready(ChildProcess& proc, const std::string& address, int port) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    if (accepts_connections(address, port)) return true;
    if (!proc.running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// How a server child fared: not started at all, started but never
// listening (stopped again), or listening on its port.
enum class Launch { not_started, not_listening, listening };

Launch launch(ChildProcess& proc, const std::vector<std::string>& argv, const std::string& address, int port) {
  if (!proc.start(argv, false)) return Launch::not_started;
  if (wait_ready(proc, address, port)) return Launch::listening;
  proc.stop();
  return Launch::not_listening;
}

}  // namespace

// ------------------------------------------------------------------ helpers

int free_port(const std::string& address) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in a = make_addr(address, 0);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

bool accepts_connections(const std::string& address, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a = make_addr(address, port);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

std::string find_program(const std::vector<std::string>& candidates) {
  for (const std::string& c : candidates) {
    if (c.find('/') != std::string::npos) {
      if (access(c.c_str(), X_OK) == 0) return c;
      continue;
    }
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
      const std::size_t end = dirs.find(':', start);
      const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
      const std::string full = (dir.empty() ? "." : dir) + "/" + c;
      if (access(full.c_str(), X_OK) == 0) return full;
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  return "";
}

// ------------------------------------------------------------- ChildProcess

bool ChildProcess::start(const std::vector<std::string>& argv, bool capture_stdout) {
  stop();
  int pipe_fds[2] = {-1, -1};
  if (capture_stdout && pipe2(pipe_fds, O_CLOEXEC) != 0) return false;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (capture_stdout) posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (capture_stdout) close(pipe_fds[1]);
  if (rc != 0) {
    if (capture_stdout) close(pipe_fds[0]);
    return false;
  }
  pid_ = pid;
  out_fd_ = capture_stdout ? pipe_fds[0] : -1;
  pending_.clear();
  return true;
}

bool ChildProcess::read_line(std::string& line, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    const std::size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return true;
    }
    if (out_fd_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{out_fd_, POLLIN, 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    char buf[512];
    const ssize_t got = read(out_fd_, buf, sizeof buf);
    if (got <= 0) return false;
    pending_.append(buf, static_cast<std::size_t>(got));
  }
}

bool ChildProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  if (r == pid_) reaped_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  pid_ = -1;
  return false;
}

int ChildProcess::wait_exit() {
  if (pid_ <= 0) return reaped_status_;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) {
      pid_ = -1;
      return -1;
    }
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::stop() {
  if (out_fd_ >= 0) {
    close(out_fd_);
    out_fd_ = -1;
  }
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

// ------------------------------------------------------------- NginxServer

bool make_test_certs(const std::string& dir, std::string& failure) {
  const std::string cmd = std::string("sh '") + SKYVANE_TEST_SERVERS_DIR + "/make_test_certs.sh' '" + dir + "'";
  if (std::system(cmd.c_str()) != 0) {
    failure = "cannot make the test certificates with openssl (Debian package openssl)";
    return false;
  }
  return true;
}

NginxServer::NginxServer(const std::string& root, const std::string& address, const std::string& extra,
                         const NginxTls* tls)
    : address_(address), tls_(tls != nullptr) {
  const std::string tls_lines =
      tls ? "    ssl_certificate \"" + tls->cert + "\";\n    ssl_certificate_key \"" + tls->key +
                "\";\n    ssl_protocols " + tls->protocols + ";\n" +
                (tls->protocols.find("TLSv1.2") == std::string::npos ? "    ssl_ciphers DEFAULT:@SECLEVEL=0;\n" : "")
          : std::string();
  const std::string nginx = find_program({"/usr/sbin/nginx", "nginx"});
  if (nginx.empty()) {
    failure_ = "nginx is not installed (Debian package nginx)";
    return;
  }
  const std::string d = dir_.path();
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int port = free_port(address);
    if (port == 0) {
      failure_ = "no free port on " + address;
      return;
    }
    // A single process that stays in the foreground: it is this test's
    // child, needs no user switch, and ends with SIGTERM.
    const std::string conf = "daemon off;\n"
                             "master_process off;\n"
                             "worker_processes 1;\n"
                             "pid \"" + d + "nginx.pid\";\n"
                             "error_log \"" + d + "error.log\" info;\n"
                             "events { worker_connections 512; }\n"
                             "http {\n"
                             // The usual line, then which connection carried
                             // the request and its number on that connection.
                             "  log_format withconn '$remote_addr - $remote_user [$time_local] \"$request\" '\n"
                             "    '$status $body_bytes_sent \"$http_referer\" \"$http_user_agent\" '\n"
                             "    'conn=$connection req=$connection_requests';\n"
                             "  access_log \"" + d + "access.log\" withconn;\n"
                             "  client_body_temp_path \"" + d + "body\";\n"
                             "  proxy_temp_path \"" + d + "proxy\";\n"
                             "  fastcgi_temp_path \"" + d + "fastcgi\";\n"
                             "  uwsgi_temp_path \"" + d + "uwsgi\";\n"
                             "  scgi_temp_path \"" + d + "scgi\";\n"
                             "  default_type application/octet-stream;\n"
                             "  sendfile on;\n"
                             "  tcp_nopush on;\n"
                             "  server {\n"
                             "    listen " + address + ":" + std::to_string(port) + (tls ? " ssl" : "") + ";\n" +
                             tls_lines +
                             "    server_name test;\n"
                             "    root \"" + root + "\";\n" +
                             extra +
                             "\n  }\n"
                             "}\n";
    testing_support::write_file(d + "nginx.conf", conf);
    const Launch l = launch(proc_, {nginx, "-p", d, "-e", d + "error.log", "-c", d + "nginx.conf"}, address, port);
    if (l == Launch::not_started) {
      failure_ = "cannot start " + nginx;
      return;
    }
    if (l == Launch::listening) {
      port_ = port;
      failure_.clear();
      return;
    }
    failure_ = "nginx did not start: " + error_log();
  }
}

NginxServer::~NginxServer() { proc_.stop(); }

std::string NginxServer::access_log() const { return testing_support::read_file(dir_.path() + "access.log"); }
std::string NginxServer::error_log() const { return testing_support::read_file(dir_.path() + "error.log"); }

// ------------------------------------------------------------- FaultServer

FaultServer::FaultServer(const std::string& address) : address_(address) {
  const std::string python = find_program({"/usr/bin/python3", "python3"});
  if (python.empty()) {
    failure_ = "python3 is not installed";
    return;
  }
  const std::string script = std::string(SKYVANE_TEST_SERVERS_DIR) + "/fault_server.py";
  if (!proc_.start({python, script, "--address", address}, true)) {
    failure_ = "cannot start " + script;
    return;
  }
  std::string line;
  if (!proc_.read_line(line, 10000) || line.compare(0, 5, "PORT ") != 0) {
    failure_ = "the fault server did not report its port";
    proc_.stop();
    return;
  }
  const int port = std::atoi(line.c_str() + 5);
  if (port <= 0 || !wait_ready(proc_, address, port)) {
    failure_ = "the fault server does not accept connections";
    proc_.stop();
    return;
  }
  port_ = port;
}

// --------------------------------------------------------------- TinyProxy

TinyProxy::TinyProxy(const std::string& address, const std::string& extra_config) : address_(address) {
  const std::string tinyproxy = find_program({"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy", "tinyproxy"});
  if (tinyproxy.empty()) {
    failure_ = "tinyproxy is not installed (Debian package tinyproxy)";
    return;
  }
  const std::string d = dir_.path();
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int port = free_port(address);
    const std::string conf = "Port " + std::to_string(port) + "\n" +
                             "Listen " + address + "\n" +
                             "Timeout 60\n"
                             "MaxClients 20\n"
                             "LogFile \"" + d + "tinyproxy.log\"\n"
                             "LogLevel Info\n"
                             "PidFile \"" + d + "tinyproxy.pid\"\n"
                             "Allow 127.0.0.0/8\n" + extra_config;
    testing_support::write_file(d + "tinyproxy.conf", conf);
    const Launch l = launch(proc_, {tinyproxy, "-d", "-c", d + "tinyproxy.conf"}, address, port);
    if (l == Launch::not_started) {
      failure_ = "cannot start " + tinyproxy;
      return;
    }
    if (l == Launch::listening) {
      port_ = port;
      failure_.clear();
      return;
    }
    failure_ = "tinyproxy did not start: " + log();
  }
}

TinyProxy::~TinyProxy() { proc_.stop(); }

std::string TinyProxy::log() const { return testing_support::read_file(dir_.path() + "tinyproxy.log"); }

}  // namespace testservers
