#include "relay/socket/tls_transport.h"

#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "relay/log_sink.h"
#include "relay/socket/error_words.h"
#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

// ---- the socket under OpenSSL -------------------------------------------
// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE on a
// socket whose peer has gone; this one goes through the socket layer (sends
// without SIGPIPE, and the tests' fault seam) and keeps the error number.

struct TBioSocket {
  TSocketHandle* socket = nullptr;
  int error = 0;           // of the last call that failed, as a relay error number
  std::string sessionKey;  // the server this session was verified for (see TSessionCache)
};

int BioWrite(BIO* bio, const char* data, std::size_t length, std::size_t* written) {
  auto* s = static_cast<TBioSocket*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const ssize_t n = s->socket->Send(data, length);
  if (n >= 0) {
    *written = static_cast<std::size_t>(n);
    return 1;
  }
  s->error = GStack().LastError();
  if (s->error == kErrWouldBlock) BIO_set_retry_write(bio);
  return 0;
}

int BioRead(BIO* bio, char* buffer, std::size_t length, std::size_t* read) {
  auto* s = static_cast<TBioSocket*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const ssize_t n = s->socket->Receive(buffer, length);
  if (n > 0) {
    *read = static_cast<std::size_t>(n);
    return 1;
  }
  if (n == 0) {
    s->error = 0;  // the peer's end
    return 0;
  }
  s->error = GStack().LastError();
  if (s->error == kErrWouldBlock) BIO_set_retry_read(bio);
  return 0;
}

long BioCtrl(BIO*, int command, long, void*) {
  // Writes go straight to the socket: nothing to flush. Nothing else applies.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vantelo socket");
    if (m) {
      BIO_meth_set_write_ex(m, BioWrite);
      BIO_meth_set_read_ex(m, BioRead);
      BIO_meth_set_ctrl(m, BioCtrl);
    }
    return m;
  }();
  return method;
}

// ---- sessions to resume -------------------------------------------------
// A resumed session skips the certificate check: it stands on the check of
// the session it resumes. So sessions are kept per server name and port, the
// name being the one checked against the certificate, and are offered only
// to that same name and port. Each is offered once (as TLS 1.3 asks of its
// tickets); the servers hand out new ones with every session.

struct TSessionDeleter {
  void operator()(SSL_SESSION* s) const { SSL_SESSION_free(s); }
};
using TSessionPtr = std::unique_ptr<SSL_SESSION, TSessionDeleter>;

class TSessionCache {
 public:
  static constexpr std::size_t kPerServer = 4;
  static constexpr std::size_t kServers = 64;

  void Put(const std::string& key, TSessionPtr session) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!sessions_.count(key) && sessions_.size() >= kServers) sessions_.clear();
    auto& kept = sessions_[key];
    if (kept.size() >= kPerServer) kept.erase(kept.begin());  // the oldest goes
    kept.push_back(std::move(session));
  }
  // The newest session for `key` that can still be resumed, taken out; null
  // if none.
  TSessionPtr Take(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = sessions_.find(key);
    if (found == sessions_.end()) return nullptr;
    auto& kept = found->second;
    while (!kept.empty()) {
      TSessionPtr newest = std::move(kept.back());
      kept.pop_back();
      if (SSL_SESSION_is_resumable(newest.get()) == 1) return newest;
    }
    return nullptr;
  }

 private:
  std::mutex lock_;
  std::map<std::string, std::vector<TSessionPtr>> sessions_;
};

TSessionCache& Sessions() {
  // Never destroyed: a worker that outlives the relay's bounded stop may
  // still hand a session in as the process ends.
  static auto* cache = new TSessionCache;
  return *cache;
}

// OpenSSL hands over each session the server offers for resumption.
int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
  auto* io = static_cast<TBioSocket*>(BIO_get_data(SSL_get_rbio(ssl)));
  if (!io || io->sessionKey.empty()) return 0;  // not kept: OpenSSL frees it
  Sessions().Put(io->sessionKey, TSessionPtr(session));
  return 1;
}

// ---- the process's client context -------------------------------------

struct TContextDeleter {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};

