#pragma once
// The one polling loop of the tests: lets the application's events run (also deferred
// deletions) until a condition holds or the time is up.
#include <functional>

namespace corva::test {

// True as soon as `condition` holds; false when `timeoutMs` passed first.
bool pollUntil(const std::function<bool()>& condition, int timeoutMs = 20000);

}  // namespace corva::test
