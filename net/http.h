// HTTP/1.1 transfers into files, and the pool of six polled transfer slots.
//
// [SECTION] down_class: one request, its response header, and its body
//           written straight into a destination file, one step per frame.
// [SECTION] http_class: the six slots, net_check (the one entry point of the
//           installer to the network), the proxy settings and UseProxy.
//
// Everything runs on the main thread; nothing waits except the name lookup
// when a transfer starts.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/PCSBSocket.h"
#include "platform/file.h"
#include "platform/socket.h"

// ------------------------------------------------------------ [SECTION] down_class
// Takes the body of a successful (2xx) response in place of a destination
// file, so that a caller can use the bytes as they arrive (an archive
// extracted while it downloads). Called on the main thread only.
class body_sink {
 public:
  virtual ~body_sink() = default;
  // Before the first byte: the announced length, -1 when none was.
  virtual void start(std::int64_t length) = 0;
  // The next bytes of the body, in order. Never fails here: the sink keeps
  // its own verdict, which its owner reads once the transfer has ended.
  virtual void take(const char* data, std::size_t n) = 0;
  // Where the next body bytes may be received directly, sparing take()'s
  // copy: a buffer of at least `room` bytes (which it may lower), or null
  // (the transfer receives into its own buffer and calls take()). The
  // receive is followed by took(n), n the bytes of the body that arrived
  // there (0: none to keep), before any other call.
  virtual char* receive_room(std::size_t& room) {
    (void)room;
    return nullptr;
  }
  virtual void took(std::size_t n) { (void)n; }
  // False while the sink holds all it will buffer: the transfer reads
  // nothing more from its socket until it is true again (the server waits
  // on a full connection instead of this program's memory growing).
  virtual bool ready() const = 0;
  // Signalled (plat::wake_signal) by a sink that works on another thread
  // when it has room again after ready() said false, and when it has
  // finished: the transfer loop's wait ends then. Set before start().
  plat::WakeHandle room_wake = plat::bad_wake;
  // Before the first byte of a range answer (206) that continues the body
  // from byte `offset`, the bytes before it having come with an earlier
  // transfer: the sink goes on where it stopped. Only a transfer that asked
  // for the rest (transfer_options::continue_from) calls it; a whole answer
  // to such a request calls start() instead, and the sink starts again.
  virtual void resume(std::int64_t offset) { (void)offset; }
  // The answer's validator, told before start() or resume(): its ETag when
  // strong, else its Last-Modified, else empty. A request for the rest of
  // the body names it in If-Range.
  virtual void validator(const std::string& value) { (void)value; }
};

// What a transfer is to do beyond fetching a file into its destination.
struct transfer_options {
  // The largest body accepted (0: no limit). A response announcing more
  // fails at once, before its file is created; a body growing past it stops
  // there (nothing beyond the limit is written). Either way a log line says so.
  std::int64_t max_bytes = 0;
  // Takes the body of a 2xx response instead of the destination file (null:
  // none). The caller keeps it alive until the transfer has ended.
  body_sink* sink = nullptr;
  // Request fields added to the usual ones (Connection, Host, User-agent),
  // or replacing one of the same name.
  std::map<std::string, std::string> fields;
  // TLS to the server (an "https://" server name); set by the pool.
  bool tls = false;
  // The byte the body is asked from (0: the whole body). Set with
  // continue_from(); a 206 answer must then say, in Content-Range, that it
  // starts there, and a 200 answer (the server does not do ranges, or the
  // file changed) is the whole body again.
  std::int64_t resume_from = 0;

  // Asks for the body from byte `offset` on ("Range: bytes=N-"), only if it
  // is still the one `validator` names ("If-Range"; none when empty).
  void continue_from(std::int64_t offset, const std::string& validator) {
    resume_from = offset;
    fields["Range"] = "bytes=" + std::to_string(offset) + "-";
    if (!validator.empty()) fields["If-Range"] = validator;
  }
};

// A connection left open by a complete response, kept by its pool slot for
// the next transfer to the same place.
struct kept_connection {
  std::unique_ptr<PCSBSocket> socket;  // null: nothing kept
  std::string place;                   // server (host and port) and proxy it was made for
  std::uint32_t addr = 0;              // the address and port it is connected to
  std::uint16_t port = 0;
};

