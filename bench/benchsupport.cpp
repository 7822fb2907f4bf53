#include "benchsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

#include "korrind/engine/mailsession.h"

bool WaitFor(const std::function<bool()> &done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    return done();
}

double CheckMs(TEngineEnvironment &env, TMailSession &session, const fixtures::Mailbox &box,
               const std::string &server, const std::function<void()> &atDecision)
{
    Mail = &session;
    session.Host = server;
    session.User = box.user;
    session.Password = box.password;
    session.TimeoutStep = 30000;
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
