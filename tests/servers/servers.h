// Real servers on loopback for the tests, each started by the test that needs
// it and stopped (by its own process id) when the object goes away:
//
//   NginxServer  nginx from Debian serving a folder, with its configuration,
//                pid file, logs and temporary folders in a private folder.
//   FaultServer  tests/servers/fault_server.py: one misbehaviour per path
//                (see the list at the top of that script).
//   TinyProxy    tinyproxy from Debian forwarding for loopback clients.
//
// Each listens on a free port of a 127.x.y.z address and is ready (accepts
// connections) once the constructor returns with ok() true; otherwise
// failure() says why (also when the program is not installed). A server
// never binds port 80 and never touches a system-wide instance.
#pragma once

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace testservers {

// A child process of the test. Stopped with SIGTERM (then SIGKILL after 5 s)
// by stop() or the destructor.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (searched in PATH) with its standard output on a pipe
  // when `capture_stdout`, else inherited. Returns false when it cannot start.
  bool start(const std::vector<std::string>& argv, bool capture_stdout);
  // One line of the child's standard output without its "\n", waiting at
  // most `timeout_ms`. False on time-out or end of output.
  bool read_line(std::string& line, int timeout_ms);
  // Whether the child still runs (reaps it when it has ended).
  bool running();
  // Waits for the child to end by itself; its exit status, or -1 when it
  // was killed by a signal or there is no child. After running() has seen
  // the child end, the status it saw.
  int wait_exit();
  void stop();
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  int reaped_status_ = -1;  // exit status seen by running() when it reaped the child
  int out_fd_ = -1;
  std::string pending_;
};

// A port on `address` that nothing listens on right now.
int free_port(const std::string& address);
// Whether a TCP connection to address:port is accepted.
bool accepts_connections(const std::string& address, int port);
// The first of `candidates` that exists and is executable; empty if none.
std::string find_program(const std::vector<std::string>& candidates);

// Makes the test certificates in `dir` (tests/servers/make_test_certs.sh:
// ca.pem, and good, expired, wronghost, unknownca .pem/.key). False with
// `failure` set when openssl cannot make them.
bool make_test_certs(const std::string& dir, std::string& failure);

// TLS for an nginx server: its certificate and key files, and the protocol
// versions it offers (nginx's ssl_protocols).
struct NginxTls {
  std::string cert;
  std::string key;
  std::string protocols = "TLSv1.2 TLSv1.3";
};

class NginxServer {
 public:
  // Serves the folder `root` at "/" on `address`. `extra_server_config` is
  // placed inside the server block (e.g. more locations). With `tls` it
  // serves HTTPS only.
  explicit NginxServer(const std::string& root, const std::string& address = "127.0.0.1",
                       const std::string& extra_server_config = "", const NginxTls* tls = nullptr);
  ~NginxServer();

  bool ok() const { return port_ > 0; }
  const std::string& failure() const { return failure_; }
  const std::string& address() const { return address_; }
  int port() const { return port_; }
  // "address:port", as a server name for the download pool ("https://"
  // before it for a TLS server).
  std::string host() const { return (tls_ ? "https://" : "") + address_ + ":" + std::to_string(port_); }
  // The access log: the usual ("combined") line of each request, followed by
  // " conn=<n> req=<m>", the connection that carried it and the request's
  // number on that connection.
  std::string access_log() const;
  std::string error_log() const;

 private:
  testing_support::TempDir dir_;
  ChildProcess proc_;
  std::string address_;
  int port_ = 0;
  bool tls_ = false;
  std::string failure_;
};

class FaultServer {
 public:
  explicit FaultServer(const std::string& address = "127.0.0.1");
  ~FaultServer() = default;

  bool ok() const { return port_ > 0; }
  const std::string& failure() const { return failure_; }
  const std::string& address() const { return address_; }
  int port() const { return port_; }
  std::string host() const { return address_ + ":" + std::to_string(port_); }

 private:
  ChildProcess proc_;
  std::string address_;
  int port_ = 0;
  std::string failure_;
};

class TinyProxy {
 public:
  // `extra_config` is added to its configuration (e.g. "ConnectPort 1\n",
  // which refuses CONNECT to any other port).
  explicit TinyProxy(const std::string& address = "127.0.0.1", const std::string& extra_config = "");
  ~TinyProxy();

  bool ok() const { return port_ > 0; }
  const std::string& failure() const { return failure_; }
  const std::string& address() const { return address_; }
  int port() const { return port_; }
  // The proxy's log (requests are logged at level Info).
  std::string log() const;

 private:
  testing_support::TempDir dir_;
  ChildProcess proc_;
  std::string address_;
  int port_ = 0;
  std::string failure_;
};

}  // namespace testservers