// One HTTP/1.1 request and its response. Created when the transfer starts,
// advanced by DoProcessing once per frame, destroyed by its owner once the
// outcome has been judged. It owns its socket and its destination file; the
// file is never deleted here, whatever the outcome.
//
// Request bytes: "GET " (or "POST "), with a proxy "http://" + the "Host"
// field, the path (spaces and control characters written as %XX, nothing else
// escaped), " HTTP/1.1\r\n", the fields in ascending byte order of their
// names, "Content-Length" when a body is given, an empty line, the body.
//
// Response rules:
//   - Only CR LF ends a header line. A status line is "HTTP/" + version + " "
//     + three digits, then the end of the line or " " + reason phrase (which
//     may be empty). A later status line (after an interim 1xx response)
//     replaces the earlier one and the fields that came with it; parsing goes
//     on with whatever follows the interim response in the same receipt.
//   - A field line is "name: value"; the first occurrence of a name wins.
//   - The destination file is created (or truncated) when the final header
//     ends, and holds exactly the bytes received after it, whatever the
//     status (an error page is written like any body).
//   - When "Content-Length" (that exact spelling) is known, the connection is
//     ended from this side as soon as that many bytes have arrived. Bytes
//     beyond it that came in the same receipt are written and counted too,
//     which makes the transfer fail in the pool.
//   - The response is rejected (mFileErr = EPROTO, connection ended) when its
//     status line is malformed, its Content-Length is not a plain decimal
//     number or contradicts an earlier one, or the header exceeds 64 KiB.
//   - The peer closing the connection ends the transfer: complete when the
//     announced length has arrived, failed otherwise (no length, or short).
//   - A failed create, write or close of the destination sets mFileErr (the
//     errno value); the file is closed, and the close checked, as soon as the
//     last announced byte is written, before the pool judges the outcome.
//   - A 204 (no content) or 304 (not modified) answer has no body, whatever
//     its fields say: it ends at its header, and fails, as it does not
//     deliver the file asked for.
//   - A response carrying "Transfer-Encoding" (in any case) is rejected the
//     same way: its body is framed, not the file's bytes, and no length is
//     known.
//   - With mMaxBytes set, a Content-Length above it is rejected (mFileErr
//     EFBIG, no file created) and a body reaching past it is cut at the
//     limit (EFBIG, connection ended); a log line says which.
//   - A host name that is empty or holds blanks, control characters, "/",
//     "" or ":" is treated as unresolvable (mFileErr 20011, no socket).
//
// Persistent connections (the request's "Connection" field is
// "keep-alive"):
//   - After the last announced byte the connection stays open (mReusable)
//     only when the response was HTTP/1.1, 2xx, exactly Content-Length
//     bytes long, did not say "Connection: close", and the peer has not
//     closed; otherwise it is ended as for any other request.
//   - A transfer started on a kept connection (mOnKeptConnection) that
//     fails before the first byte of its response arrives (the server had
//     closed it, reset it, closes it on the request, or says nothing for
//     http.kept_silence_secs) starts once more on a fresh connection to the
//     same address, transparently. Once any byte of the response has
//     arrived, a failure is a failure. The pool's time-out still counts
//     from the transfer's creation.
// What a transfer is doing, read from its socket and its progress by
// sync_state(), the one place that changes it (and logs each change while
// http.log_states is set).
enum class transfer_state {
  unresolved,  // no socket: the host (or the proxy) could not be resolved
  connecting,  // the connection is being made
  sending,     // connected; request bytes remain to be sent
  awaiting,    // the request is sent; the final response header has not ended
  receiving,   // the header has ended; the body arrives into the file or the sink
  kept,        // every announced byte arrived; the connection stays for the next request
  closed,      // the connection is over: ended by this side after the body, or by the peer
  failed,      // the socket failed
};