// Made once, on first use, from any worker; shared by every session.
SSL_CTX* ClientContext() {
  static std::unique_ptr<SSL_CTX, TContextDeleter> context = [] {
    std::unique_ptr<SSL_CTX, TContextDeleter> c(SSL_CTX_new(TLS_client_method()));
    if (!c) return c;
    SSL_CTX_set_min_proto_version(c.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(c.get(), SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_set_default_verify_paths(c.get()) != 1) {
      RelayLog(TRelayLogLevel::Warning, "TLS: the system's trust store could not be read");
      ERR_clear_error();
    }
    // SMTP ends its own sessions (QUIT, 221): a server that closes without
    // a close_notify has cut nothing off.
    SSL_CTX_set_options(c.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(c.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Whole receives instead of a header and a body per record.
    SSL_CTX_set_read_ahead(c.get(), 1);
    // Sessions are kept by the relay's own cache, keyed by server.
    SSL_CTX_set_session_cache_mode(c.get(),
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(c.get(), KeepNewSession);
    return c;
  }();
  return context.get();
}

std::string OpenSslReason() {
  const unsigned long e = ERR_peek_last_error();
  const char* reason = e ? ERR_reason_error_string(e) : nullptr;
  ERR_clear_error();
  return reason ? reason : "unknown error";
}

// Why a handshake failed, for a person.
std::string HandshakeFailure(SSL* ssl, int result, const TBioSocket& io,
                             const std::string& serverName) {
  const int error = SSL_get_error(ssl, result);
  const long verify = SSL_get_verify_result(ssl);
  if (verify != X509_V_OK) {
    ERR_clear_error();
    switch (verify) {
      case X509_V_ERR_HOSTNAME_MISMATCH:
      case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "certificate name mismatch (the certificate is not made out to " + serverName + ")";
      case X509_V_ERR_CERT_HAS_EXPIRED:
        return "certificate expired";
      case X509_V_ERR_CERT_NOT_YET_VALID:
        return "certificate not yet valid (check this computer's clock)";
      case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return "certificate not trusted (its issuer is not in this computer's trust store)";
      default:
        return std::string("certificate not accepted: ") + X509_verify_cert_error_string(verify);
    }
  }
  if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN ||
      (error == SSL_ERROR_SSL &&
       ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
    ERR_clear_error();
    if (io.error && io.error != kErrWouldBlock)
      return "TLS handshake failed: " + ErrorInWords(io.error);
    return "the server closed the connection during the TLS handshake";
  }
  const int reason = ERR_GET_REASON(ERR_peek_last_error());
  if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG) {
    ERR_clear_error();
    return "the server does not speak TLS on this port (a STARTTLS port needs starttls://)";
  }
  if (reason == SSL_R_UNSUPPORTED_PROTOCOL || reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION) {
    ERR_clear_error();
    return "the server offers no TLS 1.2 or later";
  }
  return "TLS handshake failed: " + OpenSslReason();
}

struct TSslDeleter {
  void operator()(SSL* s) const { SSL_free(s); }
};

// ---- the transport ------------------------------------------------------

class TTlsTransport final : public TTransport {
 public:
  TTlsTransport(std::unique_ptr<SSL, TSslDeleter> ssl, std::unique_ptr<TBioSocket> io)
      : ssl_(std::move(ssl)), io_(std::move(io)) {}

  ssize_t Receive(char* buffer, std::size_t length, int& error) override {
    ERR_clear_error();
    const int n =
        SSL_read(ssl_.get(), buffer, static_cast<int>(std::min<std::size_t>(length, INT_MAX)));
    if (n > 0) {
      receiveNeed_ = TNeed::Readable;
      // Records read ahead wait inside OpenSSL, where no socket wait sees them.
      maybeBuffered_ = SSL_has_pending(ssl_.get()) == 1;
      return n;
    }
    maybeBuffered_ = false;
    switch (SSL_get_error(ssl_.get(), n)) {
      case SSL_ERROR_WANT_READ:
        receiveNeed_ = TNeed::Readable;
        error = kErrWouldBlock;
        return -1;
      case SSL_ERROR_WANT_WRITE:
        receiveNeed_ = TNeed::Writable;
        error = kErrWouldBlock;
        return -1;
      case SSL_ERROR_ZERO_RETURN:  // close_notify, or the end without one
        peerEnded_ = true;
        if (endHeld_) EndSending(true);
        return 0;
      case SSL_ERROR_SYSCALL:
        failed_ = true;
        ERR_clear_error();
        if (io_->error == 0) {
          peerEnded_ = true;
          return 0;
        }
        error = io_->error;
        return -1;
      default:
        failed_ = true;
        throw ETlsError("TLS: " + OpenSslReason());
    }
  }

  ssize_t Send(const char* data, std::size_t length, int& error) override {
    ERR_clear_error();
    const int n =
        SSL_write(ssl_.get(), data, static_cast<int>(std::min<std::size_t>(length, INT_MAX)));
    if (n > 0) {
      sendNeed_ = TNeed::Writable;
      return n;
    }
    switch (SSL_get_error(ssl_.get(), n)) {
      case SSL_ERROR_WANT_WRITE:
        sendNeed_ = TNeed::Writable;
        error = kErrWouldBlock;
        return -1;
      case SSL_ERROR_WANT_READ:
        sendNeed_ = TNeed::Readable;
        error = kErrWouldBlock;
        return -1;
      case SSL_ERROR_SYSCALL:
      case SSL_ERROR_ZERO_RETURN:
        failed_ = true;
        ERR_clear_error();
        error = io_->error && io_->error != kErrWouldBlock ? io_->error : kErrShutdown;
        return -1;
      default:
        failed_ = true;
        throw ETlsError("TLS: " + OpenSslReason());
    }
  }

  TNeed ReceiveNeeds() const override {
    if (maybeBuffered_ || SSL_pending(ssl_.get()) > 0) return TNeed::Nothing;
    return receiveNeed_;
  }
  TNeed SendNeeds() const override { return sendNeed_; }

  void EndSending(bool closing) override {
    if (ended_) return;
    if (!closing && !peerEnded_) {
      endHeld_ = true;  // until the server ends, or the connection closes
      return;
    }
    ended_ = true;
    if (!failed_) {
      // One try: the close_notify goes into the socket's send buffer, which
      // the relay only ends its sending into once every unit has gone.
      ERR_clear_error();
      SSL_shutdown(ssl_.get());
      ERR_clear_error();
    }
    io_->socket->EndSending();
  }

 private:
  std::unique_ptr<SSL, TSslDeleter> ssl_;
  std::unique_ptr<TBioSocket> io_;
  TNeed receiveNeed_ = TNeed::Readable;
  TNeed sendNeed_ = TNeed::Writable;
  bool maybeBuffered_ = false;
  bool peerEnded_ = false;
  bool endHeld_ = false;
  bool ended_ = false;
  bool failed_ = false;  // after a fatal error OpenSSL must not send again
};

}  // namespace

void StartTls(TTCPConnection& connection, const std::string& serverName,
              std::chrono::steady_clock::time_point deadline, const std::string& limitText,
              const TSocketHandle* abandonOnHangUp) {
  SSL_CTX* context = ClientContext();
  BIO_METHOD* method = SocketBioMethod();
  if (!context || !method) throw ETlsError("TLS is not available: " + OpenSslReason());
  std::unique_ptr<SSL, TSslDeleter> ssl(SSL_new(context));
  BIO* bio = ssl ? BIO_new(method) : nullptr;
  if (!bio) throw ETlsError("TLS is not available: " + OpenSslReason());
  auto io = std::make_unique<TBioSocket>();
  io->socket = &connection.SocketBinding;
  io->sessionKey = serverName + " port " + std::to_string(connection.SocketBinding.RemotePort);
  BIO_set_data(bio, io.get());
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl.get(), bio, bio);  // the session owns the BIO now

  // An address is checked against the certificate's addresses, a name
  // against its names; only a name goes out as SNI.
  const bool isAddress =
      TSocketStack::IsDottedAddress(serverName) || TSocketStack::IsIPv6Address(serverName);
  const bool named =
      isAddress ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), serverName.c_str()) == 1
                : SSL_set1_host(ssl.get(), serverName.c_str()) == 1 &&
                      SSL_set_tlsext_host_name(ssl.get(), serverName.c_str()) == 1;
  if (!named)
    throw ETlsError("the server name " + serverName + " cannot be checked: " + OpenSslReason());
  SSL_set_hostflags(ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  // A session this name and port had before saves the server its
  // certificate and a round of key exchange; a server that declines it gets
  // a full, fully checked handshake.
  if (TSessionPtr earlier = Sessions().Take(io->sessionKey)) {
    SSL_set_session(ssl.get(), earlier.get());
  }

  for (;;) {
    ERR_clear_error();
    const int result = SSL_connect(ssl.get());
    if (result == 1) break;
    TNeed need;
    switch (SSL_get_error(ssl.get(), result)) {
      case SSL_ERROR_WANT_READ:
        need = TNeed::Readable;
        break;
      case SSL_ERROR_WANT_WRITE:
        need = TNeed::Writable;
        break;
      default:
        throw ETlsError(HandshakeFailure(ssl.get(), result, *io, serverName));
    }
    switch (WaitForSocket(connection.SocketBinding, need, deadline, abandonOnHangUp)) {
      case TWaitEnd::Ready:
        break;
      case TWaitEnd::Abandoned:
        throw ESocketError(kErrConnAborted);
      case TWaitEnd::TimedOut:
        throw ETlsError("the server did not complete the TLS handshake within " + limitText);
    }
  }
  // A resumed TLS 1.2 session brings no new one; the same can serve again.
  if (SSL_session_reused(ssl.get()) == 1 && SSL_version(ssl.get()) < TLS1_3_VERSION) {
    if (SSL_SESSION* again = SSL_get1_session(ssl.get())) {
      Sessions().Put(io->sessionKey, TSessionPtr(again));
    }
  }
  connection.UseTransport(std::make_unique<TTlsTransport>(std::move(ssl), std::move(io)));
}

}  // namespace vantelo::relay
