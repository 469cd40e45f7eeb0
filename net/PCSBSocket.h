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
#pragma once

#include <cstdint>

#include "platform/socket.h"

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
};
