#pragma once

#include <functional>

// Runs the event loop until cond holds or timeoutMs pass; returns cond().
bool waitUntil(const std::function<bool()>& cond, int timeoutMs = 20000);
