#include "NetTestServers.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>

// The well-behaved HTTP(S) server of the tests on cpp-httplib, and its
// self-signed certificate through OpenSSL.

namespace corvane::test {

// ---------------------------------------------------------------------------
// Certificate

namespace {

template <typename T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Ext = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

void Check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("OpenSSL: ") + what + " failed");
}

void WritePem(const std::string& path, const std::function<int(FILE*)>& write) {
    FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr, "opening a PEM file");
    const int ok = write(f);
    std::fclose(f);
    Check(ok == 1, "writing a PEM file");
}

} // namespace

CertificateFiles MakeSelfSignedCertificate(const std::string& folder) {
    PKey key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "EVP_EC_gen");
    Cert cert(X509_new());
    Check(cert != nullptr, "X509_new");
    Check(X509_set_version(cert.get(), 2) == 1, "X509_set_version");
    Check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1) == 1, "serial number");
    Check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr, "notBefore");
    Check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 30) != nullptr, "notAfter");
    Check(X509_set_pubkey(cert.get(), key.get()) == 1, "X509_set_pubkey");
    X509_NAME* name = X509_get_subject_name(cert.get());
    Check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                                     0) == 1,
          "subject name");
    Check(X509_set_issuer_name(cert.get(), name) == 1, "issuer name");
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "DNS:localhost"},
                                     std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
        Ext ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
        Check(ext != nullptr, "extension");
        Check(X509_add_ext(cert.get(), ext.get(), -1) == 1, "X509_add_ext");
    }
    Check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "X509_sign");

    CertificateFiles files{folder + "/cert.pem", folder + "/key.pem"};
    WritePem(files.CertFile, [&](FILE* f) { return PEM_write_X509(f, cert.get()); });
    WritePem(files.KeyFile, [&](FILE* f) {
        return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    return files;
}

// ---------------------------------------------------------------------------
// HTTP server

TestHttpServer::TestHttpServer(const CertificateFiles* tls) : FTls(tls != nullptr) {
    if (tls)
        FServer = std::make_unique<httplib::SSLServer>(tls->CertFile.c_str(), tls->KeyFile.c_str());
    else
        FServer = std::make_unique<httplib::Server>();
    if (!FServer->is_valid())
        throw std::runtime_error("the test HTTP server could not be set up");
    // Enough workers for every request a test may hold open at once.
    FServer->new_task_queue = [] { return new httplib::ThreadPool(16); };

    auto& s = *FServer;
    s.Get("/body", [this](const httplib::Request& req, httplib::Response& res) {
        Record(req);
        res.set_content("hello world", "text/plain");
    });
    s.Get(R"(/status/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
        Record(req);
        res.status = std::stoi(req.matches[1].str());
        res.set_content("status body " + req.matches[1].str(), "text/plain");
    });
    s.Get("/redirect", [this](const httplib::Request& req, httplib::Response& res) {
        Record(req);
        res.status = 302;
        res.set_header("Location", "/body");
        res.set_content("redirect body", "text/plain");
    });
    s.Get("/loop", [this](const httplib::Request& req, httplib::Response& res) {
        Record(req);
        res.status = 302;
        res.set_header("Location", req.target);
    });
    s.Get("/cookies", [this](const httplib::Request& req, httplib::Response& res) {
        Record(req);
        res.set_header("Set-Cookie", "a=1; Path=/");
        res.set_header("Set-Cookie", "b=2");
        res.set_content("cookies", "text/plain");
    });
    s.Get("/cookie-redirect", [this](const httplib::Request& req, httplib::Response& res) {
        Record(req);
        res.status = 302;
        res.set_header("Set-Cookie", "c=3");
        res.set_header("Location", "/cookies");
    });
    s.Get(R"(/goto/(https?)/([^/]+)/(\d+)(/.*))",
          [this](const httplib::Request& req, httplib::Response& res) {
              Record(req);
              res.status = 302;
              res.set_header("Location", req.matches[1].str() + "://" + req.matches[2].str() + ":" +
                                             req.matches[3].str() + req.matches[4].str());
          });
    s.Get(R"(/size/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
        Record(req);
        res.set_content(std::string(std::stoul(req.matches[1].str()), 'x'), "text/plain");
    });

    FPort = FServer->bind_to_any_port("127.0.0.1");
    if (FPort <= 0)
        throw std::runtime_error("the test HTTP server could not bind");
    FThread = std::thread([this] { FServer->listen_after_bind(); });
    // stop() only works once the server runs.
    while (!FServer->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestHttpServer::~TestHttpServer() {
    FServer->stop();
    FThread.join();
}

std::string TestHttpServer::Url(const std::string& path, const std::string& host) const {
    return std::string(FTls ? "https" : "http") + "://" + host + ":" + std::to_string(FPort) + path;
}

void TestHttpServer::Record(const httplib::Request& req) {
    SeenRequest seen;
    seen.Method = req.method;
    seen.Target = req.target;
    seen.Version = req.version;
    for (const auto& [key, value] : req.headers) {
        // cpp-httplib adds the peer's address as pseudo headers.
        if (key == "REMOTE_ADDR" || key == "REMOTE_PORT" || key == "LOCAL_ADDR" ||
            key == "LOCAL_PORT")
            continue;
        seen.Headers.emplace(key, value);
    }
    std::lock_guard lock(FMutex);
    FRequests.push_back(std::move(seen));
}

std::vector<SeenRequest> TestHttpServer::Requests() const {
    std::lock_guard lock(FMutex);
    return FRequests;
}

} // namespace corvane::test
