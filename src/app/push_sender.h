#pragma once

#include <functional>
#include <optional>
#include <string>

#include "app/push.h"

namespace quillon::Push {

// Receives nothing on success, else the sentence for the user.
using Done = std::function<void(std::optional<std::string>)>;

// Posts an alert to the address as the user typed it, and reports the outcome to done (at most
// once, never when done is empty). An empty or unusable address is reported before send returns,
// without any network activity; otherwise send returns at once and done runs on the calling
// thread's event loop when the answer or the failure arrives. Needs a QCoreApplication and an
// event loop on the calling thread. Redirects are not followed; nothing is retried.
void send(const std::string& to, const std::string& title, const std::string& body, Done done = {});

// Sends a request already built by Push::request, with the same reporting as send.
void post(const Request& request, Done done = {});

} // namespace quillon::Push
