// HTTP/1.1 transfers and the download pool.
//
// [SECTION] helpers: request text, header values, host names
// [SECTION] down_class: creation, one step, header parsing, condition
// [SECTION] http_class: net_check, the failure report, UseProxy
#include "net/http.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>
#include <utility>

#include "support/alert.h"
#include "support/hl_init.h"

http_class http;
std::vector<std::string> gProxyExclude;

float net_now() {
  using clock = std::chrono::steady_clock;
  static const clock::time_point origin = clock::now();
  return std::chrono::duration<float>(clock::now() - origin).count();
}

namespace {

// ------------------------------------------------------- [SECTION] helpers

// One receive buffer shared by every transfer: they all run on the main thread.
char readChunk[65536];

constexpr std::int64_t kMaxHeaderBytes = 64 * 1024;           // all header lines of one transfer
constexpr std::size_t kMaxUnwrittenBody = 16u * 1024 * 1024;  // body kept in memory without a file
constexpr int kNoServerErr = 20011;                           // "We could not find the server over the network"
constexpr int kNoConnectionErr = 20009;                       // "We could not allocate a connection to the network"

// The path as it goes on the request line: spaces and control characters
// become %XX so that a path can never break the request apart; every other
// byte is sent as it is.
std::string escape_path(const char* path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char* p = path; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c <= 0x20 || c == 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A host name that can be looked up and placed in a request: not empty, and
// no blanks, control characters, "/", "\" or ":".
bool host_is_plain(const char* host) {
  if (!host || !*host) return false;
  for (const char* p = host; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c <= 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') return false;
  }
  return true;
}

// Whether a field name is `lower` (given in lower case), in any mix of cases.
bool name_is(const std::string& name, const char* lower) {
  if (name.size() != std::strlen(lower)) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(name[i])) != lower[i]) return false;
  return true;
}

// Whether a field name is Content-Length, in any mix of cases.
bool is_content_length(const std::string& name) { return name_is(name, "content-length"); }

// A Content-Length value: decimal digits with optional blanks around them;
// -1 for anything else (a sign, other characters, or 10^18 and more).
std::int64_t parse_length(const std::string& text) {
  std::size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  if (b == e || e - b > 18) return -1;
  std::int64_t v = 0;
  for (std::size_t i = b; i < e; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    v = v * 10 + (text[i] - '0');
  }
  return v;
}

// Splits "[https://]host[:port]": `tls` for the scheme "https://" (whose
// default port is 443; otherwise 80). False when a port is given but is not
// 1..65535.
bool split_server(const std::string& server, std::string& host, std::uint16_t& port, bool& tls) {
  static const std::string kHttps = "https://";
  tls = server.size() > kHttps.size() && server.compare(0, kHttps.size(), kHttps) == 0;
  const std::string rest = tls ? server.substr(kHttps.size()) : server;
  host = rest;
  port = tls ? 443 : 80;
  const std::size_t colon = rest.rfind(':');
  if (colon == std::string::npos) return true;
  host = rest.substr(0, colon);
  const std::string digits = rest.substr(colon + 1);
  if (digits.empty() || digits.size() > 5) return false;
  long v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < 1 || v > 65535) return false;
  port = static_cast<std::uint16_t>(v);
  return true;
}

bool is_redirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The value of the field `lower` (any case), or empty.
std::string field_value(const std::map<std::string, std::string>& fields, const char* lower);

// Whether a kept connection can still carry a request: nothing has come
// from the server since its last response (no close, no reset, no stray
// bytes). Looks without waiting.
bool kept_is_open(PCSBSocket& s) {
  char probe = 0;
  const std::int32_t got = s.ReadData(&probe, 1);
  return got == 0 && !s.ReceivedRelease() && s.GetStatus() == pcsbstatus_Connected;
}

void append(std::vector<char>& buf, const std::string& text) { buf.insert(buf.end(), text.begin(), text.end()); }

std::string field_value(const std::map<std::string, std::string>& fields, const char* lower) {
  for (const auto& [name, value] : fields)
    if (name_is(name, lower)) return value;
  return std::string();
}

}  // namespace

// ------------------------------------------------------- [SECTION] down_class