class down_class {
 public:
  // With `sink` set, the body of a 2xx response goes to it instead of `dest`
  // (any other response is written to `dest` as usual).
  // `dest` may be null: the body then stays in mInBuf (up to 16 MiB; more is
  // EFBIG) and is not counted. With `kept` holding a socket, the request
  // goes on that connection (to kept->addr, kept->port) without a lookup;
  // the socket is taken from it.
  down_class(const char* host, std::uint16_t port, const char* path, bool post,
             const std::map<std::string, std::string>& fields, const void* body, int body_len, const char* dest,
             kept_connection* kept = nullptr, body_sink* sink = nullptr, bool tls = false);
  // The pool's transfers: a GET with the options' size limit and sink.
  down_class(const char* host, std::uint16_t port, const char* path,
             const std::map<std::string, std::string>& fields, const char* dest, kept_connection* kept,
             const transfer_options& options);
  ~down_class();
  down_class(const down_class&) = delete;
  down_class& operator=(const down_class&) = delete;

  // One non-blocking step: at most one send and one receive of 64 KiB.
  void DoProcessing();

  // The transfer's condition:
  //   0 no socket (the host was not resolved)
  //   1 connecting
  //   2 socket failed
  //   3 connection over (ended by this side after the body, or by the peer)
  //   4 connected, request bytes remain to be sent
  //   5 connected, request sent, header complete: receiving payload
  //   6 connected, request sent, header not yet complete
  int GetStat();

  // The state as of the last sync_state() (GetStat() syncs).
  transfer_state state() const { return state_; }

  // Whether the running transfer has been silent for `time_out` seconds, or
  // has received fewer than `floor` bytes a second over its last `window`
  // seconds. Never while its sink holds it: the server is not silent then,
  // this side is not reading.
  bool timed_out(float time_out, float window, double floor);

  std::string GetResponseName() const { return mResponseName; }

  std::unique_ptr<PCSBSocket> mSocket;  // null when the host was not resolved
  std::vector<char> mOutBuf;            // request bytes the socket has not taken yet
  std::vector<char> mInBuf;             // received bytes not yet consumed
  bool mGotWholeHeader = false;         // the final (>= 200) header has ended
  int mResponseNum = 0;                 // 0 no connection tried; -1 until a status line
  std::string mResponseName;            // reason phrase of the status line
  std::map<std::string, std::string> mFields;  // response fields, exactly as received
  plat::File mDestFile;                 // open from the end of the header to the end of the body
  std::string mDestFileName;            // the destination file; empty when none
  int mFileErr = 0;                     // errno of the file or response; 20010, 20011; 0 none
  int mLocalErr = 0;                    // error creating, writing or closing the destination; 0 none
  std::int64_t mIncomingLength = -1;    // Content-Length; -1 until known (or when absent)
  std::int64_t mReceivedPayload = 0;    // body bytes written to the file so far
  float last_read_time = 0;             // real time of creation and of the last payload
  std::int64_t mMaxBytes = 0;           // largest body accepted; 0: no limit
  std::int64_t mReceivedBytes = 0;      // every byte read from the socket (header and body)
  // (real time, mReceivedBytes) taken while the transfer runs, oldest first,
  // spanning a little more than the pool's trickle window.
  std::vector<std::pair<float, std::int64_t>> mRateSamples;

  std::uint32_t mAddr = 0;          // address connected to (network order); 0 without a socket
  std::uint16_t mConnectPort = 0;   // port connected to (the proxy's with a proxy)
  bool mPersistent = false;         // the request asked to keep the connection open
  bool mOnKeptConnection = false;   // sent on a kept connection, not yet retried on a fresh one
  bool mReusable = false;           // the response is complete and the connection may serve the next request
  int mConnectionsOpened = 0;       // connections this transfer opened itself (0 when it ran on a kept one)
  body_sink* mSink = nullptr;       // takes a 2xx body instead of the file; not owned
  bool mSinking = false;            // the body goes to mSink
  bool mTls = false;                // TLS to the server (through a CONNECT tunnel with a proxy)
  std::string mTlsHost;             // the name the certificate must be for
  std::string mTunnel;              // "host:port" asked of the proxy; empty without one
  bool mFollowRedirects = false;    // the pool follows redirects of this transfer
  bool mRedirect = false;           // a redirect with a Location to follow: its body goes nowhere
  std::string mReason;              // why the transfer failed, when words say more than a code

