// One mailbox check as the check cycle runs it, for the benchmarks and the tests that measure
// one: Connect on a session of the server, the filter engine's TestMail, and the close.
#pragma once

#include <QElapsedTimer>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "common/net/imapclient.h"
#include "korrind/engine/imapsession.h"
#include "korrind/engine_environment.h"
#include "support/fixtures.h"

// The kind of session the check cycle uses for server.
inline std::unique_ptr<TMailSession> SessionFor(const std::string &server)
{
    if (IsImapAddress(server))
        return std::make_unique<TImapSession>();
    return std::make_unique<TPop3>();
}

// From Connect until TestMail returns, in ms; -1 when the session did not open. atDecision
// runs once the engine decided, before the session is closed.
inline double TimedCheck(TEngineEnvironment &env, TMailSession &session,
                         const fixtures::Mailbox &box, const std::string &server,
                         const std::function<void()> &atDecision = {}, int timeoutStepMs = 30000)
{
    Mail = &session;
    session.Host = server;
    session.User = box.user;
    session.Password = box.password;
    session.TimeoutStep = timeoutStepMs;
    TListRow summaryRow;
    env.engine.SummaryRow = &summaryRow;
    env.mailboxes[0].Cells[0] = server;
    QElapsedTimer clock;
    clock.start();
    if (!session.Connect()) {
        std::fprintf(stderr, "cannot open %s: %s\n", server.c_str(), session.FailureText().c_str());
        return -1;
    }
    env.engine.TestMail(0, session.MessageCount(), false);
    const double ms = clock.nsecsElapsed() / 1e6;
    if (atDecision)
        atDecision();
    session.Disconnect();
    return ms;
}
