#include "net/PCSBSocket.h"

#include <cerrno>
#include <string>

PCSBSocket::PCSBSocket(std::uint16_t port, bool listen) {
  if (listen) {
    mSocketStatus = pcsbstatus_Error;
    mSocketError = EOPNOTSUPP;
    return;
  }
  if (const int err = plat::tcp_open(port, mWinSocket)) {
    mSocketStatus = pcsbstatus_Error;
    mSocketError = err;
  }
}

PCSBSocket::~PCSBSocket() { plat::tcp_close(mWinSocket); }

bool PCSBSocket::StartupNetworking(bool) { return true; }

PCSB_Status PCSBSocket::GetStatus() {
  if (mSocketStatus != pcsbstatus_Connecting) return mSocketStatus;
  plat::ConnectPoll poll = plat::ConnectPoll::pending;
  if (const int err = plat::tcp_poll_connect(mWinSocket, poll)) {
    mSocketStatus = pcsbstatus_Error;
    mSocketError = err;
    return mSocketStatus;
  }
  if (poll == plat::ConnectPoll::connected) mSocketStatus = pcsbstatus_Connected;
  if (poll == plat::ConnectPoll::failed) mSocketStatus = pcsbstatus_Disconnected;  // code stays 0
  return mSocketStatus;
}

void PCSBSocket::Connect(std::uint32_t address, std::uint16_t port) {
  if (mSocketStatus == pcsbstatus_Error) return;  // no usable handle
  mSocketStatus = pcsbstatus_Connecting;
  const int err = plat::tcp_connect(mWinSocket, address, port);
  if (err == 0) {
    mSocketStatus = pcsbstatus_Connected;
  } else if (plat::net_err_is_retry(err)) {
    // settles later; GetStatus finds out
  } else if (plat::net_err_is_disconnect(err)) {
    mSocketStatus = pcsbstatus_Disconnected;  // e.g. refused at once on loopback
  } else {
    mSocketStatus = pcsbstatus_Error;
    mSocketError = err;
  }
}

void PCSBSocket::fail_io(int err) {
  if (plat::net_err_is_disconnect(err)) {
    mSocketStatus = pcsbstatus_Disconnected;
    return;
  }
  mSocketStatus = pcsbstatus_Error;
  mSocketError = err;
}

std::int32_t PCSBSocket::ReadData(void* buffer, std::int32_t size) {
  if (size <= 0) return 0;
  if (mSocketStatus == pcsbstatus_Error || mWinSocket == plat::bad_socket) return -1;
  std::size_t got = 0;
  const int err = plat::tcp_recv(mWinSocket, buffer, static_cast<std::size_t>(size), got);
  if (err == 0 && got > 0) return static_cast<std::int32_t>(got);
  if (err == 0) {
    mReceivedRelease = true;
    return 0;
  }
  if (plat::net_err_is_retry(err)) return 0;
  fail_io(err);
  return -1;
}

std::int32_t PCSBSocket::http_WriteData(const void* data, std::int32_t size) {
  if (size <= 0) return 0;
  if (mSocketStatus == pcsbstatus_Error || mWinSocket == plat::bad_socket) return -1;
  std::size_t sent = 0;
  const int err = plat::tcp_send(mWinSocket, data, static_cast<std::size_t>(size), sent);
  if (err == 0) return static_cast<std::int32_t>(sent);
  if (plat::net_err_is_retry(err)) return 0;
  fail_io(err);
  return -1;
}

void PCSBSocket::Disconnect() {
  if (mWinSocket != plat::bad_socket) plat::tcp_shutdown_send(mWinSocket);  // result deliberately ignored
  if (mSocketStatus != pcsbstatus_Error) mSocketStatus = pcsbstatus_Disconnected;
}

std::uint32_t PCSBSocket::LookupAddress(const char* name) {
  if (!name || !*name) return 0;
  std::uint32_t addr = 0;
  if (plat::parse_ipv4(name, addr)) return addr;
  if (plat::resolve_host(name, addr) != 0) return 0;
  return addr;
}
