#include "relay/socket/tls_transport.h"

#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include "relay/log/log_sink.h"
#include "relay/socket/failure_text.h"
#include "relay/socket/net_exceptions.h"

namespace vantelo::relay {
namespace {

// ---- the socket under OpenSSL -------------------------------------------
// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE on a
// socket whose peer has gone; this one goes through the socket layer (sends
// without SIGPIPE, and the tests' fault seam) and keeps the error number.

struct TBioSocket {
  TSocketHandle* socket = nullptr;
  int error = 0;                  // of the last call that failed, as a relay error number
  bool ended = false;             // a receive met the peer's end of sending
  bool certificateAsked = false;  // the server asked for a client certificate
  std::string sessionKey;         // the server this session was verified for (see TSessionCache)
  unsigned trustGeneration = 0;   // the reading of the trust store it was verified against
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
    s->ended = true;
    return 0;
  }
  s->error = GStack().LastError();
  if (s->error == kErrWouldBlock) BIO_set_retry_read(bio);
  return 0;
}

long BioCtrl(BIO* bio, int command, long, void*) {
  switch (command) {
    case BIO_CTRL_FLUSH:  // writes go straight to the socket: nothing to flush
      return 1;
    case BIO_CTRL_EOF:
      // What tells OpenSSL a plain end of the server's sending from a
      // failure (SSL_OP_IGNORE_UNEXPECTED_EOF needs it).
      return static_cast<TBioSocket*>(BIO_get_data(bio))->ended ? 1 : 0;
    default:  // nothing else applies
      return 0;
  }
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

  // The trust store's reading that sessions verified from now on belong to.
  unsigned Generation() {
    std::lock_guard<std::mutex> guard(lock_);
    return generation_;
  }
  // Keeps `session` for `key`, unless the trust store it was verified
  // against (`generation`) has been read again since.
  void Put(const std::string& key, TSessionPtr session, unsigned generation) {
    std::lock_guard<std::mutex> guard(lock_);
    if (generation != generation_) return;
    if (!sessions_.count(key) && sessions_.size() >= kServers) sessions_.clear();
    auto& kept = sessions_[key];
    if (kept.size() >= kPerServer) kept.erase(kept.begin());  // the oldest goes
    kept.push_back(std::move(session));
  }
  // Drops every session, and those of handshakes still under way.
  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    sessions_.clear();
    ++generation_;
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
  unsigned generation_ = 0;
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
  Sessions().Put(io->sessionKey, TSessionPtr(session), io->trustGeneration);
  return 1;
}

// ---- the process's client context -------------------------------------

TBioSocket* IoOf(SSL* ssl) { return static_cast<TBioSocket*>(BIO_get_data(SSL_get_rbio(ssl))); }

// The server asks for a client certificate: none is sent, and a server that
// insists ends the handshake with an alert that says little by itself.
int NoteCertificateRequest(SSL* ssl, X509**, EVP_PKEY**) {
  if (TBioSocket* io = IoOf(ssl)) io->certificateAsked = true;
  return 0;
}

// What SSL_CERT_FILE and SSL_CERT_DIR name that does not exist (they replace
// the system's trust store, so nothing is trusted from there); empty when
// neither names anything missing.
std::string MissingTrustPaths() {
  std::string missing;
  auto note = [&](const char* variable, const std::string& path) {
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) == 0) return;
    if (!missing.empty()) missing += ", ";
    missing += std::string(variable) + " names " + path + ", which does not exist";
  };
  if (const char* file = std::getenv(X509_get_default_cert_file_env())) {
    note(X509_get_default_cert_file_env(), file);
  }
  if (const char* dirs = std::getenv(X509_get_default_cert_dir_env())) {
    const std::string list = dirs;
    std::size_t from = 0;
    for (;;) {
      const std::size_t colon = list.find(':', from);
      note(X509_get_default_cert_dir_env(), list.substr(from, colon - from));
      if (colon == std::string::npos) break;
      from = colon + 1;
    }
  }
  return missing;
}