down_class::down_class(const char* host, std::uint16_t port, const char* path, bool post,
                       const std::map<std::string, std::string>& fields, const void* body, int body_len,
                       const char* dest, kept_connection* kept, body_sink* sink, bool tls) {
  last_read_time = net_now();
  mSink = sink;
  if (dest) mDestFileName = dest;
  if (!host) host = "";
  if (!path) path = "";
  const auto connection = fields.find("Connection");
  mPersistent = connection != fields.end() && name_is(connection->second, "keep-alive");

  // Where to connect: the proxy when it serves this host, else the host.
  const bool proxy = UseProxy(host, port);
  mTls = tls;
  if (tls) {
    // End to end: through a proxy, a tunnel to the server carries the TLS.
    mTlsHost = host;
    if (proxy) mTunnel = std::string(host) + ":" + std::to_string(port);
  }
  if (kept && kept->socket) {
    // The connection of an earlier transfer to the same place: no lookup.
    mSocket = std::move(kept->socket);
    mAddr = kept->addr;
    mConnectPort = kept->port;
    mOnKeptConnection = true;
    mResponseNum = -1;
  } else {
    std::uint32_t addr = 0;
    std::uint16_t connect_port = port;
    if (proxy) {
      const bool port_ok = http.ProxyPort_int >= 1 && http.ProxyPort_int <= 65535;
      if (port_ok && host_is_plain(host)) addr = PCSBSocket::LookupAddress(http.ProxyHost.c_str());
      connect_port = static_cast<std::uint16_t>(http.ProxyPort_int);
    } else if (host_is_plain(host)) {
      addr = PCSBSocket::LookupAddress(host);
    }
    if (addr == 0) {
      const unsigned char* b = reinterpret_cast<const unsigned char*>(&addr);
      xer << "Translated server " << host << " to IP addy: " << int(b[0]) << "." << int(b[1]) << "." << int(b[2])
          << "." << int(b[3]) << " and port = " << port << "\n";
      xer.flush();
      mFileErr = kNoServerErr;
      return;
    }
    mResponseNum = -1;
    connect_fresh(addr, connect_port);
  }

  append(mOutBuf, post ? "POST " : "GET ");
  if (proxy && !tls) {
    const auto it = fields.find("Host");
    append(mOutBuf, "http://" + (it != fields.end() ? it->second : std::string(host)));
  }
  append(mOutBuf, escape_path(path));
  append(mOutBuf, " HTTP/1.1\r\n");
  for (const auto& [name, value] : fields) append(mOutBuf, name + ": " + value + "\r\n");
  if (body) append(mOutBuf, "Content-Length: " + std::to_string(body_len > 0 ? body_len : 0) + "\r\n");
  append(mOutBuf, "\r\n");
  if (body && body_len > 0) {
    const char* p = static_cast<const char*>(body);
    mOutBuf.insert(mOutBuf.end(), p, p + body_len);
  }
  if (mOnKeptConnection) mRequest = mOutBuf;
  sync_state();
}

void down_class::connect_fresh(std::uint32_t addr, std::uint16_t port) {
  mAddr = addr;
  mConnectPort = port;
  mSocket = std::make_unique<PCSBSocket>(0, false);
  mSocket->Connect(addr, port);
  if (mTls) mSocket->StartTls(mTlsHost, mTunnel);
  ++mConnectionsOpened;
  ++http.connections_opened;
}

down_class::down_class(const char* host, std::uint16_t port, const char* path,
                       const std::map<std::string, std::string>& fields, const char* dest, kept_connection* kept,
                       const transfer_options& options)
    : down_class(host, port, path, false, fields, nullptr, 0, dest, kept, options.sink, options.tls) {
  mMaxBytes = options.max_bytes;
  mResumeFrom = options.resume_from > 0 ? options.resume_from : 0;
}

down_class::~down_class() {
  if (mDestFile.is_open()) plat::file_close(mDestFile);
  mSocket.reset();
}

namespace {

const char* state_name(transfer_state s) {
  switch (s) {
    case transfer_state::unresolved: return "unresolved";
    case transfer_state::connecting: return "connecting";
    case transfer_state::sending: return "sending";
    case transfer_state::awaiting: return "awaiting the answer";
    case transfer_state::receiving: return "receiving";
    case transfer_state::kept: return "complete, connection kept";
    case transfer_state::closed: return "closed";
    case transfer_state::failed: return "failed";
  }
  return "?";
}

}  // namespace

void down_class::sync_state() {
  transfer_state s = transfer_state::unresolved;
  if (mSocket) {
    switch (mSocket->GetStatus()) {
      case pcsbstatus_Error: s = transfer_state::failed; break;
      case pcsbstatus_Disconnected: s = transfer_state::closed; break;
      case pcsbstatus_Connected:
        s = !mOutBuf.empty() ? transfer_state::sending
            : mReusable      ? transfer_state::kept
            : mGotWholeHeader ? transfer_state::receiving
                              : transfer_state::awaiting;
        break;
      default: s = transfer_state::connecting; break;
    }
  }
  if (s == state_) return;
  if (http.log_states)
    xer << "Transfer to " << mDestFileName << ": " << state_name(state_) << " -> " << state_name(s) << "\n";
  state_ = s;
}

int down_class::GetStat() {
  sync_state();
  switch (state_) {
    case transfer_state::unresolved: return 0;
    case transfer_state::connecting: return 1;
    case transfer_state::failed: return 2;
    case transfer_state::closed: return 3;
    case transfer_state::sending: return 4;
    case transfer_state::receiving:
    case transfer_state::kept: return 5;
    case transfer_state::awaiting: return 6;
  }
  return 0;
}

bool down_class::timed_out(float time_out, float window, double floor) {
  if ((mSinking && !mSink->ready()) || mHeldByCap) {
    // This side holds the transfer while its sink catches up (a slow
    // disk): the server is not silent, so no time-out runs meanwhile.
    last_read_time = net_now();
    mRateSamples.clear();
    return false;
  }
  // The receive rate over the last window, from samples taken about every
  // 1/32 of it; the oldest kept is the newest at or before the window's start.
  const float now = net_now();
  auto& samples = mRateSamples;
  if (samples.empty() || now - samples.back().first >= window / 32) samples.emplace_back(now, mReceivedBytes);
  std::size_t drop = 0;
  while (drop + 1 < samples.size() && samples[drop + 1].first <= now - window) ++drop;
  samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(drop));
  const bool trickling = window > 0 && samples.front().first <= now - window &&
                         static_cast<double>(mReceivedBytes - samples.front().second) < floor * window;
  return trickling || now > last_read_time + time_out;
}

