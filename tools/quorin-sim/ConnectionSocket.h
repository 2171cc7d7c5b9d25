#pragma once

// Direct access to the TCP socket of a request that cpp-httplib is serving,
// for the faults that the library cannot produce itself: a TCP reset and a
// connection that stays silent until the peer goes away.

#include <chrono>
#include <string>

namespace corvane::sim {

// The descriptor of the accepted connection whose peer is remoteAddr:remotePort
// and whose local port is localPort; -1 when none is found. The descriptor stays
// valid while the request's handler runs (the library closes it afterwards).
int FindConnectionSocket(const std::string& remoteAddr, int remotePort, int localPort);

// Aborts the connection with a TCP reset. The descriptor number stays open (on
// an unconnected socket) so that the library's later writes fail harmlessly and
// its own close does not hit a reused number.
bool ResetConnection(int fd);

// Waits until the peer closes or resets the connection, `stopFd` becomes
// readable, or `timeout` passes. True when the peer has gone.
bool WaitForPeerClose(int fd, int stopFd, std::chrono::milliseconds timeout);

} // namespace corvane::sim
