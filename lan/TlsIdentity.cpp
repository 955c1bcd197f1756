#include "lan/TlsIdentity.h"

#include "app/Log.h"
#include "app/Settings.h"
#include "app/Startup.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

namespace fs = std::filesystem;

namespace {

// Protects the bundle only against casual reading; the private keys beside it
// are what the folder's permissions guard.
constexpr const char* kPassphrase = "tolvanekey";

bool isHostName(const std::string& s) {
  if (s.empty() || s.size() > 253 || s.front() == '.' || s.front() == '-') return false;
  for (unsigned char ch : s)
    if (!(std::isalnum(ch) || ch == '-' || ch == '.' || ch == '_')) return false;
  return true;
}

bool isNumericAddress(const std::string& s) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, s.c_str(), buf) == 1 || inet_pton(AF_INET6, s.c_str(), buf) == 1;
}

std::optional<std::vector<uint8_t>> readBytes(const fs::path& p) {
  std::error_code ec;
  if (!fs::is_regular_file(p, ec)) return std::nullopt;
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

// The folder and the private parts stay readable by the user alone, also
// when they were made by an older version with looser permissions.
void tighten(const fs::path& dir) {
  ::chmod(dir.c_str(), 0700);
  for (const char* name : {"ca.key", "key.pem", "id.p12"}) ::chmod((dir / name).c_str(), 0600);
}

// The most recent OpenSSL error code, else `fallback`.
unsigned long sslStatus(unsigned long fallback) {
  unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  return e != 0 ? e : fallback;
}

// Runs /usr/bin/openssl with args, output to /dev/null; true when it started
// and exited with status 0.
bool runOpenssl(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string prog = "/usr/bin/openssl";
  argv.push_back(prog.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec. The umask makes
    // every key and bundle private from its first byte, without touching the
    // umask of the host's other threads.
    ::umask(077);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (null > 2) ::close(null);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string leafExtText(const std::string& ip) {
  std::string san;
  if (isNumericAddress(ip))
    san = "IP:" + ip + ",";
  else if (isHostName(ip))
    san = "DNS:" + ip + ",";
  return "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
         "extendedKeyUsage=serverAuth\nsubjectAltName=" + san + "IP:127.0.0.1,DNS:localhost\n";
}

// Status values: OpenSSL's packed error code when the library reported one,
// else 1 (not a PKCS#12 bundle, or the passphrase does not open it), 2 (no
// certificate or no key inside), 3 (the key does not belong to the
// certificate), 4 (the TLS context refused certificate or key).
std::shared_ptr<boost::asio::ssl::context> importIdentity(const std::vector<uint8_t>& p12bytes,
                                                          unsigned long& status) {
  namespace ssl = boost::asio::ssl;
  ERR_clear_error();
  status = 0;
  const unsigned char* p = p12bytes.data();
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(p12bytes.size()));
  if (!p12) {
    status = sslStatus(1);
    return nullptr;
  }
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* chain = nullptr;
  int ok = PKCS12_parse(p12, kPassphrase, &key, &cert, &chain);
  PKCS12_free(p12);
  struct Free {
    EVP_PKEY*& key;
    X509*& cert;
    STACK_OF(X509)*& chain;
    ~Free() {
      EVP_PKEY_free(key);
      X509_free(cert);
      sk_X509_pop_free(chain, X509_free);
    }
  } guard{key, cert, chain};
  if (!ok) {
    status = sslStatus(1);
    return nullptr;
  }
  if (!key || !cert) {
    status = 2;
    return nullptr;
  }
  if (X509_check_private_key(cert, key) != 1) {
    status = sslStatus(3);
    return nullptr;
  }

  auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
  SSL_CTX* h = ctx->native_handle();
  SSL_CTX_set_min_proto_version(h, TLS1_2_VERSION);
  SSL_CTX_set_options(h, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  if (SSL_CTX_use_certificate(h, cert) != 1 || SSL_CTX_use_PrivateKey(h, key) != 1 ||
      SSL_CTX_check_private_key(h) != 1) {
    status = sslStatus(4);
    return nullptr;
  }
  for (int i = 0; chain && i < sk_X509_num(chain); ++i) {
    if (SSL_CTX_add1_chain_cert(h, sk_X509_value(chain, i)) != 1) {
      status = sslStatus(4);
      return nullptr;
    }
  }
  return ctx;
}

std::shared_ptr<boost::asio::ssl::context> loadIdentity(const std::string& ip) {
  const auto& st = settings();
  return loadIdentity(ip, st.dataDir, st.flag("--regen-cert"));
}

std::shared_ptr<boost::asio::ssl::context> loadIdentity(const std::string& ip, const std::string& dataDir,
                                                        bool regen) {
  const fs::path dir = fs::path(dataDir) / "cert";
  auto at = [&](const char* name) { return (dir / name).string(); };
  std::error_code ec;

  if (regen || !fs::exists(dir / "id.p12", ec)) {
    fs::create_directories(dir.parent_path(), ec);
    ::mkdir(dir.c_str(), 0700);
    tighten(dir);
    writeAtomically(at("leaf.ext"), leafExtText(ip));

    bool made = runOpenssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", at("ca.key"),
                            "-out", at("ca.pem"), "-days", "3650", "-subj", "/CN=Kestrava Local CA",
                            "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                            "keyUsage=critical,keyCertSign,cRLSign"});
    made = made && runOpenssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", at("key.pem"), "-out",
                               at("leaf.csr"), "-subj", "/CN=Kestrava"});
    made = made && runOpenssl({"x509", "-req", "-in", at("leaf.csr"), "-CA", at("ca.pem"), "-CAkey",
                               at("ca.key"), "-CAcreateserial", "-out", at("cert.pem"), "-days", "397",
                               "-sha256", "-extfile", at("leaf.ext")});
    runOpenssl({"x509", "-in", at("ca.pem"), "-outform", "der", "-out", at("cert.cer")});
    made = made && runOpenssl({"pkcs12", "-export", "-out", at("id.p12"), "-inkey", at("key.pem"), "-in",
                               at("cert.pem"), "-passout", std::string("pass:") + kPassphrase});
    tighten(dir);
    if (!made) {
      logf("[tls] 証明書の生成に失敗。https は無効");
      return nullptr;
    }
  } else {
    tighten(dir);
  }

  auto bytes = readBytes(dir / "id.p12");
  if (!bytes) return nullptr;
  unsigned long status = 0;
  auto ctx = importIdentity(*bytes, status);
  if (!ctx) {
    logf("[tls] p12の読み込みに失敗(" + std::to_string(status) + ")。https は無効");
    return nullptr;
  }
  return ctx;
}