// Ends the transfer on a response this side cannot accept.
void down_class::reject_response() {
  if (mFileErr == 0) mFileErr = EPROTO;
  mInBuf.clear();
  if (mDestFile.is_open()) plat::file_close(mDestFile);
  if (mSocket) mSocket->Disconnect();
}

// Closes the destination after the last byte; a failed close means that
// written data may be lost, so it counts as a write error.
void down_class::finish_body() {
  if (!mDestFile.is_open()) return;
  const int err = plat::file_close(mDestFile);
  if (err != 0 && mFileErr == 0) mFileErr = mLocalErr = err;
}

// Whether the connection may carry the next request once the `pending`
// bytes are written: asked for, HTTP/1.1, a success, exactly the announced
// length, the server did not say or do "close", nothing has gone wrong.
bool down_class::may_keep_open(std::int64_t pending) const {
  if (!mPersistent || !mHttp11 || mResponseNum < 200 || mResponseNum > 299) return false;
  if (mReceivedPayload + pending != mIncomingLength || mFileErr != 0 || !(mDestFile.is_open() || mSinking))
    return false;
  if (mSocket->ReceivedRelease() || mSocket->mSocketStatus != pcsbstatus_Connected) return false;
  for (const auto& [name, value] : mFields) {
    if (!name_is(name, "connection")) continue;
    // A list of tokens, e.g. "close" or "keep-alive, Upgrade".
    std::size_t b = 0;
    while (b <= value.size()) {
      std::size_t e = value.find(',', b);
      if (e == std::string::npos) e = value.size();
      std::size_t tb = b, te = e;
      while (tb < te && (value[tb] == ' ' || value[tb] == '\t')) ++tb;
      while (te > tb && (value[te - 1] == ' ' || value[te - 1] == '\t')) --te;
      if (name_is(value.substr(tb, te - tb), "close")) return false;
      b = e + 1;
    }
  }
  return true;
}

// On a kept connection that failed before any byte of the response came,
// starts the request once more on a fresh connection to the same address.
// False (nothing done) in every other case.
bool down_class::retry_on_fresh_connection() {
  if (!mOnKeptConnection || mReceivedBytes > 0 || mAddr == 0) return false;
  mOnKeptConnection = false;
  connect_fresh(mAddr, mConnectPort);
  mOutBuf = std::move(mRequest);
  mRequest.clear();
  return true;
}

std::string down_class::reason() const {
  if (!mReason.empty()) return mReason;
  return mSocket ? mSocket->FailReason() : std::string();
}

// A 206 answer to a request for the rest continues the body only when its
// Content-Range ("bytes N-M/T") starts at the byte asked for and agrees with
// its length; anything else is refused (a range this side did not ask for
// cannot be fitted to what arrived before).
bool down_class::accept_range_answer() {
  std::string range;
  for (const auto& [name, value] : mFields)
    if (name_is(name, "content-range")) range = value;
  const std::size_t dash = range.find('-'), slash = range.find('/');
  const bool shaped = range.compare(0, 6, "bytes ") == 0 && dash != std::string::npos &&
                      slash != std::string::npos && dash < slash;
  const std::int64_t first = shaped ? parse_length(range.substr(6, dash - 6)) : -1;
  const std::int64_t last = shaped ? parse_length(range.substr(dash + 1, slash - dash - 1)) : -1;
  if (first != mResumeFrom || last < first || (mIncomingLength >= 0 && last - first + 1 != mIncomingLength)) {
    xer << "Download of " << mDestFileName << " refused: asked from byte " << mResumeFrom
        << ", the server answered with the range \"" << range << "\"\n";
    xer.flush();
    reject_response();
    return false;
  }
  mBodyOffset = first;
  return true;
}

// What names this version of the file in a later If-Range: a strong ETag,
// else the Last-Modified date (a weak ETag may not be used for ranges).
std::string down_class::validator_of_answer() const {
  std::string etag, modified;
  for (const auto& [name, value] : mFields) {
    if (name_is(name, "etag") && value.size() > 2 && value.front() == '"') etag = value;
    if (name_is(name, "last-modified")) modified = value;
  }
  std::string v = etag.empty() ? modified : etag;
  // It goes back into a request line: one with control characters (a bare
  // line feed would start a field of the server's choosing) is not used.
  for (const char c : v)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "";
  return v;
}

void down_class::open_destination() {
  if (mFollowRedirects && is_redirect(mResponseNum) && !field_value(mFields, "location").empty()) {
    // The answer points elsewhere: its body is nobody's file.
    mRedirect = true;
    return;
  }
  if (mSink && mResponseNum >= 200 && mResponseNum <= 299) {
    if (mResumeFrom > 0 && mResponseNum == 206 && !accept_range_answer()) return;
    mSinking = true;
    mSink->room_wake = http_class::sink_wake();
    mSink->validator(validator_of_answer());
    if (mBodyOffset > 0)
      mSink->resume(mBodyOffset);
    else
      mSink->start(mIncomingLength);
    return;
  }
  if (mDestFileName.empty()) return;
  const int err = plat::file_create(mDestFileName, mDestFile);
  if (err != 0) mFileErr = mLocalErr = err;
}

