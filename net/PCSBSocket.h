// One IPv4 TCP client connection that never blocks the frame loop.
//
// Every call returns at once; progress is read by polling GetStatus once a
// frame. The connection's condition is one value, PCSB_Status, so that the
// HTTP transfer reads progress, orderly end and failure from one place.
//
// Failures of the system calls are folded into the status:
//   - refused, reset, aborted, not connected, timed out, shut down and broken
//     pipe end the connection (pcsbstatus_Disconnected, mSocketError kept);
//   - would-block and in-progress mean "nothing yet" (the call returns 0);
//   - anything else is pcsbstatus_Error with the system's code in
//     mSocketError (GetOSError).
// Disconnected and Error are final: the owner then destroys the socket.
//
// Edge cases:
//   - A connection that nobody accepts (nothing listens) ends Disconnected
//     with GetOSError() 0, never Error.
//   - After the peer's orderly close ReadData returns 0 (not -1),
//     ReceivedRelease() turns true and GetStatus() stays Connected: the
//     caller decides what the end of the stream means.
//   - A send never raises SIGPIPE; a send on a reset connection returns -1.
//   - Disconnect on a socket in Error keeps Error.
//   - LookupAddress takes a dotted quad as it is, without asking the resolver.
//
// A TLS connection (StartTls) stays Connecting until its handshake is done;
// with a tunnel, the proxy it connects to is first asked for one (CONNECT).
// A handshake or tunnel that fails ends in Error with its reason in
// FailReason(); afterwards ReadData and http_WriteData carry the decrypted
// bytes, and a session that fails later ends the connection (Disconnected).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/socket.h"
#include "platform/tls.h"

enum PCSB_Status {
  pcsbstatus_Ready = 1,         // created, bound, non-blocking; no connection attempted
  pcsbstatus_Connecting = 2,    // a connection is being made
  pcsbstatus_Connected = 3,     // established: data may be sent and received
  pcsbstatus_Disconnected = 4,  // over: refused, reset, aborted, timed out, or ended by this side
  pcsbstatus_Error = 5,         // a call failed otherwise; mSocketError holds the code
};

class PCSBSocket {
 public:
  // Creates the socket bound to `port` (0: any). Only client sockets exist in
  // this program: `listen` must be false (true gives pcsbstatus_Error with
  // EOPNOTSUPP).
  PCSBSocket(std::uint16_t port, bool listen);
  virtual ~PCSBSocket();
  PCSBSocket(const PCSBSocket&) = delete;
  PCSBSocket& operator=(const PCSBSocket&) = delete;

  // Prepares the system's socket services once per process. True when they
  // are usable. The argument has no effect.
  static bool StartupNetworking(bool);

  // Polls without waiting and returns the (possibly updated) status. Only a
  // connection in progress is examined; an established connection's end is
  // found by ReadData and http_WriteData.
  PCSB_Status GetStatus();
  int GetOSError() const { return mSocketError; }
  bool ReceivedRelease() const { return mReceivedRelease; }

  // Starts connecting to `address` (IPv4, network order, as LookupAddress
  // gives it) and `port` (host order).
  void Connect(std::uint32_t address, std::uint16_t port);

  // Receives up to `size` bytes: the count (> 0), 0 when nothing is there
  // now (or the peer has released), -1 when the connection is over or failed.
  std::int32_t ReadData(void* buffer, std::int32_t size);

  // Sends up to `size` bytes: the count the system took (maybe fewer), 0
  // when it takes nothing now, -1 when the connection is over or failed.
  std::int32_t http_WriteData(const void* data, std::int32_t size);

  // Sends this side's release and marks the connection over.
  void Disconnect();

  // Makes this a TLS connection to `host`, checked for that name, once the
  // connection is up. With `tunnel` ("host:port") the socket connects to an
  // HTTP proxy, which is asked first to open a tunnel there. Called right
  // after Connect.
  void StartTls(const std::string& host, const std::string& tunnel);
  bool IsTls() const { return mStage != Stage::none; }
  // Why the connection failed beyond a system error (the TLS handshake, the
  // proxy's answer to CONNECT); empty otherwise.
  const std::string& FailReason() const { return mFailReason; }
  // While Connecting: whether the next step waits for room to send (else for
  // data to read).
  bool WaitsForWrite() const;
  // Received bytes held decrypted inside, which the socket no longer shows.
  bool HasBuffered() const { return mTls && mStage == Stage::ready && mTls->pending(); }

  // A dotted quad or a host name to an IPv4 address in network order; 0 when
  // it cannot be resolved. Only a host name may block (system resolver).
  static std::uint32_t LookupAddress(const char* name);

  plat::SocketHandle mWinSocket = plat::bad_socket;
  PCSB_Status mSocketStatus = pcsbstatus_Ready;
  int mSocketError = 0;
  bool mReceivedRelease = false;
  bool mIsAServer = false;

 private:
  // Folds the failure `err` of a send or receive into the status.
  void fail_io(int err);
  // Advances the tunnel and the handshake of a connection that is up.
  void advance_secure();
  void fail_secure(const std::string& reason);

  enum class Stage { none, tunnel_send, tunnel_reply, handshake, ready };
  Stage mStage = Stage::none;
  bool mTcpUp = false;        // the TCP connection is made (a TLS one may still be Connecting)
  bool mWaitWrite = false;    // the handshake waits for room to send
  std::string mTlsHost;
  std::string mTunnelOut;     // CONNECT request bytes not yet sent
  std::string mTunnelReply;   // the proxy's answer so far
  std::string mFailReason;
  std::unique_ptr<plat::TlsSession> mTls;
};
