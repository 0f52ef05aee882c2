#pragma once
// Loader sessions: each holds one loader connection with its own last reply,
// version text and TI-TXT file, so that several loaders (a bench of encoders
// upgraded at once) can be driven side by side. The 21 calls of
// firmware/bsl430.h act on the session bound to the calling thread, or on the
// one default session (the window's) when none is bound.
#include <memory>

namespace vardo::loader {

class Session {
public:
    Session();
    // Closes the connection if one is still open.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    struct State;

private:
    friend class SessionScope;
    std::unique_ptr<State> state_;
};

// While it lives, the calls of bsl430.h made on this thread go to session
// (and libraryMutex() is that session's). Scopes nest; the innermost wins.
class SessionScope {
public:
    explicit SessionScope(Session& session);
    ~SessionScope();
    SessionScope(const SessionScope&) = delete;
    SessionScope& operator=(const SessionScope&) = delete;

private:
    Session::State* previous_;
};

} // namespace vardo::loader