void down_class::DoProcessing() {
  if (!mSocket) return;
  const PCSB_Status status = mSocket->GetStatus();
  if (status == pcsbstatus_Disconnected || status == pcsbstatus_Error) {
    if (retry_on_fresh_connection()) return;
    finish_body();
    return;
  }
  if (status != pcsbstatus_Connected) return;
  if (mReusable) return;  // complete; the connection waits for the next request

  if (!mOutBuf.empty()) {
    const std::size_t offer = mOutBuf.size() > 0x7fffffff ? 0x7fffffff : mOutBuf.size();
    const std::int32_t sent = mSocket->http_WriteData(mOutBuf.data(), static_cast<std::int32_t>(offer));
    if (sent > 0) mOutBuf.erase(mOutBuf.begin(), mOutBuf.begin() + sent);
    if (sent < 0 && retry_on_fresh_connection()) return;
  }

  // A sink that is full is left to catch up; the bytes wait in the socket.
  if (mSinking && !mSink->ready()) return;
  // The bandwidth cap may allow less than a whole chunk, or nothing yet.
  std::size_t room = sizeof readChunk;
  if (mReadLimit >= 0 && static_cast<std::size_t>(mReadLimit) < room) room = static_cast<std::size_t>(mReadLimit);
  mHeldByCap = room == 0;
  if (mHeldByCap) return;
  // The body of a sinking transfer goes straight into the sink's buffer
  // when it offers one and nothing is held over in mInBuf.
  char* in_place = nullptr;
  if (mGotWholeHeader && mInBuf.empty() && mSinking) in_place = mSink->receive_room(room);
  const std::int32_t got = mSocket->ReadData(in_place ? in_place : readChunk, static_cast<std::int32_t>(room));
  if (in_place && got <= 0) mSink->took(0);
  if (got <= 0) {
    // A kept connection that the server closed before answering, or that
    // stays silent (a server that keeps connections open without serving a
    // second request on them): the request goes once more on a fresh one.
    const bool silent = got == 0 && net_now() > last_read_time + http.kept_silence_secs;
    if ((got < 0 || mSocket->ReceivedRelease() || silent) && retry_on_fresh_connection()) return;
    // The peer's orderly close ends the response: whatever has not arrived
    // by now never will. The pool judges completeness.
    if (got == 0 && mSocket->ReceivedRelease() && mSocket->GetStatus() == pcsbstatus_Connected) {
      finish_body();
      mSocket->Disconnect();
    }
    return;
  }
  mReceivedBytes += got;
  // Body bytes go to the file or the sink straight from the receive buffer
  // when nothing is held over; anything else is gathered in mInBuf first.
  const char* body = in_place ? in_place : readChunk;
  std::size_t len = static_cast<std::size_t>(got);
  const bool direct = mGotWholeHeader && mInBuf.empty() && (mSinking || mDestFile.is_open());
  if (!direct) {
    mInBuf.insert(mInBuf.end(), readChunk, readChunk + got);
    if (!mGotWholeHeader) {
      parse_header();
      if (mSocket->GetStatus() != pcsbstatus_Connected) return;  // rejected
    }
    if (!mGotWholeHeader) return;
    body = mInBuf.data();
    len = mInBuf.size();
  }

  last_read_time = net_now();
  if (mMaxBytes > 0 && mReceivedPayload + static_cast<std::int64_t>(len) > mMaxBytes) {
    // Only bytes up to the limit reach the file; the rest is dropped with
    // the connection.
    len = static_cast<std::size_t>(mMaxBytes - mReceivedPayload);
    if (!direct) mInBuf.resize(len);
    if (mFileErr == 0) mFileErr = EFBIG;
    xer << "Download of " << mDestFileName << " stopped: the body grew past the " << mMaxBytes
        << " bytes expected\n";
    xer.flush();
    mSocket->Disconnect();
  }
  const auto pending = static_cast<std::int64_t>(len);
  const bool body_done = mIncomingLength != -1 && mReceivedPayload + pending >= mIncomingLength;
  if (body_done) {
    if (may_keep_open(pending))
      mReusable = true;
    else
      mSocket->Disconnect();
  }

  if (in_place) {
    // Only the bytes up to the limit are kept (none after a failure).
    mReceivedPayload += pending;
    mSink->took(mFileErr == 0 || (mFileErr == EFBIG && mLocalErr == 0) ? len : 0);
  } else if (mSinking && len > 0) {
    mReceivedPayload += pending;
    if (mFileErr == 0 || (mFileErr == EFBIG && mLocalErr == 0)) mSink->take(body, len);
    mInBuf.clear();
  } else if (mDestFile.is_open() && len > 0) {
    mReceivedPayload += pending;
    if (mFileErr == 0 || (mFileErr == EFBIG && mLocalErr == 0)) {
      const int err = plat::file_write(mDestFile, body, len);
      if (err != 0) mFileErr = mLocalErr = err;
    }
    mInBuf.clear();
  } else if (!mSinking && !mDestFile.is_open() && mInBuf.size() > kMaxUnwrittenBody) {
    if (mFileErr == 0) mFileErr = EFBIG;
    mInBuf.clear();
    mSocket->Disconnect();
  }
  if (body_done || mFileErr == EFBIG) finish_body();
}

