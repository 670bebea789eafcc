// A bounded wait for a condition that another thread or process brings about.
#ifndef KYTEST_EVENTUALLY_H
#define KYTEST_EVENTUALLY_H

#include <chrono>
#include <functional>
#include <thread>

#include "support/socket_kit.h"

namespace kytest {

// Polls condition every 5 ms until it holds, for at most limit; its last answer.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(kSocketIoLimitSeconds)) {
    constexpr std::chrono::milliseconds kSlice(5);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (auto polls = limit / kSlice; polls > 0 && std::chrono::steady_clock::now() < deadline; --polls) {
        if (condition()) return true;
        std::this_thread::sleep_for(kSlice);
    }
    return condition();
}

}  // namespace kytest

#endif
