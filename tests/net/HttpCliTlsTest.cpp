// The TLS client against a real HTTPS server on 127.0.0.1 with a self-signed
// certificate for "localhost": the default context verifies nothing, a
// context with the certificate verifies as told, a failed handshake fails.

#include "HttpCli.h"
#include "HttpTestUtil.h"
#include "NetTestServers.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace corvane::test {
namespace {

class HttpCliTlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        FFolder = new TempDir;
        FCert = new CertificateFiles(MakeSelfSignedCertificate(FFolder->Path()));
    }
    static void TearDownTestSuite() {
        delete FCert;
        delete FFolder;
    }
    static TempDir* FFolder;
    static CertificateFiles* FCert;
};
TempDir* HttpCliTlsTest::FFolder = nullptr;
CertificateFiles* HttpCliTlsTest::FCert = nullptr;

struct TlsCase {
    const char* Name;
    const char* Host; // the host name in the URL
    bool UseCaFile;   // the context names the test certificate as CA
    bool VerifyPeer;
    bool VerifyHost;
    bool NoContext; // the client was never given a context
    bool Succeeds;
};

class HttpCliTlsCaseTest : public HttpCliTlsTest, public ::testing::WithParamInterface<TlsCase> {};

TEST_P(HttpCliTlsCaseTest, CertificateCheckFollowsTheContext) {
    const TlsCase& c = GetParam();
    TestHttpServer server(FCert);
    TSslHttpCli client;
    if (!c.NoContext) {
        auto context = std::make_shared<TSslContext>();
        if (c.UseCaFile)
            context->CaFile = FCert->CertFile;
        context->VerifyPeer = c.VerifyPeer;
        context->VerifyHost = c.VerifyHost;
        client.SetSslContext(context);
    }
    client.URL = WithCredentials(server.Url("/body", c.Host));
    std::string body;
    const auto failure = GetFailure(client, &body);
    if (c.Succeeds) {
        ASSERT_FALSE(failure) << failure->what();
        EXPECT_EQ(body, "hello world");
        ASSERT_EQ(server.Requests().size(), 1u);
        EXPECT_EQ(server.Requests()[0].Version, "HTTP/1.0");
        return;
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->ClassName(), EHttpException::ClassTransport);
    EXPECT_TRUE(server.Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Contexts, HttpCliTlsCaseTest,
    ::testing::Values(
        // A recorder's certificate rarely names the address the user typed.
        TlsCase{"NoContextByIp", "127.0.0.1", false, false, false, true, true},
        TlsCase{"DefaultContextByIp", "127.0.0.1", false, false, false, false, true},
        TlsCase{"VerifiedByName", "localhost", true, true, true, false, true},
        TlsCase{"VerifiedPeerByIp", "127.0.0.1", true, true, false, false, true},
        TlsCase{"WrongNameByIp", "127.0.0.1", true, true, true, false, false},
        TlsCase{"UnknownIssuer", "localhost", false, true, true, false, false}),
    [](const auto& info) { return std::string(info.param.Name); });

struct PinCase {
    const char* Name;
    bool Right;      // the server's own pin, or one of another key
    bool VerifyPeer; // the chain is checked too (against the test certificate)
};

class HttpCliPinTest : public HttpCliTlsTest, public ::testing::WithParamInterface<PinCase> {};

// A pinned key admits only the server that holds it, whether or not the chain
// is checked; a mismatch sends nothing and names both pins.
TEST_P(HttpCliPinTest, OnlyThePinnedKeyIsTalkedTo) {
    const PinCase& c = GetParam();
    const std::string serverPin = CertificatePin(ReadFile(FCert->CertFile));
    ASSERT_THAT(serverPin, ::testing::StartsWith("sha256//"));
    ASSERT_EQ(serverPin.size(), 8u + 44u);
    const std::string otherPin = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    TestHttpServer server(FCert);
    TSslHttpCli client;
    auto context = std::make_shared<TSslContext>();
    context->PinnedPublicKey = c.Right ? serverPin : otherPin;
    if (c.VerifyPeer) {
        context->CaFile = FCert->CertFile;
        context->VerifyPeer = context->VerifyHost = true;
    }
    client.SetSslContext(context);
    client.URL = WithCredentials(server.Url("/body", c.VerifyPeer ? "localhost" : "127.0.0.1"));
    std::string body;
    const auto failure = GetFailure(client, &body);
    if (c.Right) {
        ASSERT_FALSE(failure) << failure->what();
        EXPECT_EQ(body, "hello world");
        return;
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->ClassName(), EHttpException::ClassTransport);
    EXPECT_THAT(failure->what(),
                ::testing::HasSubstr("certificate pin mismatch: the server's key is " + serverPin +
                                     ", the pin set is " + otherPin));
    EXPECT_TRUE(server.Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Pins, HttpCliPinTest,
                         ::testing::Values(PinCase{"Right", true, false},
                                           PinCase{"Wrong", false, false},
                                           PinCase{"RightAndVerified", true, true},
                                           PinCase{"WrongButVerified", false, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

// What the trust button shows: the server's certificate after a handshake,
// with the pin a client then sets; no request is sent.
TEST_F(HttpCliTlsTest, FetchServerCertificateDescribesIt) {
    TestHttpServer server(FCert);
    const TServerCertificate cert =
        FetchServerCertificate("127.0.0.1:" + std::to_string(server.Port()));
    EXPECT_EQ(cert.Pin, CertificatePin(ReadFile(FCert->CertFile)));
    EXPECT_THAT(cert.Subject, ::testing::HasSubstr("localhost"));
    EXPECT_FALSE(cert.NotBefore.empty());
    EXPECT_FALSE(cert.NotAfter.empty());
    EXPECT_TRUE(server.Requests().empty());

    TestHttpServer plain;
    EXPECT_THROW(FetchServerCertificate("127.0.0.1:" + std::to_string(plain.Port())),
                 EHttpException);
}

TEST(CertificatePinTest, NoCertificateNoPin) {
    EXPECT_EQ(CertificatePin(""), "");
    EXPECT_EQ(CertificatePin("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"), "");
}

// One context serves several clients and lives as long as any of them.
TEST_F(HttpCliTlsTest, SharedContextOutlivesItsCreator) {
    TestHttpServer server(FCert);
    auto first = std::make_unique<TSslHttpCli>();
    auto second = std::make_unique<TSslHttpCli>();
    std::weak_ptr<TSslContext> watch;
    {
        auto context = std::make_shared<TSslContext>();
        context->CaFile = FCert->CertFile;
        context->VerifyPeer = context->VerifyHost = true;
        first->SetSslContext(context);
        second->SetSslContext(context);
        watch = context;
    }
    for (TSslHttpCli* client : {first.get(), second.get()}) {
        client->URL = WithCredentials(server.Url("/body", "localhost"));
        ASSERT_FALSE(GetFailure(*client));
    }
    first.reset();
    EXPECT_FALSE(watch.expired());
    second.reset();
    EXPECT_TRUE(watch.expired());
}

// A TLS client against a server that speaks plain HTTP: the handshake fails.
TEST_F(HttpCliTlsTest, FailedHandshakeFails) {
    TestHttpServer plain;
    TSslHttpCli client;
    client.URL = WithCredentials("https://127.0.0.1:" + std::to_string(plain.Port()) + "/body");
    const auto failure = GetFailure(client);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->ClassName(), EHttpException::ClassTransport);
    EXPECT_THAT(failure->what(),
                ::testing::StartsWith("GET https://127.0.0.1:" + std::to_string(plain.Port())));
}

// The TLS client speaks plain HTTP too, so one client serves either setting.
TEST_F(HttpCliTlsTest, TlsClientFetchesPlainHttp) {
    TestHttpServer plain;
    TSslHttpCli client;
    client.URL = WithCredentials(plain.Url("/body"));
    std::string body;
    ASSERT_FALSE(GetFailure(client, &body));
    EXPECT_EQ(body, "hello world");
}

// A recorder's web server that moves its clients to https: the plain client
// (Secure off) follows with the TLS client's default settings, which verify
// nothing, whatever name the certificate carries.
class HttpCliRedirectToTlsTest : public HttpCliTlsTest,
                                 public ::testing::WithParamInterface<const char*> {};

TEST_P(HttpCliRedirectToTlsTest, PlainClientFollowsToHttps) {
    TestHttpServer plain;
    TestHttpServer tls(FCert);
    THttpCli client;
    client.URL = WithCredentials(plain.Url("/goto/https/" + std::string(GetParam()) + "/" +
                                           std::to_string(tls.Port()) + "/body"));
    std::string body;
    const auto failure = GetFailure(client, &body);
    ASSERT_FALSE(failure) << failure->what();
    EXPECT_EQ(body, "hello world");
    EXPECT_EQ(client.StatusCode(), 200);
    ASSERT_EQ(tls.Requests().size(), 1u);
    EXPECT_EQ(tls.Requests()[0].Target, "/body");
}

INSTANTIATE_TEST_SUITE_P(Hosts, HttpCliRedirectToTlsTest,
                         ::testing::Values("127.0.0.1", "localhost"), [](const auto& info) {
                             return std::string(info.param[0] == 'l' ? "ByName" : "ByAddress");
                         });

} // namespace
} // namespace corvane::test