void down_class::parse_header() {
  // Lines are consumed by moving `pos`; the consumed bytes leave mInBuf in
  // one step at the end, so a header of many short lines costs no more than
  // one pass.
  std::size_t pos = 0;
  bool rejected = false;
  while (!mGotWholeHeader && !rejected) {
    std::size_t i = pos + 1;
    while (i < mInBuf.size() && !(mInBuf[i - 1] == '\r' && mInBuf[i] == '\n')) ++i;
    if (i >= mInBuf.size()) break;  // no complete line yet
    const std::size_t line_len = i - 1 - pos;
    const std::size_t line_start = pos;
    pos = i + 1;
    header_bytes_ += static_cast<std::int64_t>(line_len + 2);

    if (line_len == 0) {  // an empty line: the end of one response header
      if (mResponseNum < 200) continue;  // after an interim response (or none yet): more follows
      // Field names are not case-sensitive: "content-length" is the length
      // too. Two spellings that disagree make the body untrustworthy.
      for (const auto& [field, value] : mFields) {
        if (name_is(field, "transfer-encoding")) {
          rejected = true;
          break;
        }
        if (!is_content_length(field)) continue;
        const std::int64_t length = parse_length(value);
        if (length < 0 || (mIncomingLength >= 0 && length != mIncomingLength)) {
          mIncomingLength = -1;
          rejected = true;
          break;
        }
        mIncomingLength = length;
      }
      if (rejected) break;
      // These answers never carry a body: the transfer ends here.
      if (mResponseNum == 204 || mResponseNum == 304) mIncomingLength = 0;
      if (mMaxBytes > 0 && mIncomingLength > mMaxBytes) {
        xer << "Download of " << mDestFileName << " refused: the server announced " << mIncomingLength
            << " bytes, more than the " << mMaxBytes << " expected\n";
        xer.flush();
        mFileErr = EFBIG;
        rejected = true;
        break;
      }
      mGotWholeHeader = true;
      break;
    }

    const std::string line(mInBuf.data() + line_start, line_len);
    if (line.compare(0, 5, "HTTP/") == 0) {
      // "HTTP/" version " " three digits, then the end or " " reason phrase.
      const std::size_t sp = line.find(' ');
      const bool ok = sp != std::string::npos && sp > 5 && line.size() >= sp + 4 &&
                      std::isdigit(static_cast<unsigned char>(line[sp + 1])) &&
                      std::isdigit(static_cast<unsigned char>(line[sp + 2])) &&
                      std::isdigit(static_cast<unsigned char>(line[sp + 3])) &&
                      (line.size() == sp + 4 || line[sp + 4] == ' ');
      if (!ok) {
        rejected = true;
        break;
      }
      mResponseNum = (line[sp + 1] - '0') * 100 + (line[sp + 2] - '0') * 10 + (line[sp + 3] - '0');
      mHttp11 = line.compare(0, sp, "HTTP/1.1") == 0;
      mResponseName = line.size() > sp + 5 ? line.substr(sp + 5) : std::string();
      mFields.clear();  // fields belong to the response they came with
      continue;
    }
    // "Name:" then optional blanks then the value ("Name: value" and
    // "Name:value" are the same field).
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;  // not a field: ignored
    std::string name = line.substr(0, colon);
    std::size_t v = colon + 1;
    while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) ++v;
    std::string value = line.substr(v);
    const auto it = mFields.find(name);
    if (it == mFields.end()) {
      mFields.emplace(std::move(name), std::move(value));
    } else if (is_content_length(name) && parse_length(it->second) != parse_length(value)) {
      rejected = true;  // two different lengths: the body cannot be trusted
    }
  }
  mInBuf.erase(mInBuf.begin(), mInBuf.begin() + static_cast<std::ptrdiff_t>(pos));

  if (!rejected && !mGotWholeHeader && header_bytes_ + static_cast<std::int64_t>(mInBuf.size()) > kMaxHeaderBytes)
    rejected = true;
  if (rejected) {
    reject_response();
    return;
  }
  if (mGotWholeHeader) open_destination();
}

// ------------------------------------------------------- [SECTION] http_class

bool UseProxy(const char* host, std::uint16_t /*port*/) {
  if (http.ProxyPort_int == 0) return false;
  if (http.ProxyHost.empty()) return false;
  const std::string h = host ? host : "";
  for (const std::string& ex : gProxyExclude) {
    if (ex.size() <= h.size() && h.compare(h.size() - ex.size(), ex.size(), ex) == 0) return false;
  }
  return true;
}

void http_class::reset() {
  for (auto& d : down) d.reset();
  close_kept();
  for (auto& p : place) p.clear();
  keep_alive = 1;
  connections_opened = 0;
  kept_silence_secs = 2.0f;
  log_states = false;
  for (auto& f : last_failure) f = net_failure{};
  ca_file.clear();
  ProxyHost.clear();
  ProxyPort_str.clear();
  ProxyPort_int = 0;
  time_out_secs = 30.0f;
  trickle_window_secs = 60.0f;
  trickle_floor_bytes_per_sec = 1000.0;
  for (auto& o : next_options) o = transfer_options{};
  for (int i = 0; i < kSlots; ++i) {
    active_server_[i].clear();
    active_file_[i].clear();
    active_options_[i] = transfer_options{};
    redirects_[i] = 0;
  }
  failure_counts.clear();
  max_rate = 0;
  for (double& a : allowance_) a = 0;
  allowance_time_ = -1;
  inited_any = soc_inited = false;
  gProxyExclude.clear();
}

