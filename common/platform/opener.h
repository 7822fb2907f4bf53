// Opening a file, folder or URL with the desktop's handler. One replaceable interface so that
// tests can see what would have been opened.
#pragma once

#include <string>

namespace platform {

class TOpener
{
public:
    virtual ~TOpener() = default;
    // Opens target (a path or a URL such as "mailto:..."); true when a handler was started.
    virtual bool Open(const std::string &target) = 0;
};

// The opener in use (the desktop's one unless a test installed another).
TOpener &Opener();

// Installs opener (not owned); nullptr restores the desktop's opener.
void SetOpener(TOpener *opener);

} // namespace platform
