// The HTTP client's life cycle, the same on every platform: a request's
// settings taken from the client when it starts, Abort from any thread, the
// network thread of GetASync and the events it queues for the main thread.
// The bytes move through the platform's side (HttpTransfer.h).

#include "HttpCli.h"

#include "HttpText.h"
#include "HttpTransfer.h"
#include "MainThread.h"

#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <utility>

namespace corvane {

using http::ClientState;
using http::Handlers;
using http::Request;
using http::Settings;
using http::Transfer;

namespace http {

void ClientState::RememberCookieLocked(OriginCookie cookie) {
    constexpr size_t kRemembered = 8;
    if (Received.size() >= kRemembered)
        Received.erase(Received.begin());
    Received.push_back(std::move(cookie));
}

bool ClientState::AbortCurrentLocked() {
    BusyFlag.store(false);
    if (!Current || Current->Finished || Current->Aborted.load())
        return false;
    Current->Aborted.store(true);
    Current->Wake();
    return true;
}

void Transfer::DeliverCookies() {
    for (OriginCookie& cookie : FCookies) {
        if (!Live())
            break;
        if (Params.Events->OnCookie) {
            bool accept = true;
            Params.Events->OnCookie(Owner(), cookie.Cookie, accept);
        }
        std::lock_guard lock(FClient->Mutex);
        FClient->RememberCookieLocked(std::move(cookie));
    }
    FCookies.clear();
}

void Transfer::Fail(THttpErrorKind kind, const std::string& what, int status) const {
    std::string where = SafeUrl(Params.Url);
    const std::string effective = SafeUrl(EffectiveUrl());
    if (!effective.empty())
        where += " (redirected to " + effective + ")";
    if (where.empty())
        where = "(no URL)";
    throw EHttpException(kind, "GET " + where + " " + what, status);
}

} // namespace http

struct THttpCli::Impl : ClientState {
    explicit Impl(THttpCli& owner) : ClientState(owner) {}

    // The network thread of the last GetASync; touched by the owner's thread only.
    std::thread Worker;
    std::shared_ptr<Request> WorkerRequest;