void http_class::close_kept() {
  for (auto& k : kept) k = kept_connection{};
}

void http_class::prepare(int slot, transfer_options options) {
  if (slot < 0 || slot >= kSlots) return;
  if (options.max_bytes < 0) options.max_bytes = 0;
  next_options[slot] = std::move(options);
}

// ------------------------------------------------------- bandwidth cap

namespace {
constexpr double kCapBurstSecs = 0.1;  // the most a transfer may save up: this much of its share
constexpr double kCapMinBurst = 4096;  // but never less than this many bytes
}  // namespace

void http_class::refill_allowance() {
  const float now = net_now();
  const double elapsed = allowance_time_ < 0 ? 0.0 : static_cast<double>(now - allowance_time_);
  allowance_time_ = now;
  int running = 0;
  for (int i = 0; i < kSlots; ++i) {
    if (down[i])
      ++running;
    else
      allowance_[i] = 0;
  }
  if (max_rate <= 0 || running == 0 || elapsed <= 0) return;
  // Equal shares; what a full bucket cannot hold goes to the others, so the
  // total follows the cap while any transfer can use it.
  const double most = std::max(max_rate * kCapBurstSecs / running, kCapMinBurst);
  double spare = max_rate * elapsed;
  for (int round = 0; round < kSlots && spare > 0.5; ++round) {
    int open = 0;
    for (int i = 0; i < kSlots; ++i) open += down[i] && allowance_[i] < most ? 1 : 0;
    if (open == 0) break;
    const double each = spare / open;
    spare = 0;
    for (int i = 0; i < kSlots; ++i) {
      if (!down[i] || allowance_[i] >= most) continue;
      const double room = most - allowance_[i];
      allowance_[i] += std::min(each, room);
      if (each > room) spare += each - room;
    }
  }
}

int http_class::cap_wait_ms(int slot) const {
  const down_class* d = down[slot].get();
  if (max_rate <= 0 || !d) return 0;
  // A connected transfer whose share was below a whole receive has bytes
  // waiting in its socket: the cap, not the server, decides when it reads
  // next. Waiting on the socket would come back at once for the few bytes
  // the share grew by since, frame after frame.
  const bool cut = d->mReadLimit >= 0 && d->mReadLimit < static_cast<std::int64_t>(sizeof readChunk) && d->mSocket &&
                   d->mSocket->mSocketStatus == pcsbstatus_Connected && d->mOutBuf.empty();
  if (!d->mHeldByCap && !cut) return 0;
  int running = 0;
  for (const auto& other : down) running += other ? 1 : 0;
  // Until this transfer's share holds a good receive (a quarter of what it may save up).
  const double want = std::max(max_rate * kCapBurstSecs / std::max(running, 1), kCapMinBurst) / 4;
  if (!d->mHeldByCap && allowance_[slot] >= want) return 0;
  const double ms = (want - allowance_[slot]) * running * 1000.0 / max_rate;
  return static_cast<int>(std::clamp(ms, 1.0, 20.0));
}

// A transfer whose sink is full is not waited on (its data stays in the
// socket until the sink has room): the sink's signal ends the wait instead.
// Without a full sink only the sockets are waited on (the cheaper wait on
// Windows, where the event joins the sockets through WSAEventSelect).
void http_class::wait_for_activity(int timeout_ms) {
  plat::SocketWait waits[kSlots];
  std::size_t n = 0;
  bool full_sink = false;
  for (int slot = 0; slot < kSlots; ++slot) {
    const auto& d = down[slot];
    if (!d || !d->mSocket || d->mSocket->mWinSocket == plat::bad_socket) continue;
    // A transfer held by the bandwidth cap is looked at again when its
    // share has grown, not when its socket has data.
    if (const int ms = cap_wait_ms(slot); ms > 0) {
      timeout_ms = std::min(timeout_ms, ms);
      full_sink = true;
      continue;
    }
    if (d->mSinking && !d->mSink->ready()) {
      full_sink = true;
      continue;
    }
    const PCSB_Status st = d->mSocket->mSocketStatus;
    if (st == pcsbstatus_Error || st == pcsbstatus_Disconnected) return;  // to be judged now: no waiting
    if (d->mSocket->HasBuffered()) return;  // decrypted bytes wait to be read
    waits[n].handle = d->mSocket->mWinSocket;
    // Connecting (a TLS handshake may wait for data) or with request bytes left.
    waits[n].for_write = st != pcsbstatus_Connected ? d->mSocket->WaitsForWrite() : !d->mOutBuf.empty();
    ++n;
  }
  if (n == 0 && !full_sink) return;  // nothing to wait for
  plat::tcp_wait_any(waits, n, timeout_ms, full_sink ? sink_wake() : plat::bad_wake);
}

void http_class::wait_for_sinks(int timeout_ms) {
  if (sink_wake() != plat::bad_wake)
    plat::tcp_wait_any(nullptr, 0, timeout_ms, sink_wake());
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // no event to wait on: a short pause
}

