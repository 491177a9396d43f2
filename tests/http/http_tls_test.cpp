// https against a loopback TLS server whose certificate comes from a CA made in the test.

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/http.hpp"

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace http = tolbu_sdk::platform::http;
namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

struct KeyAndCert {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  ~KeyAndCert() {
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  std::string cert_pem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return out;
  }
  std::string key_pem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return out;
  }
};

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  ASSERT_NE(ext, nullptr) << value;
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for subject_cn signed by issuer (self-signed when issuer is null).
void make_cert(KeyAndCert& out, const char* subject_cn, const KeyAndCert* issuer, long serial,
               const char* san) {
  out.key = EVP_EC_gen("P-256");
  out.cert = X509_new();
  X509_set_version(out.cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(out.cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(out.cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(out.cert), 86400);
  X509_set_pubkey(out.cert, out.key);
  X509_NAME* name = X509_get_subject_name(out.cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(subject_cn), -1, -1, 0);
  X509* signer = issuer ? issuer->cert : out.cert;
  X509_set_issuer_name(out.cert, X509_get_subject_name(signer));
  if (issuer) {
    add_extension(out.cert, signer, NID_basic_constraints, "critical,CA:FALSE");
    add_extension(out.cert, signer, NID_ext_key_usage, "serverAuth");
    add_extension(out.cert, signer, NID_subject_alt_name, san);
  } else {
    add_extension(out.cert, signer, NID_basic_constraints, "critical,CA:TRUE");
    add_extension(out.cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    add_extension(out.cert, signer, NID_subject_key_identifier, "hash");
  }
  X509_sign(out.cert, issuer ? issuer->key : out.key, EVP_sha256());
}

// Answers every TLS connection whose handshake succeeds with one small JSON answer.
class TlsPeer {
 public:
  TlsPeer(const KeyAndCert& server) : context_(ssl::context::tls_server), acceptor_(io_) {
    context_.use_certificate_chain(asio::buffer(server.cert_pem()));
    context_.use_private_key(asio::buffer(server.key_pem()), ssl::context::pem);
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    acceptor_.open(endpoint.protocol());
    acceptor_.bind(endpoint);
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    thread_ = std::thread([this] {
      for (;;) {
        boost::system::error_code ec;
        tcp::socket socket(io_);
        acceptor_.accept(socket, ec);
        if (ec || stopping_) return;
        ssl::stream<tcp::socket> stream(std::move(socket), context_);
        stream.handshake(ssl::stream_base::server, ec);
        if (ec) continue;  // the client refused our certificate
        asio::streambuf head;
        asio::read_until(stream, head, "\r\n\r\n", ec);
        if (ec) continue;
        std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 10\r\n\r\n"
            "{\"tls\": 1}";
        asio::write(stream, asio::buffer(reply), ec);
        stream.shutdown(ec);
      }
    });
  }
  ~TlsPeer() {
    stopping_ = true;
    boost::system::error_code ec;
    // Wakes the blocked accept.
    tcp::socket poke(io_);
    poke.connect(acceptor_.local_endpoint(), ec);
    thread_.join();
  }
  std::string url(const std::string& host) const {
    return "https://" + host + ":" + std::to_string(port_) + "/x";
  }

 private:
  asio::io_context io_;
  ssl::context context_;
  tcp::acceptor acceptor_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

class HttpTls : public ::testing::Test {
 protected:
  void SetUp() override {
    make_cert(ca, "Tolbu Test CA", nullptr, 1, nullptr);
    make_cert(server, "127.0.0.1", &ca, 2, "IP:127.0.0.1");
    ca_file = std::filesystem::temp_directory_path() /
              ("tolbu-test-ca-" + std::to_string(::getpid()) + ".pem");
    std::ofstream(ca_file) << ca.cert_pem();
  }
  void TearDown() override { std::filesystem::remove(ca_file); }

  std::string failure(http::Client& client, const std::string& url) {
    try {
      client.get(url);
    } catch (const tolbu_sdk::TransportError& e) {
      return e.what();
    }
    return "(no TransportError)";
  }

  KeyAndCert ca, server;
  std::filesystem::path ca_file;
};

}  // namespace

TEST_F(HttpTls, TrustedCertificateGivesTheAnswerOverAKeptConnection) {
  TlsPeer peer(server);
  http::Client client({.ca_file = ca_file.string()});
  auto response = client.get(peer.url("127.0.0.1"));
  EXPECT_EQ(response.status_code, 200);
  EXPECT_EQ(response.json().at("tls"), 1);
}

TEST_F(HttpTls, WrongHostNameOrUnknownCaIsATransportErrorNamingTheCertificateProblem) {
  TlsPeer peer(server);
  http::Client trusting({.ca_file = ca_file.string()});
  // The certificate names 127.0.0.1 only.
  std::string wrong_host = failure(trusting, peer.url("localhost"));
  EXPECT_NE(wrong_host.find("certificate"), std::string::npos) << wrong_host;
  EXPECT_NE(wrong_host.find("hostname mismatch"), std::string::npos) << wrong_host;

  http::Client system_store;  // does not know the test CA
  std::string unknown_ca = failure(system_store, peer.url("127.0.0.1"));
  EXPECT_NE(unknown_ca.find("certificate"), std::string::npos) << unknown_ca;
  EXPECT_NE(unknown_ca.find("local issuer"), std::string::npos) << unknown_ca;

  http::Client unverified({.verify_tls = false});
  EXPECT_EQ(unverified.get(peer.url("127.0.0.1")).status_code, 200);

  http::Client missing_file({.ca_file = "/no/such/ca.pem"});
  std::string missing = failure(missing_file, peer.url("127.0.0.1"));
  EXPECT_NE(missing.find("/no/such/ca.pem"), std::string::npos) << missing;
}