struct TContextDeleter {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using TContextPtr = std::unique_ptr<SSL_CTX, TContextDeleter>;

// TLS 1.2 suites offered: forward secrecy (ECDHE) and authenticated
// encryption only. TLS 1.3 has nothing else.
constexpr const char* kTls12Ciphers = "ECDHE+AESGCM:ECDHE+CHACHA20";

TContextPtr MakeContext(std::string& missingTrustPaths) {
  TContextPtr c(SSL_CTX_new(TLS_client_method()));
  if (!c) return c;
  SSL_CTX_set_min_proto_version(c.get(), TLS1_2_VERSION);
  if (SSL_CTX_set_cipher_list(c.get(), kTls12Ciphers) != 1) return nullptr;
  SSL_CTX_set_verify(c.get(), SSL_VERIFY_PEER, nullptr);
  missingTrustPaths = MissingTrustPaths();
  if (!missingTrustPaths.empty()) {
    RelayLog(TRelayLogLevel::Warning,
             "TLS: " + missingTrustPaths + ": no server certificate is trusted from there");
  }
  if (SSL_CTX_set_default_verify_paths(c.get()) != 1) {
    RelayLog(TRelayLogLevel::Warning, "TLS: the system's trust store could not be read");
    ERR_clear_error();
  }
  // SMTP ends its own sessions (QUIT, 221): a server that closes without
  // a close_notify after a whole line has cut nothing off (see Receive).
  SSL_CTX_set_options(c.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_mode(c.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Whole receives instead of a header and a body per record.
  SSL_CTX_set_read_ahead(c.get(), 1);
  // Sessions are kept by the relay's own cache, keyed by server.
  SSL_CTX_set_session_cache_mode(c.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(c.get(), KeepNewSession);
  SSL_CTX_set_client_cert_cb(c.get(), NoteCertificateRequest);
  return c;
}

// The client context with its trust store, made on first use from any
// worker and made again after ReloadTrustStore. A session keeps the context
// it was made from (OpenSSL counts its users), so a reload never pulls one
// from under a handshake.
class TClientContext {
 public:
  // A new session, and what the trust paths lack; null when TLS is not available.
  SSL* NewSession(std::string& missingTrustPaths) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!context_) context_ = MakeContext(missingTrustPaths_);
    missingTrustPaths = missingTrustPaths_;
    return context_ ? SSL_new(context_.get()) : nullptr;
  }
  void Forget() {
    TContextPtr old;
    std::lock_guard<std::mutex> guard(lock_);
    old = std::move(context_);
  }

 private:
  std::mutex lock_;
  TContextPtr context_;
  std::string missingTrustPaths_;
};

TClientContext& ClientContext() {
  // Never destroyed, as the session cache.
  static auto* context = new TClientContext;
  return *context;
}

std::string OpenSslReason() {
  const unsigned long e = ERR_peek_last_error();
  const char* reason = e ? ERR_reason_error_string(e) : nullptr;
  ERR_clear_error();
  return reason ? reason : "unknown error";
}

constexpr const char* kAsksForCertificate =
    "the server asks for a client certificate, which Vantelo does not send";

// The alerts with which a server that asked for a client certificate ends a
// session that brought none.
bool RefusesWithoutCertificate(int reason) {
  return reason == SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE ||
         reason == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED ||
         reason == SSL_R_SSLV3_ALERT_BAD_CERTIFICATE;
}

// What a handshake's failure reason may say besides OpenSSL's error.
struct THandshake {
  std::string serverName;         // as checked against the certificate
  bool afterStartTls = false;     // the server spoke plain SMTP first
  std::string missingTrustPaths;  // see MissingTrustPaths
};

constexpr std::size_t kQuotedName = 120;

// A certificate's issuer as a person reads it ("CN=Example CA,O=Example").
std::string IssuerOf(X509* certificate) {
  std::string text;
  if (BIO* out = BIO_new(BIO_s_mem())) {
    X509_NAME_print_ex(out, X509_get_issuer_name(certificate), 0,
                       XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    if (length > 0) text.assign(data, static_cast<std::size_t>(length));
    BIO_free(out);
  }
  if (text.size() > kQuotedName) text = text.substr(0, kQuotedName) + "...";
  return text.empty() ? "unnamed" : text;
}

// The certificate alone, with an issuer other than itself: the server sent
// none of the certificates between it and a CA. Public CAs issue from
// intermediates, which a server must send, so that is the likely cause; a
// private CA missing from the trust store looks the same from here.
bool SentWithoutItsIssuer(SSL* ssl, X509*& leaf) {
  STACK_OF(X509)* sent = SSL_get_peer_cert_chain(ssl);
  leaf = sent && sk_X509_num(sent) == 1 ? sk_X509_value(sent, 0) : nullptr;
  return leaf && X509_check_issued(leaf, leaf) != X509_V_OK;
}

std::string NotTrusted(const std::string& why, const THandshake& h) {
  return "certificate not trusted (" + why +
         (h.missingTrustPaths.empty() ? "" : "; " + h.missingTrustPaths) + ")";
}

// Why a handshake failed, for a person.
std::string HandshakeFailure(SSL* ssl, int result, const TBioSocket& io, const THandshake& h) {
  const int error = SSL_get_error(ssl, result);
  const long verify = SSL_get_verify_result(ssl);
  if (verify != X509_V_OK) {
    ERR_clear_error();
    X509* leaf = nullptr;
    switch (verify) {
      case X509_V_ERR_HOSTNAME_MISMATCH:
      case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "certificate name mismatch (the certificate is not made out to " + h.serverName +
               ")";
      case X509_V_ERR_CERT_HAS_EXPIRED:
        return "certificate expired";
      case X509_V_ERR_CERT_NOT_YET_VALID:
        return "certificate not yet valid (check this computer's clock)";
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        // With trust paths that name nothing, the store is what fails.
        if (h.missingTrustPaths.empty() && SentWithoutItsIssuer(ssl, leaf)) {
          return NotTrusted("the server sent no certificate of its issuer " + IssuerOf(leaf) +
                                ", which this computer's trust store does not have either: an "
                                "incomplete chain on the server, or a CA this computer does "
                                "not trust",
                            h);
        }
        [[fallthrough]];
      case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return NotTrusted("its issuer is not in this computer's trust store", h);
      default:
        return std::string("certificate not accepted: ") + X509_verify_cert_error_string(verify);
    }
  }
  if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN ||
      (error == SSL_ERROR_SSL &&
       ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
    ERR_clear_error();
    if (io.error && io.error != kErrWouldBlock)
      return "TLS handshake failed: " + ReplyWordsOf(io.error);
    return "the server closed the connection during the TLS handshake";
  }
  const int reason = ERR_GET_REASON(ERR_peek_last_error());
  if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG) {
    ERR_clear_error();
    return h.afterStartTls
               ? "the server answered STARTTLS with 220, then went on in plain text instead of TLS"
               : "the server does not speak TLS on this port (a STARTTLS port needs starttls://)";
  }
  if (reason == SSL_R_UNSUPPORTED_PROTOCOL || reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION) {
    ERR_clear_error();
    return "the server offers no TLS 1.2 or later";
  }
  if (io.certificateAsked && RefusesWithoutCertificate(reason)) {
    ERR_clear_error();
    return kAsksForCertificate;
  }
  if (reason == SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE && SSL_get_state(ssl) == TLS_ST_CW_CLNT_HELLO) {
    // Refused before it answered: nothing of what was offered suits it.
    ERR_clear_error();
    return "the server accepts none of the ciphers that Vantelo offers (under TLS 1.2: ECDHE "
           "with AES-GCM or ChaCha20)";
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
      atLineEnd_ = buffer[n - 1] == '\n';
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
      case SSL_ERROR_ZERO_RETURN:
        // A close_notify, or the socket's plain end without one: the BIO
        // answers BIO_CTRL_EOF, so OpenSSL reports that as an end, not a
        // failure. PeerEnd tells an orderly end from a reply cut off.
        return PeerEnd();
      case SSL_ERROR_SYSCALL:
        failed_ = true;
        ERR_clear_error();
        // An end that OpenSSL could not place, though it learns the socket's
        // end from the BIO: what came last may be cut off.
        if (io_->error == 0) throw ETlsError("TLS: the server's end came where more was due");
        error = io_->error;
        return -1;
      default: {
        failed_ = true;
        const bool refused = io_->certificateAsked &&
                             RefusesWithoutCertificate(ERR_GET_REASON(ERR_peek_last_error()));
        if (refused) ERR_clear_error();
        throw ETlsError(refused ? kAsksForCertificate : "TLS: " + OpenSslReason());
      }
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

  // The server has ended its sending. Without a close_notify, at the end of
  // a line that is how many servers close after their 221; in the middle of
  // a line or of a record it cut its reply off, which must not reach the
  // client as an orderly end.
  ssize_t PeerEnd() {
    if (io_->ended && (!atLineEnd_ || SSL_has_pending(ssl_.get()) == 1)) {
      failed_ = true;
      throw ETlsError(
          "the server's TLS session ended in the middle of a reply, without a close_notify");
    }
    peerEnded_ = true;
    if (endHeld_) EndSending(true);
    return 0;
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
  bool atLineEnd_ = true;  // the last byte received ended a line (or none came yet)
  bool peerEnded_ = false;
  bool endHeld_ = false;
  bool ended_ = false;
  bool failed_ = false;  // after a fatal error OpenSSL must not send again
};

// SSL_connect until the session is up, waiting on the socket in between.
void Handshake(SSL* ssl, TTCPConnection& connection, const TBioSocket& io,
               const THandshake& handshake, std::chrono::steady_clock::time_point deadline,
               const std::string& limitText, const TSocketHandle* abandonOnHangUp) {
  for (;;) {
    ERR_clear_error();
    const int result = SSL_connect(ssl);
    if (result == 1) return;
    TNeed need;
    switch (SSL_get_error(ssl, result)) {
      case SSL_ERROR_WANT_READ:
        need = TNeed::Readable;
        break;
      case SSL_ERROR_WANT_WRITE:
        need = TNeed::Writable;
        break;
      default:
        throw ETlsError(HandshakeFailure(ssl, result, io, handshake));
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
}

}  // namespace

void ReloadTrustStore() {
  // The context first, so that a session made from the old one always
  // belongs to a generation that Clear() ends.
  ClientContext().Forget();
  // A resumed session skips the certificate check, against the trust
  // store that held when its first session was verified.
  Sessions().Clear();
}

void StartTls(TTCPConnection& connection, const std::string& serverName,
              std::chrono::steady_clock::time_point deadline, const std::string& limitText,
              const TSocketHandle* abandonOnHangUp) {
  BIO_METHOD* method = SocketBioMethod();
  THandshake handshake;
  // Taken before the context: a reload in between drops this session's
  // tickets rather than keeping ones checked against the old store.
  const unsigned trustGeneration = Sessions().Generation();
  std::unique_ptr<SSL, TSslDeleter> ssl(
      method ? ClientContext().NewSession(handshake.missingTrustPaths) : nullptr);
  BIO* bio = ssl ? BIO_new(method) : nullptr;
  if (!bio) throw ETlsError("TLS is not available: " + OpenSslReason());
  // An address is checked against the certificate's addresses, a name
  // against its names; only a name goes out as SNI, without the trailing dot
  // of a fully qualified name (which SNI forbids and no certificate has).
  const bool isAddress =
      TSocketStack::IsDottedAddress(serverName) || TSocketStack::IsIPv6Address(serverName);
  handshake.serverName = serverName;
  if (!isAddress && handshake.serverName.size() > 1 && handshake.serverName.back() == '.') {
    handshake.serverName.pop_back();
  }
  const std::string& name = handshake.serverName;
  // Bytes came before TLS: a STARTTLS dialogue.
  handshake.afterStartTls = connection.HasReceived();
  auto io = std::make_unique<TBioSocket>();
  io->socket = &connection.SocketBinding;
  io->trustGeneration = trustGeneration;
  io->sessionKey = name + " port " + std::to_string(connection.SocketBinding.RemotePort);
  BIO_set_data(bio, io.get());
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl.get(), bio, bio);  // the session owns the BIO now

  const bool named =
      isAddress ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), name.c_str()) == 1
                : SSL_set1_host(ssl.get(), name.c_str()) == 1 &&
                      SSL_set_tlsext_host_name(ssl.get(), name.c_str()) == 1;
  if (!named) throw ETlsError("the server name " + name + " cannot be checked: " + OpenSslReason());
  // The names a certificate is made out to are its subject alternative
  // names; a subject's common name alone names nothing.
  SSL_set_hostflags(ssl.get(),
                    X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
  // A session this name and port had before saves the server its
  // certificate and a round of key exchange; a server that declines it gets
  // a full, fully checked handshake.
  if (TSessionPtr earlier = Sessions().Take(io->sessionKey)) {
    SSL_set_session(ssl.get(), earlier.get());
  }

  Handshake(ssl.get(), connection, *io, handshake, deadline, limitText, abandonOnHangUp);
  // A resumed TLS 1.2 session brings no new one; the same can serve again.
  if (SSL_session_reused(ssl.get()) == 1 && SSL_version(ssl.get()) < TLS1_3_VERSION) {
    if (SSL_SESSION* again = SSL_get1_session(ssl.get())) {
      Sessions().Put(io->sessionKey, TSessionPtr(again), io->trustGeneration);
    }
  }
  connection.UseTransport(std::make_unique<TTlsTransport>(std::move(ssl), std::move(io)));
}

}  // namespace vantelo::relay
