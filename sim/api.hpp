#pragma once
// Route installers of the sim's own sides.

#include "routes.hpp"

namespace tolbu_sim {

// The micro API candle path and every REST path the SDK uses.
void install_rest_api(RouteTable& routes);
// The "/_sim/..." endpoints for tests: journal, faults, price, clock, reset.
void install_test_api(RouteTable& routes);

}  // namespace tolbu_sim
