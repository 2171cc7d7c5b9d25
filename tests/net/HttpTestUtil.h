#pragma once

// Small helpers shared by the HTTP client tests.

#include "HttpCli.h"
#include "NetTestServers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace corvane::test {

// `url` with the credentials query every recorder request carries.
inline std::string WithCredentials(const std::string& url) {
    return url + "?" + kCredentials;
}

inline void ExpectNoPassword(const std::string& text) {
    EXPECT_EQ(text.find(kPassword), std::string::npos) << "password leaked: " << text;
}

// Runs Get and returns its failure (also checking that the message is free of
// the password); nullopt when it succeeded. `body` receives the body.
inline std::optional<EHttpException> GetFailure(THttpCli& client, std::string* body = nullptr) {
    try {
        std::string received;
        client.Get(received);
        if (body)
            *body = received;
        return std::nullopt;
    } catch (const EHttpException& e) {
        ExpectNoPassword(e.what());
        ExpectNoPassword(e.ClassName());
        return e;
    }
}

} // namespace corvane::test