  // Why the transfer failed in words (TLS, proxy, redirect); empty if none.
  std::string reason() const;
  std::int64_t mResumeFrom = 0;     // the byte the body was asked from (0: the whole body)
  std::int64_t mBodyOffset = 0;     // the byte of the whole the body starts at (a 206 answer's)
  std::int64_t mReadLimit = -1;     // bytes the next receive may take under the bandwidth cap; -1 no cap
  bool mHeldByCap = false;          // the last step read nothing because the cap allowed nothing

 private:
  void parse_header();
  void open_destination();
  bool accept_range_answer();
  std::string validator_of_answer() const;
  void reject_response();
  void finish_body();
  bool may_keep_open(std::int64_t pending) const;
  bool retry_on_fresh_connection();
  // Opens a connection of this transfer's own to addr:port.
  void connect_fresh(std::uint32_t addr, std::uint16_t port);
  void sync_state();
  transfer_state state_ = transfer_state::unresolved;
  bool mHttp11 = false;           // the final status line said HTTP/1.1
  std::vector<char> mRequest;     // the request bytes, kept for the one retry on a fresh connection
  std::int64_t header_bytes_ = 0;  // header bytes consumed so far (all responses)
};

// ------------------------------------------------------------ [SECTION] http_class
// Host-name suffixes reached without the proxy. Starts empty.
extern std::vector<std::string> gProxyExclude;

// Whether connections to `host` go through the proxy: a proxy host and a
// non-zero port are set and no entry of gProxyExclude ends the host name.
bool UseProxy(const char* host, std::uint16_t port);

// Why the last transfer of a slot failed, for callers that must tell a
// fault of this machine (a full disk, no permission: retrying elsewhere
// cannot help) from a fault of the server or the network.
struct net_failure {
  int local_error = 0;  // error creating or writing the destination file; 0: the cause was remote
  int http_status = 0;  // status code of the final response; 0: none arrived
  bool timed_out = false;  // silent for time_out_secs, or slower than the trickle floor
  bool too_large = false;  // the body was (or was announced) larger than the slot's size limit
  std::string reason;      // the cause in words (a certificate, the proxy, redirects); empty: none
};

class http_class {
 public:
  static constexpr int kSlots = 6;  // 0 server list, 1 manifest, 2..5 download streams
  static constexpr int kMaxRedirects = 5;

  // One step of the transfer in `slot` (0..5). The call that finds the slot
  // free starts downloading `server` + `file` into `dest`; later calls
  // advance it. With keep_alive set, a slot keeps its connection after a
  // successful transfer and sends its next request to the same server (and
  // proxy) on it; a kept connection to another place is closed first. Returns 0 running, 1 done (2xx, exactly the announced bytes
  // written, no error), 2 failed; after 1 or 2 the slot is free. A failure
  // other than a time-out writes a nine-line report to the log; later
  // failures of the same server and file write one line each instead,
  // "HTTP Error for <dest> again (<n> times)", so that a failing mirror
  // cannot fill the log.
  //   server: host name or dotted quad, optionally ":port" (default 80);
  //           "https://" before it makes it a TLS server (default port 443);
  //           no trailing "/" or "\".
  // A redirect (301, 302, 303, 307, 308 with a Location) is followed in the
  // same slot, at most kMaxRedirects in a row, never from TLS to plain HTTP;
  // its body is not written; active_server() names where the slot now is.
  //   file:   path on the server, starting with "/" (or "\").
  // A bad slot, a server ending in a directory character or a file not
  // starting with one are programming errors: fatal alert.
  int net_check(int slot, std::string server, std::string file, std::string& dest);

  // The cause of the last failure (net_check answered 2) in `slot`; cleared
  // when a new transfer starts there.
  const net_failure& failure(int slot) const { return last_failure[slot]; }

  // The server the transfer in `slot` talks to now, or talked to last: the
  // one asked for, or where redirects led.
  const std::string& active_server(int slot) const { return active_server_[slot]; }

  // Waits up to `timeout_ms` until one of the running transfers' sockets has
  // something to do (data to read, a connection settled, room to send);
  // returns at once when no transfer runs. The frame loop waits here instead
  // of sleeping, so that arriving data is never held up.
  void wait_for_activity(int timeout_ms);
  // Waits up to `timeout_ms` for a sink to signal (room again, or its work
  // finished), when no transfer runs but extractions do.
  void wait_for_sinks(int timeout_ms);
  // The event sinks signal (made on first use, kept for the process).
  static plat::WakeHandle sink_wake();

