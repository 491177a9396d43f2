#pragma once
// The "/_sim/..." endpoints for tests.

#include "server/routes.hpp"

namespace tolbu_sim {

// Journal, faults, price, clock, reset.
void install_test_api(RouteTable& routes);

}  // namespace tolbu_sim