plat::WakeHandle http_class::sink_wake() {
  static const plat::WakeHandle wake = [] {
    plat::WakeHandle h = plat::bad_wake;
    if (plat::wake_open(h) != 0) xer << "The transfers' wake event cannot be made: waits end at their time-outs.\n";
    return h;
  }();
  return wake;
}

namespace {

// The request's User-agent field: "Installer-IBM/" and the build's last four characters.
std::string user_agent() {
  const std::string version = build_name.size() > 4 ? build_name.substr(build_name.size() - 4) : build_name;
  return std::string("Installer-") + "IBM/" + version;
}

}  // namespace

bool http_class::check_names(const std::string& server, const std::string& file) {
  if (!server.empty() && (server.back() == '/' || server.back() == '\\')) {
    __MACIBM_alert(0, "net_check error! You have a dirchar at the end of the server name!", "You should not!",
                   "Our convention is that a server name is simply a server name... with no slash!", server, t_exit,
                   "http", __LINE__);
    return false;
  }
  if (file.empty() || (file[0] != '/' && file[0] != '\\')) {
    __MACIBM_alert(0, "net_check error! You do not have a dirchar at the beginning of the directory name!",
                   "You should!",
                   "Our convention is that a directory name does start with a slash because it must include "
                   "the hard drive,which is a dir char on unix!",
                   file, t_exit, "http", __LINE__);
    return false;
  }
  return true;
}

void http_class::start_transfer(int slot, const std::string& server, const std::string& file,
                                const std::string& dest) {
  std::string host;
  std::uint16_t port = 80;
  bool tls = false;
  // A malformed port leaves ':' in the host name, which then fails to resolve.
  if (!split_server(server, host, port, tls)) {
    host = tls ? server.substr(8) : server;
    port = tls ? 443 : 80;
  }
  transfer_options options = std::move(next_options[slot]);
  next_options[slot] = transfer_options{};
  active_server_[slot] = server;
  active_file_[slot] = file;
  active_options_[slot] = options;
  options.tls = tls;
  std::map<std::string, std::string> fields = {{"Connection", keep_alive ? "keep-alive" : "close"},
                                               {"Host", tls ? server.substr(8) : server},
                                               {"User-agent", user_agent()}};
  for (auto& [name, value] : options.fields) fields[name] = value;
  last_failure[slot] = net_failure{};

  // The slot's kept connection serves this transfer when it leads to the
  // same server through the same proxy (or none) and is still open.
  std::string where = (tls ? "https://" : "") + host + ":" + std::to_string(port);
  if (UseProxy(host.c_str(), port)) where += " via " + ProxyHost + ":" + std::to_string(ProxyPort_int);
  kept_connection* reuse = nullptr;
  if (kept[slot].socket) {
    if (keep_alive && kept[slot].place == where && kept_is_open(*kept[slot].socket))
      reuse = &kept[slot];
    else
      kept[slot] = kept_connection{};
  }
  place[slot] = where;
  down[slot] = std::make_unique<down_class>(host.c_str(), port, file.c_str(), fields, dest.c_str(), reuse, options);
  down[slot]->mFollowRedirects = true;
  if (reuse) kept[slot] = kept_connection{};
}

bool http_class::follow_redirect(int slot, const std::string& dest) {
  down_class& d = *down[slot];
  std::string loc = field_value(d.mFields, "location");
  const std::string from = active_server_[slot] + active_file_[slot];
  const bool from_tls = active_server_[slot].compare(0, 8, "https://") == 0;
  if (++redirects_[slot] > kMaxRedirects) {
    d.mReason = "more than " + std::to_string(kMaxRedirects) + " redirects in a row";
    return false;
  }
  const std::size_t hash = loc.find('#');
  if (hash != std::string::npos) loc.erase(hash);
  // The new place: a full address, one without a scheme ("//host/path"), a
  // path on the same server, or a path beside the current file.
  bool tls = from_tls;
  std::string authority, path;
  std::string lower;
  for (char c : loc.substr(0, 8)) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::size_t after = std::string::npos;
  if (lower.compare(0, 8, "https://") == 0) {
    tls = true;
    after = 8;
  } else if (lower.compare(0, 7, "http://") == 0) {
    tls = false;
    after = 7;
  } else if (loc.compare(0, 2, "//") == 0) {
    after = 2;
  }
  if (after != std::string::npos) {
    const std::size_t end = loc.find_first_of("/?", after);
    authority = loc.substr(after, end == std::string::npos ? std::string::npos : end - after);
    path = end == std::string::npos ? "/" : loc.substr(end);
    if (!path.empty() && path[0] == '?') path = "/" + path;
  } else {
    authority = from_tls ? active_server_[slot].substr(8) : active_server_[slot];
    if (!loc.empty() && loc[0] == '/') {
      path = loc;
    } else {
      const std::string& f = active_file_[slot];
      path = f.substr(0, f.rfind('/') + 1) + loc;
    }
  }
  std::string host;
  std::uint16_t port = 0;
  bool unused = false;
  if (authority.empty() || authority.find_first_of("@\\ \t") != std::string::npos ||
      !split_server(authority, host, port, unused) || !host_is_plain(host.c_str()) || path.empty()) {
    d.mReason = "a redirect to an unusable location";
    return false;
  }
  if (from_tls && !tls) {
    d.mReason = "a redirect from https to plain http was refused";
    return false;
  }
  const std::string server = (tls ? "https://" : "") + authority;
  xer << "Transfer of " << dest << ": " << d.mResponseNum << " from " << from << ", redirected to " << server
      << path << "\n";
  xer.flush();
  transfer_options options = active_options_[slot];
  down[slot].reset();
  next_options[slot] = std::move(options);
  start_transfer(slot, server, path, dest);
  return true;
}