  // Puts the pool back to its start: ends every transfer, closes every kept
  // connection, clears the proxy settings and the start-up flags, restores
  // the time-out and keep_alive.
  void reset();

  // Closes the connections the slots keep open between transfers.
  void close_kept();

  // The "_ca_file" preference: a PEM file of roots trusted beside the
  // system's (a private mirror's own root); empty: none.
  std::string ca_file;
  std::string ProxyHost;      // proxy host name or dotted address; empty: none
  std::string ProxyPort_str;  // the proxy port as typed and stored in the preferences
  int ProxyPort_int = 0;      // the proxy port used; 0: none
  std::unique_ptr<down_class> down[kSlots];  // the transfers; null when free
  kept_connection kept[kSlots];              // connections kept open between transfers
  std::string place[kSlots];                 // server and proxy of each running transfer

  // The "_keep_alive" preference: 1 asks servers to keep the connection open
  // ("Connection: keep-alive") and reuses it for the next file; 0 sends
  // "Connection: close" and opens one connection per file.
  int keep_alive = 1;
  // Connections opened so far (for the tests and benches).
  long connections_opened = 0;
  // A request on a kept connection that has had no byte of answer after
  // this many seconds is sent again on a fresh connection: some servers
  // leave a connection open without ever serving a second request on it.
  float kept_silence_secs = 2.0f;
  // Log every change of a transfer's state (for finding faults; off).
  bool log_states = false;
  net_failure last_failure[kSlots];          // see failure()

  // Seconds without payload after which a running transfer fails.
  float time_out_secs = 30.0f;
  // A transfer that has received fewer than trickle_floor_bytes_per_sec
  // bytes a second over its last trickle_window_secs counts as timed out
  // too: a server that sends a byte now and then would otherwise hold a
  // stream for ever.
  float trickle_window_secs = 60.0f;
  double trickle_floor_bytes_per_sec = 1000.0;

  // The options of the next transfer started in `slot` (see
  // transfer_options); used once, then back to none.
  void prepare(int slot, transfer_options options);
  transfer_options next_options[kSlots];

  std::map<std::pair<std::string, std::string>, int> failure_counts;  // (server, file): failures so far

  // The "_max_rate" preference in bytes a second: what every transfer of
  // the pool together may receive (0: no cap). The allowance is shared out
  // equally among the running transfers (what one does not use goes to the
  // others) and checked in each poll; nothing waits for it but the frame
  // loop's wait_for_activity.
  double max_rate = 0;

  bool inited_any = false;  // the slots have been cleared once
  bool soc_inited = false;  // the socket services have been started

 private:
  // A server ending in a directory character or a file not starting with
  // one is a programming error: fatal alert (false).
  static bool check_names(const std::string& server, const std::string& file);
  // Starts the transfer of `slot` with its prepared options, on the slot's
  // kept connection when that leads to the same place and is still open.
  void start_transfer(int slot, const std::string& server, const std::string& file, const std::string& dest);
  // The failure report in the log and the slot's failure record.
  void report_failure(int slot, const std::string& server, const std::string& file, const std::string& dest);
  // Starts the transfer the redirect in `slot` leads to; false (with the
  // reason set on the transfer) when it must not be followed.
  bool follow_redirect(int slot, const std::string& dest);
  std::string active_server_[kSlots];
  std::string active_file_[kSlots];
  transfer_options active_options_[kSlots];
  int redirects_[kSlots] = {};
  // The bandwidth cap: tokens refilled from the clock and shared out among
  // the running transfers; spent by what each receive took.
  void refill_allowance();
  // Milliseconds until the transfer of `slot`, held by the cap, may read
  // again (0: it is not held).
  int cap_wait_ms(int slot) const;
  double allowance_[kSlots] = {};
  float allowance_time_ = -1;
};

extern http_class http;

// The clock of the transfers' time-outs: seconds on the monotonic clock since
// its first reading.
float net_now();
