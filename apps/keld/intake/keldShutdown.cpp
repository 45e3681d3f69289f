#include "intake/keldShutdown.h"

#include <atomic>

namespace {
std::atomic<bool> gStarted{false};
}  // namespace

void Shutdown_Begin(void) { gStarted.store(true, std::memory_order_release); }

bool Shutdown_Started(void) { return gStarted.load(std::memory_order_acquire); }

void Shutdown_ResetForTest(void) { gStarted.store(false, std::memory_order_release); }
