// What the mail benchmarks share besides the delaying proxy (support/delayproxy.h): waiting on
// the event loop, and one timed mailbox check through the filter engine.
#pragma once

#include <functional>
#include <string>

#include "korrind/engine_environment.h"
#include "support/delayproxy.h"
#include "support/fixtures.h"

class TMailSession;

// Pumps events until done() answers true or a minute passed.
bool WaitFor(const std::function<bool()> &done);

// From Connect until TestMail returns, on a fresh session of server; -1 when the check failed.
// atDecision runs once the engine decided, before the session is closed.
double CheckMs(TEngineEnvironment &env, TMailSession &session, const fixtures::Mailbox &box,
               const std::string &server, const std::function<void()> &atDecision = {});