void http_class::report_failure(int slot, const std::string& server, const std::string& file,
                                const std::string& dest) {
  down_class& d = *down[slot];
  const int stat = d.GetStat();
  int os_err = d.mFileErr;
  if (os_err == 0) os_err = d.mSocket ? d.mSocket->GetOSError() : kNoConnectionErr;
  const std::string why = d.reason();
  const int times = ++failure_counts[{server, file}];
  if (times > 1) {
    xer << "HTTP Error for " << dest << " again (" << times << " times)";
    if (!why.empty()) xer << ": " << why;
    xer << "\n";
  } else {
    xer << "HTTP Error for " << dest << "\n"
        << "   server     =" << server << "\n"
        << "   file       =" << file << "\n"
        << "   IsDone     =" << int(stat == 3) << "\n"
        << "   IsComplete =" << int(d.mIncomingLength == d.mReceivedPayload) << "\n"
        << "   IsErr      =" << int(d.mFileErr != 0 || stat == 0 || stat == 2) << "\n"
        << "   GetStat    =" << stat << "\n"
        << "   GetOSErr   =" << os_err << "\n"
        << "   response   =" << d.GetResponseName() << " (#" << d.mResponseNum << ")\n";
    if (!why.empty()) xer << "   reason     =" << why << "\n";
    xer << "\n";
  }
  xer.flush();
  last_failure[slot] =
      net_failure{d.mLocalErr, d.mResponseNum > 0 ? d.mResponseNum : 0, false, d.mFileErr == EFBIG && d.mLocalErr == 0, why};
}

int http_class::net_check(int slot, std::string server, std::string file, std::string& dest) {
  if (slot < 0 || slot >= kSlots) {
    __MACIBM_alert(0, "Too many download objects requested!", "", "", "", t_exit, "http", __LINE__);
    return 2;
  }
  if (!inited_any) {
    inited_any = true;
    for (auto& d : down) d.reset();
    if (!soc_inited) {
      PCSBSocket::StartupNetworking(true);  // a failure shows up in each transfer
      soc_inited = true;
    }
  }

  if (!down[slot]) {
    if (!check_names(server, file)) return 2;
    for (char& c : server)
      if (c == '\\') c = '/';
    for (char& c : file)
      if (c == '\\') c = '/';
    redirects_[slot] = 0;
    start_transfer(slot, server, file, dest);
  }

  down_class* dp = down[slot].get();
  refill_allowance();
  const std::int64_t read_before = dp->mReceivedBytes;
  dp->mReadLimit = max_rate > 0 ? static_cast<std::int64_t>(allowance_[slot]) : -1;
  dp->DoProcessing();
  if (max_rate > 0) allowance_[slot] = std::max(0.0, allowance_[slot] - static_cast<double>(dp->mReceivedBytes - read_before));
  dp->GetStat();  // brings the state up to date
  if (dp->mRedirect) {
    if (follow_redirect(slot, dest)) return 0;
    dp->mFileErr = EPROTO;
  }
  if (redirects_[slot] > 0) {
    // Reports name where the redirects led.
    server = active_server_[slot];
    file = active_file_[slot];
  }
  down_class& d = *dp;
  const transfer_state st = d.state();
  const bool is_done = st == transfer_state::closed;
  const bool is_complete = d.mIncomingLength == d.mReceivedPayload;
  const bool is_err = d.mFileErr != 0 || st == transfer_state::unresolved || st == transfer_state::failed;

  if (!is_done && !is_complete && !is_err) {
    // Under a cap a stream's share may lie below the trickle floor: the
    // floor follows the share, so that the cap itself never fails a stream.
    double floor = trickle_floor_bytes_per_sec;
    if (max_rate > 0) floor = std::min(floor, max_rate / (2.0 * kSlots));
    if (!d.timed_out(time_out_secs, trickle_window_secs, floor)) return 0;
    last_failure[slot] = net_failure{0, d.mResponseNum > 0 ? d.mResponseNum : 0, true, false, std::string()};
    if (d.mTls && d.state() == transfer_state::connecting) last_failure[slot].reason = "no TLS handshake in time";
    down[slot].reset();  // a time-out is not logged
    return 2;
  }
  if (d.mResponseNum >= 200 && d.mResponseNum <= 299 && d.mResponseNum != 204 && is_complete && !is_err) {
    if (d.mReusable && keep_alive && d.mSocket && d.mSocket->GetStatus() == pcsbstatus_Connected) {
      kept[slot].socket = std::move(d.mSocket);
      kept[slot].place = place[slot];
      kept[slot].addr = d.mAddr;
      kept[slot].port = d.mConnectPort;
    }
    down[slot].reset();
    return 1;
  }
  report_failure(slot, server, file, dest);
  down[slot].reset();
  return 2;
}
