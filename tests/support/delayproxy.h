// bench/delayproxy.py in front of a local port: a server as distant as the round trip given,
// with the proxy's count of the round trips the client waited for (see the script). Used by
// the benchmarks and by the tests that count a session's round trips at the real server.
#pragma once

#include <QProcess>

// The proxy's count for the connections made since the last count.
struct TProxyCount
{
    int Connections = 0;
    int Trips = 0;      // round trips the client waited for
    int HelloBytes = 0; // the server's answers to TLS ClientHellos
};

class TDelayProxy
{
public:
    ~TDelayProxy();
    // Starts the proxy in front of target; false when it did not start.
    bool Start(int target, int rttMs);
    int Port() const { return Port_; }
    // The count since the last call; false when the proxy did not answer.
    bool Count(TProxyCount &count);

private:
    QProcess Process;
    int Port_ = 0;
};