    void JoinWorker();
    // Ends the request in progress, if any, and its network thread.
    void EndPrevious() {
        // Joining may run queued main-thread calls, and one of them may have
        // started a request of this client meanwhile.
        do {
            {
                std::lock_guard lock(Mutex);
                AbortCurrentLocked();
            }
            JoinWorker();
        } while (Worker.joinable());
    }
    Settings Snapshot(const THttpCli& client);
    static void RunSync(std::shared_ptr<Impl> impl, Settings settings, std::string* sink,
                        const std::function<void()>* idle);
    static void RunAsync(std::shared_ptr<Impl> impl, std::shared_ptr<Request> request,
                         Settings settings);
};

void THttpCli::Impl::JoinWorker() {
    if (!Worker.joinable())
        return;
    std::thread worker = std::move(Worker);
    const std::shared_ptr<Request> request = std::move(WorkerRequest);
    if (worker.get_id() == std::this_thread::get_id()) {
        // The client is destroyed from a handler on its own network thread;
        // that thread only unwinds from here on.
        worker.detach();
        return;
    }
    // The network thread may be waiting in Synchronize (a cookie handler that
    // logs to the window), so the main thread keeps serving while it waits.
    if (IsMainThread()) {
        while (!request->ThreadDone.load())
            WaitAndCheckSynchronize(20);
    }
    worker.join();
}

Settings THttpCli::Impl::Snapshot(const THttpCli& client) {
    Settings s;
    s.Url = client.URL;
    s.Cookie = client.Cookie;
    // A cookie set by hand belongs to the URL it is sent with.
    s.CookieOrigin = http::OriginOf(s.Url);
    {
        std::lock_guard lock(Mutex);
        for (auto it = Received.rbegin(); it != Received.rend(); ++it)
            if (it->Cookie == s.Cookie) {
                s.CookieOrigin = it->Origin;
                break;
            }
    }
    s.Proxy = client.Proxy;
    s.ProxyPort = client.ProxyPort;
    s.Timeout = client.Timeout;
    s.MaxBodySize = client.MaxBodySize;
    s.DeliveryInterval = client.DeliveryInterval;
    s.Ssl = client.Context();
    if (!s.Ssl) {
        // The plain client: a redirection to https gets the TLS client's
        // default settings.
        s.HttpOnly = true;
        s.Ssl = std::make_shared<TSslContext>();
    }
    s.Events = std::make_shared<const Handlers>(
        Handlers{client.OnCookie, client.OnDocData, client.OnDocEnd, client.OnRequestDone});
    return s;
}

void THttpCli::Impl::RunSync(std::shared_ptr<Impl> impl, Settings settings, std::string* sink,
                             const std::function<void()>* idle) {
    // From here on the client object may disappear inside a handler or `idle`;
    // only `impl` and the copied settings are used, and the client only after
    // a Live() check.
    impl->EndPrevious();

    const std::shared_ptr<Request> request = http::NewRequest();
    {
        std::lock_guard lock(impl->Mutex);
        impl->Current = request;
        if (impl->AbortPending) {
            impl->AbortPending = false;
            request->Aborted.store(true);
        }
    }
    const std::unique_ptr<Transfer> owned =
        http::NewTransfer(impl.get(), request, std::move(settings), sink);
    Transfer& transfer = *owned;
    bool bodyBegun = false;
    std::exception_ptr failure;
    bool httpFailure = false;
    try {
        if (!transfer.Live())
            transfer.FailAbort();
        transfer.Start();
        transfer.Run(idle, [&] {
            transfer.DeliverCookies();
            for (const std::string& piece : transfer.Pieces) {
                if (!transfer.Live())
                    break;
                bodyBegun = true;
                if (transfer.Params.Events->OnDocData)
                    transfer.Params.Events->OnDocData(transfer.Owner(), piece.data(), piece.size());
            }
            transfer.Pieces.clear();
        });
    } catch (const EHttpException&) {
        failure = std::current_exception();
        httpFailure = true;
    } catch (...) {
        failure = std::current_exception();
    }
    impl->Status.store(transfer.Status);
    bool aborted = false;
    {
        std::lock_guard lock(impl->Mutex);
        request->Finished = true;
        aborted = request->Aborted.load() || !impl->Alive.load();
    }
    // An Abort that reached this request always shows as an abort, also when
    // it came as the transfer was ending anyway.
    if (aborted)
        transfer.FailAbort();
    if (sink == nullptr && (!failure || (httpFailure && bodyBegun)) &&
        transfer.Params.Events->OnDocEnd)
        transfer.Params.Events->OnDocEnd(transfer.Owner());
    if (failure)
        std::rethrow_exception(failure);
}

namespace {
// Main thread: `bytes` of a GetASync request have been handed to the handler
// (or dropped); wakes the network thread when its transfer waits for that.
void MarkDelivered(ClientState& client, Request& request, size_t bytes) {
    const size_t before = request.Pending.fetch_sub(bytes);
    if (before - bytes < THttpCli::MaxPendingDelivery && request.Paused.load()) {
        std::lock_guard lock(client.Mutex);
        request.Wake();
    }
}
} // namespace

void THttpCli::Impl::RunAsync(std::shared_ptr<Impl> impl, std::shared_ptr<Request> request,
                              Settings settings) {
    const std::shared_ptr<const Handlers> events = settings.Events;
    // Queued events run on the main thread; each checks that its request has
    // not been aborted and that the client still exists.
    const auto live = [impl, request] { return !request->Aborted.load() && impl->Alive.load(); };

    THttpResult result;
    auto fail = [&result](THttpErrorKind kind, const std::string& text) {
        result.Ok = false;
        result.Kind = kind;
        result.Error = EHttpException::ClassNameOf(kind) + std::string(" ") + text;
    };
    bool bodyBegun = false;
    {
        const std::unique_ptr<Transfer> owned =
            http::NewTransfer(impl.get(), request, std::move(settings), nullptr);
        Transfer& transfer = *owned;
        transfer.BoundPending = true;
        try {
            transfer.Start();
            transfer.Run(nullptr, [&] {
                transfer.DeliverCookies();
                for (std::string& piece : transfer.Pieces) {
                    if (!transfer.Live())
                        break;
                    bodyBegun = true;
                    Post([impl, request, events, live, data = std::move(piece)] {
                        struct Delivered {
                            Impl& client;
                            Request& request;
                            size_t bytes;
                            ~Delivered() { MarkDelivered(client, request, bytes); }
                        } delivered{*impl, *request, data.size()}; // also when the handler throws
                        if (live() && events->OnDocData)
                            events->OnDocData(impl->Owner, data.data(), data.size());
                    });
                }
                transfer.Pieces.clear();
            });
        } catch (const EHttpException& e) {
            fail(e.Kind(), e.what());
        } catch (const std::exception& e) {
            fail(THttpErrorKind::Transport, e.what());
        } catch (...) {
            fail(THttpErrorKind::Transport, "unknown failure");
        }
        impl->Status.store(transfer.Status);
    }

    if (live()) {
        if (result.Ok || bodyBegun) {
            Post([impl, events, live] {
                if (live() && events->OnDocEnd)
                    events->OnDocEnd(impl->Owner);
            });
        }
        Post([impl, request, events, result] {
            {
                std::lock_guard lock(impl->Mutex);
                if (request->Aborted.load() || !impl->Alive.load())
                    return;
                request->Finished = true;
                if (impl->Current == request)
                    impl->BusyFlag.store(false);
            }
            if (events->OnRequestDone)
                events->OnRequestDone(impl->Owner, result);
        });
    }
    request->ThreadDone.store(true);
    detail::NotifyMainThread();
}

THttpCli::THttpCli() : FImpl(std::make_shared<Impl>(*this)) {
    http::InitTransport();
}

THttpCli::~THttpCli() {
    EndRequests();
}

void THttpCli::EndRequests() {
    {
        std::lock_guard lock(FImpl->Mutex);
        FImpl->Alive.store(false);
        FImpl->AbortCurrentLocked();
    }
    FImpl->JoinWorker();
}

void THttpCli::Get(std::string& body) {
    std::string received;
    Impl::RunSync(FImpl, FImpl->Snapshot(*this), &received, nullptr);
    body.swap(received);
}

void THttpCli::GetPieces(const std::function<void()>& idle) {
    Impl::RunSync(FImpl, FImpl->Snapshot(*this), nullptr, &idle);
}

void THttpCli::GetASync() {
    FImpl->EndPrevious();

    Settings settings = FImpl->Snapshot(*this);
    const std::shared_ptr<Request> request = http::NewRequest();
    {
        std::lock_guard lock(FImpl->Mutex);
        FImpl->Current = request;
        if (FImpl->AbortPending) {
            // Aborted before it started: it ends without any event.
            FImpl->AbortPending = false;
            request->Aborted.store(true);
            request->Finished = true;
            FImpl->Status.store(0);
            return;
        }
        FImpl->BusyFlag.store(true);
    }
    FImpl->WorkerRequest = request;
    FImpl->Worker = std::thread(&Impl::RunAsync, FImpl, request, std::move(settings));
}

void THttpCli::Abort() {
    std::lock_guard lock(FImpl->Mutex);
    if (!FImpl->AbortCurrentLocked())
        FImpl->AbortPending = true;
}

bool THttpCli::Busy() const {
    return FImpl->BusyFlag.load();
}

int THttpCli::StatusCode() const {
    return FImpl->Status.load();
}

} // namespace corvane
