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

PCSBSocket::~PCSBSocket() {
  mTls.reset();
  plat::tcp_close(mWinSocket);
}

bool PCSBSocket::StartupNetworking(bool) { return true; }

PCSB_Status PCSBSocket::GetStatus() {
  if (mSocketStatus != pcsbstatus_Connecting) return mSocketStatus;
  if (mTcpUp) {
    advance_secure();
    return mSocketStatus;
  }
  plat::ConnectPoll poll = plat::ConnectPoll::pending;
  if (const int err = plat::tcp_poll_connect(mWinSocket, poll)) {
    mSocketStatus = pcsbstatus_Error;
    mSocketError = err;
    return mSocketStatus;
  }
  if (poll == plat::ConnectPoll::connected) {
    mTcpUp = true;
    if (mStage == Stage::none) {
      mSocketStatus = pcsbstatus_Connected;
    } else {
      advance_secure();
    }
  }
  if (poll == plat::ConnectPoll::failed) mSocketStatus = pcsbstatus_Disconnected;  // code stays 0
  return mSocketStatus;
}

void PCSBSocket::Connect(std::uint32_t address, std::uint16_t port) {
  if (mSocketStatus == pcsbstatus_Error) return;  // no usable handle
  mSocketStatus = pcsbstatus_Connecting;
  const int err = plat::tcp_connect(mWinSocket, address, port);
  if (err == 0) {
    mTcpUp = true;
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
  if (mStage != Stage::none) {
    if (mStage != Stage::ready || !mTls) return 0;
    // Records are taken until the buffer is full or the socket has no more.
    std::size_t total = 0;
    while (total < static_cast<std::size_t>(size)) {
      std::size_t got = 0;
      const plat::TlsIo io = mTls->read(static_cast<char*>(buffer) + total, static_cast<std::size_t>(size) - total, got);
      if (io == plat::TlsIo::done) {
        total += got;
        continue;
      }
      if (io == plat::TlsIo::closed) mReceivedRelease = true;
      if (io == plat::TlsIo::failed && total == 0) {
        mFailReason = mTls->failure();
        mSocketStatus = pcsbstatus_Disconnected;
        return -1;
      }
      break;
    }
    return static_cast<std::int32_t>(total);
  }
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
  if (mStage != Stage::none) {
    if (mStage != Stage::ready || !mTls) return 0;
    std::size_t sent = 0;
    const plat::TlsIo io = mTls->write(data, static_cast<std::size_t>(size), sent);
    if (io == plat::TlsIo::done) return static_cast<std::int32_t>(sent);
    if (io == plat::TlsIo::want_read || io == plat::TlsIo::want_write) return 0;
    mFailReason = mTls->failure();
    mSocketStatus = pcsbstatus_Disconnected;
    return -1;
  }
  std::size_t sent = 0;
  const int err = plat::tcp_send(mWinSocket, data, static_cast<std::size_t>(size), sent);
  if (err == 0) return static_cast<std::int32_t>(sent);
  if (plat::net_err_is_retry(err)) return 0;
  fail_io(err);
  return -1;
}

void PCSBSocket::Disconnect() {
  if (mTls && mStage == Stage::ready && mSocketStatus == pcsbstatus_Connected) mTls->close();
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

void PCSBSocket::StartTls(const std::string& host, const std::string& tunnel) {
  mTlsHost = host;
  mStage = tunnel.empty() ? Stage::handshake : Stage::tunnel_send;
  if (!tunnel.empty()) mTunnelOut = "CONNECT " + tunnel + " HTTP/1.1\r\nHost: " + tunnel + "\r\n\r\n";
  if (mSocketStatus == pcsbstatus_Connected) {
    // Connected at once: the secure part is still to come.
    mSocketStatus = pcsbstatus_Connecting;
    advance_secure();
  }
}

bool PCSBSocket::WaitsForWrite() const {
  if (!mTcpUp) return true;
  switch (mStage) {
    case Stage::tunnel_send: return true;
    case Stage::tunnel_reply: return false;
    case Stage::handshake: return mWaitWrite;
    default: return true;
  }
}

void PCSBSocket::fail_secure(const std::string& reason) {
  mFailReason = reason;
  mSocketStatus = pcsbstatus_Error;
  if (mSocketError == 0) mSocketError = EPROTO;
}

void PCSBSocket::advance_secure() {
  if (mStage == Stage::tunnel_send) {
    while (!mTunnelOut.empty()) {
      std::size_t sent = 0;
      const int err = plat::tcp_send(mWinSocket, mTunnelOut.data(), mTunnelOut.size(), sent);
      if (err != 0 && plat::net_err_is_retry(err)) return;
      if (err != 0) {
        fail_secure("the proxy closed the connection before CONNECT was sent");
        return;
      }
      mTunnelOut.erase(0, sent);
    }
    mStage = Stage::tunnel_reply;
  }
  if (mStage == Stage::tunnel_reply) {
    // One byte at a time: what follows the proxy's answer belongs to TLS.
    while (true) {
      char c = 0;
      std::size_t got = 0;
      const int err = plat::tcp_recv(mWinSocket, &c, 1, got);
      if (err != 0 && plat::net_err_is_retry(err)) return;
      if (err != 0 || got == 0) {
        fail_secure("the proxy closed the connection on CONNECT");
        return;
      }
      mTunnelReply += c;
      if (mTunnelReply.size() > 16384) {
        fail_secure("the proxy's answer to CONNECT is too long");
        return;
      }
      const std::size_t end = mTunnelReply.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      const std::string line = mTunnelReply.substr(0, mTunnelReply.find("\r\n"));
      const std::size_t sp = line.find(' ');
      const bool ok = line.compare(0, 5, "HTTP/") == 0 && sp != std::string::npos && line.compare(sp + 1, 3, "200") == 0;
      if (!ok) {
        std::string shown;
        for (char ch : line.substr(0, 80)) shown += (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ? '?' : ch;
        fail_secure("the proxy refused CONNECT (" + shown + ")");
        return;
      }
      mTunnelReply.clear();
      mStage = Stage::handshake;
      break;
    }
  }
  if (mStage == Stage::handshake) {
    if (!mTls) mTls = std::make_unique<plat::TlsSession>(mWinSocket, mTlsHost);
    const plat::TlsIo io = mTls->handshake();
    mWaitWrite = io == plat::TlsIo::want_write;
    if (io == plat::TlsIo::want_read || io == plat::TlsIo::want_write) return;
    if (io != plat::TlsIo::done) {
      fail_secure(mTls->failure().empty() ? std::string("TLS handshake failed") : mTls->failure());
      return;
    }
    mStage = Stage::ready;
    mSocketStatus = pcsbstatus_Connected;
  }
}
